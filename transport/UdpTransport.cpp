// The UDP component over Asio (the Windows build): endpoints over real
// sockets. The Linux build has its own, over epoll (UdpTransportEpoll.cpp).
//
// Threads: one io_context per Init..Uninit period, run by one thread; each
// endpoint has one receive outstanding at a time, so its events come one at a
// time. UdpSendTo sends on the caller's thread. Endpoints may send broadcasts
// (SO_BROADCAST) and share their local port (SO_REUSEADDR). Each received
// datagram is one event of kind 3. A receive error that does not pass, or a
// receive that cannot start again for lack of memory, is reported as kind 2,
// once; an endpoint closed by UdpDestroy or UdpUninit
// reports nothing. Programs the host starts do not inherit the sockets.
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <vector>

#include <asio/ip/udp.hpp>

#include "BasePlatform/Transport.h"
#include "transport/Address.h"
#include "transport/CallbackGate.h"
#include "transport/Component.h"
#include "transport/IoService.h"
#include "transport/PrivateSocket.h"
#include "util/IPv4Text.h"
#include "util/NeverDestroyed.h"

namespace kdl::transport {
namespace {

constexpr unsigned kUdpThreads = 1;
// Room for the largest IPv4 datagram.
constexpr size_t kReceiveBuffer = 65536;
// Receive errors in a row (each an ICMP report of an earlier send, say)
// after which the endpoint is taken as broken instead of trying again.
constexpr int kMaxErrorsInRow = 64;

// One UDP endpoint.
class CUdpEndpoint : public std::enable_shared_from_this<CUdpEndpoint> {
 public:
  using Service = CIoService;
  static std::shared_ptr<CIoService> StartService(unsigned nThreads) {
    return CIoService::Start(nThreads);
  }

  CUdpEndpoint(std::shared_ptr<CIoService> service, uint32_t hEndpoint,
               UdpEventCallbackFn pfnCallback)
      : m_io(std::move(service)),
        m_hEndpoint(hEndpoint),
        m_pfnCallback(pfnCallback),
        m_socket(m_io.Context()),
        m_buffer(kReceiveBuffer) {}

  bool Bind(uint32_t localIP, uint16_t localPort);
  bool Start();
  bool SendTo(const void* data, uint32_t size, uint32_t destIP, uint16_t destPort);
  void Destroy();
  // Reads stay with the component's thread here.
  bool ClaimRead() { return false; }
  bool PollRead(uint32_t, uint32_t) { return false; }

 private:
  void StartReceiveLocked();
  void OnReceive(const std::error_code& ec, size_t n);
  static bool IsPassingError(const std::error_code& ec);
  bool Deliver(uint32_t kind, const void* data);

  CIoUser m_io;  // first: outlives the socket
  const uint32_t m_hEndpoint;
  const UdpEventCallbackFn m_pfnCallback;
  asio::ip::udp::socket m_socket;
  CCallbackGate m_gate;

  std::mutex m_mu;  // guards every use of m_socket, and m_bClosed
  bool m_bClosed = false;

  // Used by the one receive in progress and its handler only.
  std::vector<uint8_t> m_buffer;
  asio::ip::udp::endpoint m_sender;
  int m_nErrorsInRow = 0;
};

bool CUdpEndpoint::Bind(uint32_t localIP, uint16_t localPort) {
  std::error_code ec;
  const SocketHandle s = OpenPrivateSocket(SocketKind::kUdp);
  if (s == kNoSocket) return false;
  m_socket.assign(asio::ip::udp::v4(), s, ec);
  if (ec) {
    CloseSocketHandle(s);
    return false;
  }
  m_socket.set_option(asio::socket_base::reuse_address(true), ec);
  if (ec) return false;
  m_socket.set_option(asio::socket_base::broadcast(true), ec);
  if (ec) return false;
  m_socket.bind(asio::ip::udp::endpoint(asio::ip::address_v4(localIP), localPort), ec);
  return !ec;
}

bool CUdpEndpoint::Start() {
  std::lock_guard<std::mutex> lock(m_mu);
  try {
    StartReceiveLocked();
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void CUdpEndpoint::StartReceiveLocked() {
  if (m_bClosed) return;
  m_socket.async_receive_from(
      asio::buffer(m_buffer), m_sender,
      [self = shared_from_this()](const std::error_code& ec, size_t n) { self->OnReceive(ec, n); });
}

bool CUdpEndpoint::SendTo(const void* data, uint32_t size, uint32_t destIP, uint16_t destPort) {
  if (data == nullptr && size != 0) return false;
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_bClosed) return false;
  std::error_code ec;
  const size_t sent = m_socket.send_to(
      asio::buffer(data, size), asio::ip::udp::endpoint(asio::ip::address_v4(destIP), destPort),
      0, ec);
  return !ec && sent == size;
}

void CUdpEndpoint::Destroy() {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_bClosed = true;
    std::error_code ec;
    m_socket.close(ec);
  }
  m_gate.Close();
}

bool CUdpEndpoint::IsPassingError(const std::error_code& ec) {
  return ec == asio::error::connection_refused || ec == asio::error::connection_reset ||
         ec == asio::error::host_unreachable || ec == asio::error::network_unreachable ||
         ec == asio::error::message_size || ec == asio::error::no_buffer_space ||
         ec == asio::error::interrupted || ec == asio::error::would_block;
}

void CUdpEndpoint::OnReceive(const std::error_code& ec, size_t n) {
  if (ec == asio::error::operation_aborted) return;
  if (!ec) {
    m_nErrorsInRow = 0;
    char text[kdl::util::kIPv4TextSize];
    kdl::util::FormatIPv4(m_sender.address().to_v4().to_uint(), text);
    const UdpDataEvent event = {m_buffer.data(), static_cast<uint32_t>(n), text, m_sender.port()};
    if (!Deliver(UDP_EVENT_DATA, &event)) return;
  }
  std::unique_lock<std::mutex> lock(m_mu);
  if (m_bClosed) return;
  if (!ec || (IsPassingError(ec) && ++m_nErrorsInRow < kMaxErrorsInRow)) {
    try {
      StartReceiveLocked();
      return;
    } catch (const std::bad_alloc&) {
      // Without a receive pending the endpoint would be dead without a word.
    }
  }
  m_bClosed = true;
  std::error_code ignored;
  m_socket.close(ignored);
  lock.unlock();
  Deliver(UDP_EVENT_CLOSED, nullptr);
}

bool CUdpEndpoint::Deliver(uint32_t kind, const void* data) {
  return m_gate.Deliver(m_pfnCallback, kind, m_hEndpoint, data);
}

TComponent<CUdpEndpoint, UdpEventCallbackFn>& Udp() {
  // Never destroyed: endpoints may still be torn down while the process exits.
  static kdl::util::TNeverDestroyed<TComponent<CUdpEndpoint, UdpEventCallbackFn>> s_component;
  return s_component.Get(kUdpThreads);
}

}  // namespace
}  // namespace kdl::transport

#include "transport/UdpExports.inc"
