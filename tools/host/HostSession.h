// One session of the host tool with the server: discovery and login once,
// then the commands, each printed as a readable block or one JSON line.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tools/host/Commands.h"
#include "tools/host/Console.h"
#include "tools/host/Failure.h"
#include "tools/host/HostCli.h"
#include "tools/host/KelvaneApi.h"
#include "tools/host/LibraryLines.h"
#include "tools/host/Render.h"

namespace kdl::host {

// Runs commands through the library's exports and prints their results.
class HostSession {
 public:
  // `out` receives the tool's results; `console` (stderr) its messages;
  // `lines` (may be null) tells what the library logged during a request.
  HostSession(const KelvaneApi& api, const HostOptions& options, std::FILE* out,
              Console& console, LibraryLines* lines);

  // Starts the library's network service. False when it does not start.
  bool Start();
  void Stop();

  // Runs one command, prints it and returns its result (0 = success).
  int Run(const Command& cmd);
  // Runs commands read from `in`, one per line, until its end or "quit".
  // Returns the worst status of the lines (0 ok, 1 a result not 0, 2 a bad
  // line), or at the first that is not 0 with `stopOnError`, or
  // kHostOutputFailed as soon as the output cannot be written.
  int RunShell(std::FILE* in, bool stopOnError);

  // True once writing the output failed.
  bool OutputFailed() const { return std::ferror(m_out) != 0; }

  // The library's close callback: counts the close, which the session takes
  // at its next request (runs on a transport thread, also when the library
  // ended the link itself, just after the request returned).
  static void OnLinkClosed();

 private:
  // How one try of a command ended.
  struct Outcome {
    int result = 0;
    std::string step;  // the step that failed: "discover", "login", the command; "" when none
    Failure failure;   // of a result 1
    bool repeated = false;  // the failed step was sent a second time
    // When the second try stopped before the step where the first failed:
    // where, and how.
    std::string repeatStep;
    int repeatResult = 0;
    Failure repeatFailure;
  };

  // Runs one request; a result of 1 is classified into m_failure.
  int Ask(const char* step, uint32_t type, void* param);
  // Sends the request of `row` with the parameter of `cmd`.
  int Send(const CommandRow& row, const Command& cmd);
  // Discovers and logs in as far as `row` needs. False with the failing step.
  bool Prepare(const CommandRow& row, const Command& cmd, Outcome* out);
  // Prepares and sends the command once.
  Outcome Try(const CommandRow& row, const Command& cmd);
  // True when `o` failed because its link closed under a step that may be
  // sent again, or before the step could be sent.
  static bool MayRepeat(const Outcome& o);
  // Takes a close that the callback reported, waiting up to `wait` for one;
  // `lines` tell who closed. True when one was taken.
  bool TakeClose(std::chrono::milliseconds wait, const std::vector<std::string>& lines);
  bool LoggedIn() const { return m_loggedIn && m_closesAtLogin == m_closesSeen; }
  // Tells the close taken last, if it was not told yet, with what happens `then`.
  void TellClose(const std::string& then);
  void Print(const Command& cmd, const Outcome& o);
  void PrintUsageError(const std::string& error);
  // One shell line: its status, or -1 for "quit".
  int RunLine(const std::string& line, bool interactive);

  const KelvaneApi& m_api;
  HostOptions m_options;
  std::FILE* m_out;
  Console& m_console;
  LibraryLines* m_lines;
  Failure m_failure;        // of the last request that returned 1
  bool m_inShell = false;
  std::string m_shellLine;  // the line being answered, for "command"
  bool m_discovered = false;
  bool m_loggedIn = false;     // a login succeeded ...
  unsigned m_closesAtLogin = 0;  // ... when this many closes were taken
  unsigned m_closesSeen = 0;   // closes the callback reported that were taken
  std::optional<CloseCause> m_untold;  // the close taken last, until told
};

}  // namespace kdl::host
