#include "tools/host/WaitIndicator.h"

#include <unistd.h>

#include <chrono>

namespace kdl::host {

WaitIndicator::WaitIndicator(bool enabled, const std::string& what) {
  if (enabled) m_thread = std::thread(&WaitIndicator::Spin, this, what);
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

bool WaitIndicator::StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void WaitIndicator::Spin(std::string what) {
  static const char kFrames[] = "|/-\\";
  std::unique_lock<std::mutex> lock(m_mutex);
  // Quick replies finish before the first frame and leave nothing behind.
  if (m_cv.wait_for(lock, std::chrono::milliseconds(150), [this] { return m_done; })) return;
  for (unsigned i = 0;; ++i) {
    std::string line = std::string("\r") + kFrames[i % 4] + " waiting for the " + what +
                       " reply...";
    ssize_t rc = write(STDERR_FILENO, line.data(), line.size());
    (void)rc;
    if (m_cv.wait_for(lock, std::chrono::milliseconds(120), [this] { return m_done; })) break;
  }
  static const char kClear[] = "\r\033[K";
  ssize_t rc = write(STDERR_FILENO, kClear, sizeof kClear - 1);
  (void)rc;
}

}  // namespace kdl::host
