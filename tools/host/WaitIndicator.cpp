#include "tools/host/WaitIndicator.h"

#include <chrono>

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
