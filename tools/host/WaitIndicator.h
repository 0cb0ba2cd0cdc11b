// A spinner on the console while a request waits for its reply; drawn only
// when the console is a terminal, so pipes and log files never see it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "tools/host/Console.h"

namespace kdl::host {

// Spins from construction to destruction; clears its line when done.
class WaitIndicator {
 public:
  WaitIndicator(Console& console, bool enabled, const std::string& what);
  ~WaitIndicator();
  WaitIndicator(const WaitIndicator&) = delete;
  WaitIndicator& operator=(const WaitIndicator&) = delete;

 private:
  void Spin(std::string what);

  Console& m_console;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_done = false;
  std::thread m_thread;
};

}  // namespace kdl::host
