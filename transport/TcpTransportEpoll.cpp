// The TCP component on Linux: client links over real sockets, served by an
// epoll set (CEpollService). The Windows build runs the Asio one
// (TcpTransport.cpp), whose events behave the same.
//
// Threads: the set has two threads per Init..Uninit period, each serving one
// event at a time, so that a callback which blocks (the host may start a
// request from inside the close callback and wait for its reply) does not
// stop the events of the other links. A link has one reader at a time: no
// one (its socket armed in the set), the service thread that took its
// event, or a caller that claimed it (TcpClaimRead; the socket is quiet in
// the set then, so no thread is woken for the reply the caller awaits). So
// its events come one at a time and in stream order. A caller delivers
// packets only: whatever ends the link it leaves to a service thread, by
// shutting the socket's read side, which the set reports once the caller
// lets go.
//
// TcpConnect connects on the caller's thread and gives up after
// kConnectTimeoutMs. The received stream is cut into packets by their head's
// Length (CPacketFramer); each whole packet is one event of kind 6, sub-kind
// 3. A Length out of range is reported as kind 16, then the link is closed
// and reported as kind 2. A close by the peer, a reset, a failed write,
// TcpShutdown, or a read that cannot go on for lack of memory is reported as
// kind 2, once. A link closed by TcpDestroy or TcpUninit reports nothing.
// Programs the host starts do not inherit the sockets.
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "BasePlatform/Transport.h"
#include "protocol/PacketFramer.h"
#include "transport/Address.h"
#include "transport/CallbackGate.h"
#include "transport/Component.h"
#include "transport/EpollService.h"
#include "transport/PrivateSocket.h"
#include "transport/SocketWait.h"
#include "transport/TcpConnect.h"
#include "util/NeverDestroyed.h"

namespace kdl::transport {
namespace {

using PacketZVDiskless::CPacketFramer;

constexpr unsigned kTcpThreads = 2;
// Reads a service thread makes for one event of a busy link before the
// link's next event waits its turn behind the other links'.
constexpr int kReadsPerEvent = 16;
// What a link no one reads is watched for (EPOLLOUT too while bytes wait).
constexpr uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP;

// One TCP client link.
class CTcpLink {
 public:
  using Service = CEpollService;
  static std::shared_ptr<CEpollService> StartService(unsigned nThreads);

  CTcpLink(std::shared_ptr<CEpollService> service, uint32_t hLink, TcpEventCallbackFn pfnCallback)
      : m_service(std::move(service)), m_hLink(hLink), m_pfnCallback(pfnCallback) {}
  ~CTcpLink() {
    if (m_fd >= 0) ::close(m_fd);
  }
  CTcpLink(const CTcpLink&) = delete;
  CTcpLink& operator=(const CTcpLink&) = delete;

  bool Bind(uint32_t localIP);
  bool Connect(uint32_t serverIP, uint16_t port);
  bool Send(const void* data, uint32_t size);
  bool LinkAddr(uint32_t selector, uint32_t* address, uint32_t* port) const;
  bool Shutdown();
  void Destroy();
  bool ClaimRead();
  bool PollRead(uint32_t spinUs, uint32_t waitUs);
  // One event of the socket, on a service thread.
  void Serve(uint32_t events);

 private:
  enum class State { kCreated, kConnecting, kConnected, kClosed };
  // Who reads the socket.
  enum class Reader { kNone, kService, kCaller };
  // What a look at the socket or the framer gave: packets delivered, nothing
  // whole (yet), the end of the link (a close, reset, failed write, or no
  // memory to read on), a Length out of range, or the link destroyed from a
  // callback.
  enum class Got { kPackets, kNothing, kEnd, kBadLength, kStopped };

  // With m_mu held.
  uint32_t WatchedLocked() const {
    return kReadEvents | (m_nQueued != 0 ? static_cast<uint32_t>(EPOLLOUT) : 0u);
  }
  void CloseLocked();
  // The rest is for the reader only.
  bool StillClaimed();
  Got ReadOnce();
  Got DeliverHeld();
  bool Flush();
  void Fail(bool bProtocolError);
  void Release();
  bool Deliver(uint32_t kind, const void* data);

  const std::shared_ptr<CEpollService> m_service;
  const uint32_t m_hLink;
  const TcpEventCallbackFn m_pfnCallback;
  CCallbackGate m_gate;

  std::mutex m_connectMu;  // held for the whole of a connect
  mutable std::mutex m_mu;  // guards the fields up to m_nFrontSent
  // Open from Bind until the link's close; closed only by its reader, or by
  // Destroy when it has none.
  int m_fd = -1;
  State m_state = State::kCreated;
  Reader m_reader = Reader::kNone;
  std::atomic<bool> m_bClosing{false};  // destroyed; written under m_mu
  LinkAddresses m_addr;
  std::deque<std::vector<uint8_t>> m_queue;  // accepted by Send, not yet written
  size_t m_nQueued = 0;
  size_t m_nFrontSent = 0;  // bytes of the queue's front already written

  // The reader's alone.
  CPacketFramer m_cutter;
  uint64_t m_nDelivered = 0;  // packets delivered so far
};

bool CTcpLink::Bind(uint32_t localIP) {
  const SocketHandle s = OpenPrivateSocket(SocketKind::kTcp, /*nonBlocking=*/true);
  if (s == kNoSocket) return false;
  std::lock_guard<std::mutex> lock(m_mu);
  m_fd = s;
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(localIP);
  socklen_t len = sizeof sa;
  if (::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return false;
  }
  m_addr.localIP = localIP;
  m_addr.localPort = ntohs(sa.sin_port);
  return true;
}

bool CTcpLink::Connect(uint32_t serverIP, uint16_t port) {
  std::lock_guard<std::mutex> connectLock(m_connectMu);
  {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_state != State::kCreated || m_bClosing) return false;
    m_state = State::kConnecting;
  }
  // Nothing else uses the socket while it connects, and Destroy waits for
  // the connect to end.
  const bool bConnected = ConnectBounded(m_fd, serverIP, port, m_bClosing);
  std::lock_guard<std::mutex> lock(m_mu);
  // A socket whose connect failed cannot try again; the link is dead.
  if (!bConnected || m_bClosing || !m_service->Add(m_fd, m_hLink, kReadEvents)) {
    m_state = State::kClosed;
    return false;
  }
  m_state = State::kConnected;
  m_addr.remoteIP = serverIP;
  m_addr.remotePort = port;
  return true;
}

bool CTcpLink::Send(const void* data, uint32_t size) {
  if (data == nullptr || size == 0) return false;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_state != State::kConnected || m_bClosing) return false;
  if (size > kMaxQueuedBytes - m_nQueued) return false;
  // Nothing queued: write straight from the caller's thread. The socket
  // never blocks, so this takes only what fits; the rest is queued for a
  // service thread. Any error is left to the queued write, which reports it.
  size_t sent = 0;
  if (m_nQueued == 0) {
    const ssize_t n = ::send(m_fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sent = static_cast<size_t>(n);
    if (sent == size) return true;
  }
  try {
    m_queue.emplace_back(p + sent, p + size);
  } catch (const std::bad_alloc&) {
    // Out of memory with part of the packet on the wire: the stream is cut,
    // so end the link; its reader then reports it closed.
    if (sent != 0) {
      m_state = State::kClosed;
      ::shutdown(m_fd, SHUT_RDWR);
    }
    return false;
  }
  m_nQueued += size - sent;
  // A reader arms the socket for writing when it lets go.
  if (m_reader == Reader::kNone) m_service->Arm(m_fd, m_hLink, WatchedLocked());
  return true;
}

bool CTcpLink::LinkAddr(uint32_t selector, uint32_t* address, uint32_t* port) const {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_addr.Get(selector, address, port);
}

// The shut socket reads as ended and hangs up, which the set reports to a
// service thread whoever reads the link now: it reports the close. Nothing
// to allocate on the way.
bool CTcpLink::Shutdown() {
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_state != State::kConnected || m_bClosing) return false;
  m_state = State::kClosed;  // Send refuses from here on
  ::shutdown(m_fd, SHUT_RDWR);
  return true;
}

void CTcpLink::Destroy() {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_bClosing = true;
    m_state = State::kClosed;
  }
  // A connect in progress notices m_bClosing within one slice.
  { std::lock_guard<std::mutex> connectLock(m_connectMu); }
  {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_reader == Reader::kNone) {
      CloseLocked();
    } else if (m_fd >= 0) {
      // Wakes a caller asleep on the socket; the reader closes it when done.
      ::shutdown(m_fd, SHUT_RDWR);
    }
  }
  m_gate.Close();
}

bool CTcpLink::ClaimRead() {
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_state != State::kConnected || m_bClosing || m_reader != Reader::kNone ||
      m_nQueued != 0 || !m_service->Arm(m_fd, m_hLink, 0)) {
    return false;
  }
  // An event taken out of the set just before finds the link claimed and
  // leaves it alone.
  m_reader = Reader::kCaller;
  return true;
}

bool CTcpLink::PollRead(uint32_t spinUs, uint32_t waitUs) {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_reader != Reader::kCaller) return false;
  }
  const uint64_t before = m_nDelivered;
  CSocketWait wait(m_fd, spinUs != 0 && m_service->SpinningPays() ? spinUs : 0, waitUs);
  Got got = Got::kNothing;
  do {
    got = ReadOnce();
  } while (got == Got::kNothing && StillClaimed() && wait.Next());
  // What ends the link is a service thread's to report: a shut read side
  // reads as ended there and makes the set report the socket.
  if (got == Got::kEnd || got == Got::kBadLength) ::shutdown(m_fd, SHUT_RD);
  Release();
  return m_nDelivered != before;
}

// A caller reads on unless the link is being destroyed or bytes wait to be
// written (a service thread writes them once the caller lets go).
bool CTcpLink::StillClaimed() {
  std::lock_guard<std::mutex> lock(m_mu);
  return !m_bClosing && m_nQueued == 0;
}

void CTcpLink::Serve(uint32_t /*events*/) {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    // Claimed meanwhile, or closed: whoever holds the link arms it again.
    if (m_reader != Reader::kNone || m_fd < 0) return;
    m_reader = Reader::kService;
  }
  // A framer left holding a bad head by a caller reports it first.
  Got got = Flush() ? DeliverHeld() : Got::kEnd;
  for (int i = 0; i < kReadsPerEvent && (got == Got::kPackets || got == Got::kNothing); ++i) {
    got = ReadOnce();
    if (got == Got::kNothing) break;
  }
  if (got == Got::kEnd || got == Got::kBadLength) Fail(got == Got::kBadLength);
  Release();
}

CTcpLink::Got CTcpLink::ReadOnce() {
  size_t space = 0;
  try {
    space = m_cutter.WriteSpace();
  } catch (const std::bad_alloc&) {
    return Got::kEnd;  // without a read the link would never see its close
  }
  const ssize_t n = ::recv(m_fd, m_cutter.WritePtr(), space, MSG_DONTWAIT);
  if (n > 0) {
    m_cutter.Commit(static_cast<size_t>(n));
    return DeliverHeld();
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Got::kNothing;
  return Got::kEnd;
}

CTcpLink::Got CTcpLink::DeliverHeld() {
  Got got = Got::kNothing;
  for (;;) {
    const uint8_t* packet = nullptr;
    uint32_t size = 0;
    const CPacketFramer::Result r = m_cutter.Next(&packet, &size);
    if (r == CPacketFramer::Result::kNeedMore) return got;
    if (r == CPacketFramer::Result::kBadLength) return Got::kBadLength;
    const TcpDataEvent event = {TCP_DATA_SUBKIND_PACKET, packet, size};
    // Destroyed from a callback: stop; the reader closes the socket.
    if (!Deliver(TCP_EVENT_DATA, &event)) return Got::kStopped;
    ++m_nDelivered;
    got = Got::kPackets;
  }
}

// Writes what is queued until the socket takes no more. False on a failed
// write: the link ends.
bool CTcpLink::Flush() {
  std::lock_guard<std::mutex> lock(m_mu);
  while (!m_queue.empty()) {
    const std::vector<uint8_t>& front = m_queue.front();
    const ssize_t n = ::send(m_fd, front.data() + m_nFrontSent, front.size() - m_nFrontSent,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    m_nFrontSent += static_cast<size_t>(n);
    m_nQueued -= static_cast<size_t>(n);
    if (m_nFrontSent == front.size()) {
      m_queue.pop_front();
      m_nFrontSent = 0;
    }
  }
  return true;
}

void CTcpLink::Fail(bool bProtocolError) {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_state = State::kClosed;
  }
  if (bProtocolError) Deliver(TCP_EVENT_ERR_PROTOCOL, nullptr);
  {
    std::lock_guard<std::mutex> lock(m_mu);
    CloseLocked();
  }
  Deliver(TCP_EVENT_CLOSED, nullptr);
}

void CTcpLink::CloseLocked() {
  if (m_fd < 0) return;
  ::shutdown(m_fd, SHUT_RDWR);
  ::close(m_fd);  // also takes it out of the set
  m_fd = -1;
  m_queue.clear();
  m_nQueued = 0;
  m_nFrontSent = 0;
}

// Lets go of the reads: the socket is armed again (for writing too while
// bytes wait), or closed when the link was destroyed meanwhile.
void CTcpLink::Release() {
  std::lock_guard<std::mutex> lock(m_mu);
  m_reader = Reader::kNone;
  if (m_fd < 0) return;
  if (m_bClosing) {
    CloseLocked();
    return;
  }
  m_service->Arm(m_fd, m_hLink, WatchedLocked());
}

bool CTcpLink::Deliver(uint32_t kind, const void* data) {
  return m_gate.Deliver(m_pfnCallback, kind, m_hLink, data);
}

TComponent<CTcpLink, TcpEventCallbackFn>& Tcp() {
  // Never destroyed: links may still be torn down while the process exits.
  static kdl::util::TNeverDestroyed<TComponent<CTcpLink, TcpEventCallbackFn>> s_component;
  return s_component.Get(kTcpThreads);
}

std::shared_ptr<CEpollService> CTcpLink::StartService(unsigned nThreads) {
  return CEpollService::Start(nThreads, [](uint32_t key, uint32_t events) {
    try {
      // A handle no longer in the table is destroyed: its socket is closed.
      if (std::shared_ptr<CTcpLink> link = Tcp().Find(key)) link->Serve(events);
    } catch (...) {
    }
  });
}

}  // namespace
}  // namespace kdl::transport

#include "transport/TcpExports.inc"
