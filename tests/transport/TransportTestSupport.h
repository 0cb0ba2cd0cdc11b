// Event recording and loopback peers for the transport component tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "BasePlatform/Transport.h"

// The plain-socket API: BSD sockets, or Winsock on Windows (which also
// declares socklen_t).
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kdl::test {

// One event as a callback saw it.
struct Event {
  uint32_t kind = 0, handle = 0, subKind = 0;
  std::vector<uint8_t> bytes;
  std::string sender;
  uint16_t port = 0;
  bool other = false;  // reached OtherTcpCallback
};

// Every event that reached the callbacks below, in order of arrival. An
// event for a handle marked dead counts as a violation: it came after the
// handle's destroy had returned.
namespace kdl::test::events {
void Reset();
void SetHook(std::function<void(const Event&)> hook);  // runs after recording
void MarkDead(uint32_t handle);
int Violations();
std::vector<Event> Of(uint32_t handle);
std::vector<uint32_t> KindsOf(uint32_t handle);
// Waits (20 s at most) until the handle has n events, or one of `kind`.
bool WaitCount(uint32_t handle, size_t n);
bool WaitKind(uint32_t handle, uint32_t kind);
}  // namespace kdl::test::events

void TcpCallback(const TransportEventHead* head, const void* data);
void OtherTcpCallback(const TransportEventHead* head, const void* data);
void UdpCallback(const TransportEventHead* head, const void* data);

// A head with Type 1 and the given Length, then Length - 24 bytes of `fill`
// (just the head when Length is out of range).
std::vector<uint8_t> Packet(uint32_t length, uint8_t fill);
std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts);

// A socket bound to 127.0.0.1 and an ephemeral port (*port); listening when
// TCP with backlog >= 0.
int LoopbackSocket(int type, uint16_t* port, int backlog = -1);
int Accept(int listener);  // -1 after 20 s
// Blocking helpers on plain sockets; false on error or after 20 s.
bool WriteAll(int fd, const std::vector<uint8_t>& bytes);
bool ReadExactly(int fd, size_t n, std::vector<uint8_t>* out);
bool SeesClose(int fd);  // the other end closed or reset

// Socket calls whose spelling differs between the two socket APIs.
void CloseSocket(int fd);
void ShutdownSend(int fd);
void CloseWithReset(int fd);  // SO_LINGER of 0: the peer sees a reset
int NonBlockingTcpSocket();

}  // namespace kdl::test
