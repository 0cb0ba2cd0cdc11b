// The wait of a caller that reads a socket itself (Linux).
#pragma once

#include <poll.h>
#include <time.h>

#include <chrono>
#include <cstdint>

namespace kdl::transport {

// Paces the reads of a caller waiting for data on a non-blocking socket:
// read again at once while the spin lasts (no wake-up to pay when data
// comes, at the price of the CPU), then asleep on the socket until it has
// something to report, `waitUs` in all from construction.
class CSocketWait {
 public:
  using Clock = std::chrono::steady_clock;

  CSocketWait(int fd, uint32_t spinUs, uint32_t waitUs)
      : m_fd(fd),
        m_spinEnd(Clock::now() + std::chrono::microseconds(spinUs)),
        m_end(m_spinEnd + std::chrono::microseconds(waitUs > spinUs ? waitUs - spinUs : 0)) {}

  // Call after a read that found nothing: returns when the next read is due,
  // true, or false once the time is up.
  bool Next() {
    const Clock::time_point now = Clock::now();
    if (now < m_spinEnd) return true;
    if (now >= m_end) return false;
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(m_end - now).count();
    const timespec ts = {static_cast<time_t>(left / 1000000000),
                         static_cast<long>(left % 1000000000)};
    pollfd p = {m_fd, POLLIN, 0};
    ::ppoll(&p, 1, &ts, nullptr);
    return true;
  }

 private:
  const int m_fd;
  const Clock::time_point m_spinEnd;
  const Clock::time_point m_end;
};

}  // namespace kdl::transport
