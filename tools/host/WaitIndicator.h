// A spinner on stderr while a request waits for its reply; shown only when
// stderr is a terminal, so pipes and log files never see it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace kdl::host {

// Spins from construction to destruction; clears its line when done.
class WaitIndicator {
 public:
  WaitIndicator(bool enabled, const std::string& what);
  ~WaitIndicator();
  WaitIndicator(const WaitIndicator&) = delete;
  WaitIndicator& operator=(const WaitIndicator&) = delete;

  // True when stderr is a terminal.
  static bool StderrIsTerminal();

 private:
  void Spin(std::string what);

  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_done = false;
  std::thread m_thread;
};

}  // namespace kdl::host
