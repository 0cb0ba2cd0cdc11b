// The tool's stderr: its messages, the library's lines when shown, and the
// spinner while a request waits. Every write clears the spinner first, so
// that no line lands on it, and SIGINT or SIGTERM clear it before the
// process ends.
#pragma once

#include <mutex>
#include <string>

namespace kdl::host {

class Console {
 public:
  // Writes to `fd`; `terminal` tells whether a spinner may be drawn there.
  Console(int fd, bool terminal);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  bool Terminal() const { return m_terminal; }
  // Writes `text` after clearing the spinner.
  void Write(const std::string& text);
  // Draws `line` as the spinner, in place of the last one (terminal only).
  void DrawSpinner(const std::string& line);
  void ClearSpinner();
  // From now on SIGINT and SIGTERM clear a drawn spinner, then end the
  // process as the signal's default action does.
  void ClearSpinnerOnSignals();

 private:
  void ClearLocked();

  std::mutex m_mutex;
  int m_fd;
  bool m_terminal;
  bool m_drawn = false;
};

}  // namespace kdl::host
