#include "log/LogRateLimit.h"

#include <atomic>
#include <chrono>

#include "log/LogWriter.h"

namespace kdl::log {
namespace {

uint64_t SteadyMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

std::atomic<CLogRateLimit::Clock> g_clock{SteadyMs};

}  // namespace

void CLogRateLimit::SetClockForTest(Clock clock) { g_clock = clock ? clock : SteadyMs; }

bool CLogRateLimit::Admit(const char* source, int line, const char* report) {
  uint32_t held = 0;
  const bool admitted = Count(&held);
  if (held != 0) {
    KLOG_LINE(source, line, LOG_WARNING, "%u more %s reports suppressed in the last minute.",
              held, report);
  }
  return admitted;
}

bool CLogRateLimit::Count(uint32_t* held) {
  const uint64_t now = g_clock.load()();
  kdl::plat::LockGuard hold(m_Lock);
  *held = 0;
  // Read before the lock, `now` may be older than a window that another
  // thread opened meanwhile: that reading belongs to the open window.
  const uint64_t elapsed = now > m_nWindowStart ? now - m_nWindowStart : 0;
  if (!m_bOpen || elapsed >= kWindowMs) {
    *held = m_nHeld;
    m_bOpen = true;
    m_nWindowStart = now;
    m_nWritten = 0;
    m_nHeld = 0;
  }
  if (m_nWritten < kBurst) {
    ++m_nWritten;
    return true;
  }
  ++m_nHeld;
  return false;
}

}  // namespace kdl::log
