// What both TCP link implementations (epoll, Asio) share: the limits of a
// link, the bounded connect of a non-blocking socket and the addresses that
// TcpGetLinkAddr reports.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#endif

namespace kdl::transport {

#ifdef _WIN32
using NativeSocket = SOCKET;
#else
using NativeSocket = int;
#endif

// Bound of a connect that gets no answer. A refusal ends it at once.
constexpr int kConnectTimeoutMs = 3000;
// Bytes accepted by TcpSend but not yet written; beyond it TcpSend fails
// rather than let a stalled peer eat the memory.
constexpr size_t kMaxQueuedBytes = 64u * 1024 * 1024;

// Connects the non-blocking socket `fd` to serverIP:port (host order) within
// kConnectTimeoutMs, looking every few milliseconds whether `closing` was
// set (the link is being destroyed). True when connected; TCP_NODELAY is then
// set, since requests are small and answered one by one.
bool ConnectBounded(NativeSocket fd, uint32_t serverIP, uint16_t port,
                    const std::atomic<bool>& closing);

// The addresses of a link, in host order, as TcpGetLinkAddr reports them.
struct LinkAddresses {
  uint32_t localIP = 0;
  uint32_t localPort = 0;
  uint32_t remoteIP = 0;
  uint32_t remotePort = 0;  // 0 until connected

  // Selector 1 gives the local address, 2 the remote one (false before the
  // connect); false for any other selector.
  bool Get(uint32_t selector, uint32_t* address, uint32_t* port) const;
};

}  // namespace kdl::transport
