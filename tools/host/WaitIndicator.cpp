#include "tools/host/WaitIndicator.h"

#include <chrono>
#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

namespace kdl::host {

WaitIndicator::WaitIndicator(Console& console, bool enabled, const std::string& what)
    : m_console(console) {
  if (enabled && console.Terminal()) m_thread = std::thread(&WaitIndicator::Spin, this, what);
}

WaitIndicator::~WaitIndicator() {
  if (!m_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
  }
  m_cv.notify_all();
  m_thread.join();
}

void WaitIndicator::Spin(std::string what) {
#ifndef _WIN32
  // SIGINT and SIGTERM go to another thread, whose handler then waits for a
  // frame this thread is drawing (Console.cpp).
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
#endif
  static const char kFrames[] = "|/-\\";
  std::unique_lock<std::mutex> lock(m_mutex);
  // Quick replies finish before the first frame and leave nothing behind.
  if (m_cv.wait_for(lock, std::chrono::milliseconds(150), [this] { return m_done; })) return;
  for (unsigned i = 0;; ++i) {
    m_console.DrawSpinner(std::string(1, kFrames[i % 4]) + " waiting for the " + what +
                          " reply...");
    if (m_cv.wait_for(lock, std::chrono::milliseconds(120), [this] { return m_done; })) break;
  }
  m_console.ClearSpinner();
}

}  // namespace kdl::host
