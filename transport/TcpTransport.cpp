// The TCP component over Asio (the Windows build): client links over real
// sockets. The Linux build has its own, over epoll (TcpTransportEpoll.cpp).
//
// Threads: one io_context per Init..Uninit period, run by two threads, so
// that a callback which blocks (the host may start a request from inside the
// close callback and wait for its reply) does not stop the events of the
// other links. All handlers of one link run on the link's strand, so its
// events come one at a time and in stream order.
//
// The strand is io_context::strand: asio::strand<> cannot be created safely
// when memory runs out (its service destroys a half-built implementation).
// Strand implementations are handed out in turn (sequential allocation, see
// CMakeLists.txt), so links made one after another never share one and a
// callback that blocks on one link does not hold up the next.
//
// TcpConnect connects on the caller's thread and gives up after
// kConnectTimeoutMs. The received stream is cut into packets by their head's
// Length (CPacketFramer); each whole packet is one event of kind 6, sub-kind
// 3. A Length out of range is reported as kind 16, then the link is closed
// and reported as kind 2. A close by the peer, a reset, a failed write,
// TcpShutdown, or a read or write that cannot start for lack of memory is
// reported as kind 2, once. A link closed by TcpDestroy or TcpUninit reports
// nothing. Programs the host starts do not inherit the sockets.
#ifdef _WIN32
#include <winsock2.h>
#else
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <asio/bind_executor.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/io_context_strand.hpp>
#include <asio/write.hpp>

#include "BasePlatform/Transport.h"
#include "protocol/PacketFramer.h"
#include "transport/Address.h"
#include "transport/CallbackGate.h"
#include "transport/Component.h"
#include "transport/IoService.h"
#include "transport/PrivateSocket.h"
#include "transport/TcpConnect.h"
#include "util/NeverDestroyed.h"

namespace kdl::transport {
namespace {

using PacketZVDiskless::CPacketFramer;

constexpr unsigned kTcpThreads = 2;

// One TCP client link.
class CTcpLink : public std::enable_shared_from_this<CTcpLink> {
 public:
  using Service = CIoService;
  static std::shared_ptr<CIoService> StartService(unsigned nThreads) {
    return CIoService::Start(nThreads);
  }

  CTcpLink(std::shared_ptr<CIoService> service, uint32_t hLink, TcpEventCallbackFn pfnCallback)
      : m_io(std::move(service)),
        m_hLink(hLink),
        m_pfnCallback(pfnCallback),
        m_strand(m_io.Context()),
        m_socket(m_io.Context()) {}

  bool Bind(uint32_t localIP);
  bool Connect(uint32_t serverIP, uint16_t port);
  bool Send(const void* data, uint32_t size);
  bool LinkAddr(uint32_t selector, uint32_t* address, uint32_t* port) const;
  bool Shutdown();
  void Destroy();
  // Reads stay with the component's threads here.
  bool ClaimRead() { return false; }
  bool PollRead(uint32_t, uint32_t) { return false; }

 private:
  enum class State { kCreated, kConnecting, kConnected, kClosed };

  bool ConnectSocket(uint32_t serverIP, uint16_t port);
  // The rest runs on the strand.
  void StartRead();
  void OnRead(const std::error_code& ec, size_t n);
  void Enqueue(std::vector<uint8_t> bytes);
  void StartWrite();
  void OnWrite(const std::error_code& ec);
  void Fail(bool bProtocolError);
  void CloseSocket();
  bool Deliver(uint32_t kind, const void* data);

  CIoUser m_io;  // first: outlives the socket
  const uint32_t m_hLink;
  const TcpEventCallbackFn m_pfnCallback;
  asio::io_context::strand m_strand;
  asio::ip::tcp::socket m_socket;
  CCallbackGate m_gate;

  std::mutex m_connectMu;  // held for the whole of a connect
  mutable std::mutex m_mu;  // guards the fields up to m_nQueued
  State m_state = State::kCreated;
  std::atomic<bool> m_bClosing{false};  // destroyed; written under m_mu
  LinkAddresses m_addr;
  size_t m_nQueued = 0;
  bool m_bDirectSend = false;  // set before the link is connected

  // Strand only (and the creating thread before the link is published).
  CPacketFramer m_cutter;
  std::deque<std::vector<uint8_t>> m_queue;
  bool m_bWriting = false;
  bool m_bShut = false;  // socket closed
};

bool CTcpLink::Bind(uint32_t localIP) {
  std::error_code ec;
  const SocketHandle s = OpenPrivateSocket(SocketKind::kTcp);
  if (s == kNoSocket) return false;
  m_socket.assign(asio::ip::tcp::v4(), s, ec);
  if (ec) {
    CloseSocketHandle(s);
    return false;
  }
  m_socket.bind(asio::ip::tcp::endpoint(asio::ip::address_v4(localIP), 0), ec);
  if (ec) return false;
  const asio::ip::tcp::endpoint local = m_socket.local_endpoint(ec);
  if (ec) return false;
  std::lock_guard<std::mutex> lock(m_mu);
  m_addr.localIP = localIP;
  m_addr.localPort = local.port();
  return true;
}

bool CTcpLink::Connect(uint32_t serverIP, uint16_t port) {
  std::lock_guard<std::mutex> connectLock(m_connectMu);
  {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_state != State::kCreated || m_bClosing) return false;
    m_state = State::kConnecting;
  }
  const bool bConnected = ConnectSocket(serverIP, port);
  std::lock_guard<std::mutex> lock(m_mu);
  if (!bConnected || m_bClosing) {
    // A socket whose connect failed cannot try again; the link is dead.
    m_state = State::kClosed;
    return false;
  }
  try {
    asio::post(m_strand, [self = shared_from_this()] { self->StartRead(); });
  } catch (const std::bad_alloc&) {
    m_state = State::kClosed;
    return false;
  }
  m_state = State::kConnected;
  m_addr.remoteIP = serverIP;
  m_addr.remotePort = port;
  return true;
}

// Runs on the caller's thread while no handler of the link exists yet.
bool CTcpLink::ConnectSocket(uint32_t serverIP, uint16_t port) {
  std::error_code ec;
  m_socket.native_non_blocking(true, ec);
  if (ec) return false;
  if (!ConnectBounded(m_socket.native_handle(), serverIP, port, m_bClosing)) return false;
  // Send writes from the caller's thread only if that can never block there.
  m_socket.non_blocking(true, ec);
  m_bDirectSend = !ec;
  return true;
}

bool CTcpLink::Send(const void* data, uint32_t size) {
  if (data == nullptr || size == 0) return false;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_state != State::kConnected || m_bClosing) return false;
  if (size > kMaxQueuedBytes - m_nQueued) return false;
  // Nothing queued or being written: write straight from the caller's thread,
  // saving two thread hand-offs per request. The socket is non-blocking, so
  // this takes only what fits; the rest goes through the queue. Any error is
  // left to the queued write, which reports it as it always has.
  size_t sent = 0;
  if (m_nQueued == 0 && m_bDirectSend) {
    std::error_code ec;
    sent = m_socket.send(asio::buffer(p, size), 0, ec);
    if (ec) sent = 0;
    if (sent == size) return true;
  }
  std::vector<uint8_t> bytes;
  try {
    bytes.assign(p + sent, p + size);
    // Posting under the lock keeps the order of sends from different threads
    // the order in which they were accepted.
    asio::post(m_strand, [self = shared_from_this(), b = std::move(bytes)]() mutable {
      self->Enqueue(std::move(b));
    });
  } catch (const std::bad_alloc&) {
    // Out of memory with part of the packet on the wire: the stream is cut,
    // so end the link; the read side then reports it closed.
    if (sent != 0) {
      m_state = State::kClosed;
      std::error_code ec;
      m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    }
    return false;
  }
  m_nQueued += size - sent;
  return true;
}

bool CTcpLink::LinkAddr(uint32_t selector, uint32_t* address, uint32_t* port) const {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_addr.Get(selector, address, port);
}

// The posted Fail reports the close on the strand whatever the socket API
// does with a pending read after a local shutdown, and whether or not the
// peer answers it. Without memory to post it, the shutdown alone ends the
// pending read, whose handler reports the close, as after Send's shutdown.
bool CTcpLink::Shutdown() {
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_state != State::kConnected || m_bClosing) return false;
  m_state = State::kClosed;  // Send refuses from here on
  std::error_code ec;
  m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  try {
    asio::post(m_strand, [self = shared_from_this()] { self->Fail(false); });
  } catch (const std::bad_alloc&) {
  }
  return true;
}

void CTcpLink::Destroy() {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_bClosing = true;
    m_state = State::kClosed;
  }
  // A connect in progress notices m_bClosing within one slice; after it the
  // socket belongs to the strand alone.
  { std::lock_guard<std::mutex> connectLock(m_connectMu); }
  m_gate.Close();
  try {
    asio::post(m_strand, [self = shared_from_this()] { self->CloseSocket(); });
  } catch (const std::bad_alloc&) {
    // Out of memory: end the pending read and write instead, as Send does;
    // their handlers then close the socket (the closed gate keeps the close
    // unreported), so the link is released and the threads can end.
    std::lock_guard<std::mutex> lock(m_mu);
    std::error_code ec;
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  }
}

// Without a read pending the link would never see its close, and every
// request on it would time out: a read that cannot start ends the link.
void CTcpLink::StartRead() {
  if (m_bShut) return;
  const size_t space = m_cutter.WriteSpace();
  auto onRead = [self = shared_from_this()](const std::error_code& ec, size_t n) {
    self->OnRead(ec, n);
  };
  try {
    m_socket.async_read_some(asio::buffer(m_cutter.WritePtr(), space),
                             asio::bind_executor(m_strand, std::move(onRead)));
  } catch (const std::bad_alloc&) {
    Fail(false);
  }
}

void CTcpLink::OnRead(const std::error_code& ec, size_t n) {
  if (m_bShut) return;
  if (ec) {
    Fail(false);
    return;
  }
  m_cutter.Commit(n);
  for (;;) {
    const uint8_t* packet = nullptr;
    uint32_t size = 0;
    const CPacketFramer::Result r = m_cutter.Next(&packet, &size);
    if (r == CPacketFramer::Result::kNeedMore) break;
    if (r == CPacketFramer::Result::kBadLength) {
      Fail(true);
      return;
    }
    const TcpDataEvent event = {TCP_DATA_SUBKIND_PACKET, packet, size};
    // Destroyed from a callback: stop; the close is already queued.
    if (!Deliver(TCP_EVENT_DATA, &event)) return;
  }
  StartRead();
}

// Bytes that cannot be queued or written cut the stream: the link ends.
void CTcpLink::Enqueue(std::vector<uint8_t> bytes) {
  if (m_bShut) return;
  const size_t size = bytes.size();
  try {
    m_queue.push_back(std::move(bytes));
  } catch (const std::bad_alloc&) {
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_nQueued -= size;
    }
    Fail(false);
    return;
  }
  if (!m_bWriting) StartWrite();
}

void CTcpLink::StartWrite() {
  m_bWriting = true;
  auto onWrite = [self = shared_from_this()](const std::error_code& ec, size_t) {
    self->OnWrite(ec);
  };
  try {
    asio::async_write(m_socket, asio::buffer(m_queue.front()),
                      asio::bind_executor(m_strand, std::move(onWrite)));
  } catch (const std::bad_alloc&) {
    m_bWriting = false;
    Fail(false);
  }
}

void CTcpLink::OnWrite(const std::error_code& ec) {
  m_bWriting = false;
  if (m_bShut) {
    m_queue.clear();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_nQueued -= m_queue.front().size();
  }
  m_queue.pop_front();
  if (ec) {
    Fail(false);
    return;
  }
  if (!m_queue.empty()) StartWrite();
}

void CTcpLink::Fail(bool bProtocolError) {
  if (m_bShut) return;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_state = State::kClosed;
  }
  if (bProtocolError) Deliver(TCP_EVENT_ERR_PROTOCOL, nullptr);
  CloseSocket();
  Deliver(TCP_EVENT_CLOSED, nullptr);
}

void CTcpLink::CloseSocket() {
  if (m_bShut) return;
  m_bShut = true;
  std::error_code ec;
  // Send may be writing on the socket from another thread under m_mu.
  std::lock_guard<std::mutex> lock(m_mu);
  m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  m_socket.close(ec);
  // A write in progress still owns the front buffer until its handler runs.
  if (!m_bWriting) m_queue.clear();
}

bool CTcpLink::Deliver(uint32_t kind, const void* data) {
  return m_gate.Deliver(m_pfnCallback, kind, m_hLink, data);
}

TComponent<CTcpLink, TcpEventCallbackFn>& Tcp() {
  // Never destroyed: links may still be torn down while the process exits.
  static kdl::util::TNeverDestroyed<TComponent<CTcpLink, TcpEventCallbackFn>> s_component;
  return s_component.Get(kTcpThreads);
}

}  // namespace
}  // namespace kdl::transport

#include "transport/TcpExports.inc"
