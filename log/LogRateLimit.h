// A bound on how often one kind of report is logged, so that a flood of bad
// packets from anyone on the network cannot fill the disk: the first reports
// of each minute are written in full, the rest are counted and summed up in
// one line when the next minute's first report comes.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

namespace kdl::log {

class CLogRateLimit {
 public:
  static constexpr uint32_t kBurst = 20;        // reports written per window
  static constexpr uint32_t kWindowMs = 60000;  // one minute

  CLogRateLimit() = default;
  CLogRateLimit(const CLogRateLimit&) = delete;
  CLogRateLimit& operator=(const CLogRateLimit&) = delete;

  // True when the caller may write its report now. When this report opens a
  // new window after reports were held back in the last one, first logs at
  // Warning, under `source` and `line`, "<n> more <report> reports
  // suppressed in the last minute." Thread-safe.
  bool Admit(const char* source, int line, const char* report);

  // Milliseconds of a monotonic clock; tests replace it. Null restores it.
  using Clock = uint64_t (*)();
  static void SetClockForTest(Clock clock);

 private:
  // Admit without the summary; *held receives the count to sum up.
  bool Count(uint32_t* held);

  kdl::plat::Lock m_Lock;
  bool m_bOpen = false;  // a window has started
  uint64_t m_nWindowStart = 0;
  uint32_t m_nWritten = 0;
  uint32_t m_nHeld = 0;
};

}  // namespace kdl::log
