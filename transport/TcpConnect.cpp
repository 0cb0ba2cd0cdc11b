#include "transport/TcpConnect.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>

namespace kdl::transport {
namespace {

// How often a waiting connect looks whether the link is being destroyed.
constexpr int kConnectSliceMs = 50;

// Selectors of TcpGetLinkAddr.
constexpr uint32_t kSelectLocal = 1;
constexpr uint32_t kSelectRemote = 2;

// The system's half of a bounded connect on a non-blocking socket.
enum class ConnectStep { kDone, kPending, kFailed };

#ifdef _WIN32
ConnectStep BeginConnect(NativeSocket fd, const sockaddr_in& sa) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
    return ConnectStep::kDone;
  }
  const int e = WSAGetLastError();
  return (e == WSAEWOULDBLOCK || e == WSAEINPROGRESS || e == WSAEINTR) ? ConnectStep::kPending
                                                                       : ConnectStep::kFailed;
}

// Waits up to `ms` for the connect to finish. Winsock reports a refused or
// unreachable connect in the exception set of select().
ConnectStep AwaitConnect(NativeSocket fd, int ms) {
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(fd, &writable);
  FD_SET(fd, &failed);
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  const int r = ::select(0, nullptr, &writable, &failed, &tv);
  if (r < 0) return WSAGetLastError() == WSAEINTR ? ConnectStep::kPending : ConnectStep::kFailed;
  if (r == 0) return ConnectStep::kPending;
  int err = 0;
  int len = sizeof err;
  if (FD_ISSET(fd, &failed) ||
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0 ||
      err != 0) {
    return ConnectStep::kFailed;
  }
  return ConnectStep::kDone;
}
#else
ConnectStep BeginConnect(NativeSocket fd, const sockaddr_in& sa) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
    return ConnectStep::kDone;
  }
  return (errno == EINPROGRESS || errno == EINTR) ? ConnectStep::kPending : ConnectStep::kFailed;
}

// Waits up to `ms` for the connect to finish.
ConnectStep AwaitConnect(NativeSocket fd, int ms) {
  pollfd p = {fd, POLLOUT, 0};
  const int r = ::poll(&p, 1, ms);
  if (r < 0) return errno == EINTR ? ConnectStep::kPending : ConnectStep::kFailed;
  if (r == 0) return ConnectStep::kPending;
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
    return ConnectStep::kFailed;
  }
  return ConnectStep::kDone;
}
#endif

}  // namespace

bool ConnectBounded(NativeSocket fd, uint32_t serverIP, uint16_t port,
                    const std::atomic<bool>& closing) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(serverIP);
  ConnectStep step = BeginConnect(fd, sa);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
  while (step == ConnectStep::kPending) {
    if (closing) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    step = AwaitConnect(fd, static_cast<int>(std::min<long long>(left, kConnectSliceMs)));
  }
  if (step == ConnectStep::kFailed) return false;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return true;
}

bool LinkAddresses::Get(uint32_t selector, uint32_t* address, uint32_t* port) const {
  if (selector == kSelectRemote) {
    if (remotePort == 0) return false;  // never connected
    *address = remoteIP;
    *port = remotePort;
    return true;
  }
  if (selector == kSelectLocal) {
    *address = localIP;
    *port = localPort;
    return true;
  }
  return false;
}

}  // namespace kdl::transport
