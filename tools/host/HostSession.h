// One session of the host tool with the server: discovery and login once,
// then the commands, each printed as a readable block or one JSON line.
#pragma once

#include <cstdio>
#include <string>

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

  // The library's close callback (runs on a transport thread).
  static void OnLinkClosed();

 private:
  // Runs one request; a result of 1 is classified into m_failure.
  int Ask(const char* step, uint32_t type, void* param);
  // Sends the request of `row` with the parameter of `cmd`.
  int Send(const CommandRow& row, const Command& cmd);
  // Discovers and logs in as far as `cmd` needs. False with the failing step.
  bool Prepare(const Command& cmd, std::string* step, int* result);
  void Print(const Command& cmd, int result, const std::string& failedStep);
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
  bool m_loggedIn = false;
};

}  // namespace kdl::host
