// One session of the host tool with the server: discovery and login once,
// then the commands, each printed as a readable block or one JSON line.
#pragma once

#include <cstdio>
#include <string>

#include "tools/host/HostCli.h"
#include "tools/host/KelvaneApi.h"
#include "tools/host/Render.h"

namespace kdl::host {

// Runs commands through the library's exports and prints their results.
class HostSession {
 public:
  // `out` receives the tool's own output; `err` its messages.
  HostSession(const KelvaneApi& api, const HostOptions& options, std::FILE* out, std::FILE* err);

  // Starts the library's network service. False when it does not start.
  bool Start();
  void Stop();

  // Runs one command, prints it and returns its result (0 = success).
  int Run(const Command& cmd);
  // Runs commands read from `in`, one per line, until its end or "quit".
  // Returns the exit status: that of the last command run.
  int RunShell(std::FILE* in);

  // The library's close callback (runs on a transport thread).
  static void OnLinkClosed();

 private:
  int Ask(const char* step, uint32_t type, void* param);
  // Discovers and logs in as far as `cmd` needs. False with the failing step.
  bool Prepare(const Command& cmd, std::string* step, int* result);
  int Request(const Command& cmd);
  // The JSON object and the readable text of the records that the reply of
  // `cmd` stored.
  void RenderReply(const Command& cmd, int result, Json* data, std::string* text) const;
  void Print(const Command& cmd, int result, const std::string& failedStep);
  void PrintUsageError(const std::string& error);

  const KelvaneApi& m_api;
  HostOptions m_options;
  std::FILE* m_out;
  std::FILE* m_err;
  bool m_spinner;
  bool m_discovered = false;
  bool m_loggedIn = false;
};

}  // namespace kdl::host
