// Runs the tools as child processes for the tests: one that runs to its end
// with captured output, and one that runs in the background until stopped.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "util/Text.h"

namespace kdl::test {

struct ProcessResult {
  int exitCode = -1;      // -1: killed by a signal or not started
  int signal = 0;         // the signal that ended it, if any
  bool timedOut = false;  // killed after the time limit
  std::string out;
  std::string err;
  double seconds = 0;     // wall time from start to end
};

// Runs argv[0] (a path) with `input` on stdin; kills it after `timeoutSec`.
// `env` entries ("NAME=value") are added to the environment.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                         int timeoutSec, const std::vector<std::string>& env = {});

// A process whose stdout and stderr go to a file; stopped (SIGTERM, then
// SIGKILL) by Stop() or the destructor.
class BackgroundProcess {
 public:
  BackgroundProcess() = default;
  ~BackgroundProcess() { Stop(); }
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  bool Start(const std::vector<std::string>& argv, const std::string& outputFile);
  // Waits until the output file holds `text`, the process ends or `timeoutSec` pass.
  bool WaitForOutput(const std::string& text, int timeoutSec);
  // Ends the process; returns its exit code (-1 when a signal ended it).
  int Stop();
  // Waits up to `timeoutSec` for the process to end by itself; returns its
  // exit code (-1 when a signal ended it or it still runs).
  int Wait(int timeoutSec);
  bool Running() const { return m_pid > 0; }
  // True while the process has not ended (reaps it once it has).
  bool Alive();
  pid_t Pid() const { return m_pid; }
  std::string Output() const;

 private:
  pid_t m_pid = -1;
  std::string m_outputFile;
};

// Whole file as text ("" when missing).
std::string ReadFile(const std::string& path);
using util::SplitLines;

}  // namespace kdl::test
