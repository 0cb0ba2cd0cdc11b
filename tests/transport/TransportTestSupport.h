// Event recording and loopback peers for the transport component tests.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "BasePlatform/Transport.h"

namespace transport_test {

// One event as a callback saw it.
struct Event {
  uint32_t kind = 0;
  uint32_t handle = 0;
  uint32_t subKind = 0;
  std::vector<uint8_t> bytes;
  std::string sender;
  uint16_t port = 0;
  bool other = false;  // reached OtherTcpCallback
};

// Every event that reached TcpCallback, UdpCallback or OtherTcpCallback, in
// order of arrival. An event for a handle marked dead is counted as a
// violation: it came after the handle's destroy had returned.
class EventLog {
 public:
  static void Reset();
  // Called after recording each event, on the callback's thread.
  static void SetHook(std::function<void(const Event&)> hook);
  static void MarkDead(uint32_t handle);
  static int Violations();
  static std::vector<Event> Events(uint32_t handle);
  // Waits until `handle` has at least `n` events (at most 20 s).
  static bool WaitForCount(uint32_t handle, size_t n);
  static bool WaitForKind(uint32_t handle, uint32_t kind);
  static void Record(Event e);
};

void TcpCallback(const TransportEventHead* head, const void* data);
void OtherTcpCallback(const TransportEventHead* head, const void* data);
void UdpCallback(const TransportEventHead* head, const void* data);

// A 24-byte head with the given Length, followed by `length - 24` bytes of
// `fill`. Lengths under 24 give just the head.
std::vector<uint8_t> Packet(uint32_t length, uint8_t fill);

// A listening TCP socket on 127.0.0.1 and an ephemeral port.
class Listener {
 public:
  explicit Listener(int backlog = 8);
  ~Listener();
  uint16_t Port() const { return m_port; }
  int Accept();  // -1 after 20 s without a connection
 private:
  int m_fd = -1;
  uint16_t m_port = 0;
};

// Blocking helpers on plain sockets; false on error or after 20 s.
bool WriteAll(int fd, const std::vector<uint8_t>& bytes);
bool ReadExactly(int fd, size_t n, std::vector<uint8_t>* out);
// True when the peer has closed or reset (read gives 0 or an error).
bool SeesClose(int fd);
// A TCP port on 127.0.0.1 on which nothing listens.
uint16_t ClosedPort();
// A UDP socket bound to 127.0.0.1 and an ephemeral port.
int UdpSocket(uint16_t* port);

}  // namespace transport_test
