// The UDP component on Linux: endpoints over real sockets, served by an epoll
// set (CEpollService) with one thread per Init..Uninit period. The Windows
// build runs the Asio one (UdpTransport.cpp), whose events behave the same.
//
// An endpoint has one reader at a time, as a TCP link does (see
// TcpTransportEpoll.cpp): no one, the service thread, or a caller that
// claimed it (UdpClaimRead), so its events come one at a time. UdpSendTo
// sends on the caller's thread. Endpoints may send broadcasts (SO_BROADCAST)
// and share their local port (SO_REUSEADDR). Each received datagram is one
// event of kind 3. A receive error that does not pass is reported as kind 2,
// once, on the service thread (a caller that meets it leaves it there); an
// endpoint closed by UdpDestroy or UdpUninit reports nothing. Programs the
// host starts do not inherit the sockets.
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "BasePlatform/Transport.h"
#include "transport/Address.h"
#include "transport/CallbackGate.h"
#include "transport/Component.h"
#include "transport/EpollService.h"
#include "transport/PrivateSocket.h"
#include "transport/SocketWait.h"
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
// Datagrams the service thread reads for one event before the endpoint's
// next event waits its turn.
constexpr int kReceivesPerEvent = 16;
// How long a send waits for room in a full socket buffer.
constexpr int kSendWaitMs = 1000;

// One UDP endpoint.
class CUdpEndpoint {
 public:
  using Service = CEpollService;
  static std::shared_ptr<CEpollService> StartService(unsigned nThreads);

  CUdpEndpoint(std::shared_ptr<CEpollService> service, uint32_t hEndpoint,
               UdpEventCallbackFn pfnCallback)
      : m_service(std::move(service)),
        m_hEndpoint(hEndpoint),
        m_pfnCallback(pfnCallback),
        m_buffer(kReceiveBuffer) {}
  ~CUdpEndpoint() {
    if (m_fd >= 0) ::close(m_fd);
  }
  CUdpEndpoint(const CUdpEndpoint&) = delete;
  CUdpEndpoint& operator=(const CUdpEndpoint&) = delete;

  bool Bind(uint32_t localIP, uint16_t localPort);
  bool Start();
  bool SendTo(const void* data, uint32_t size, uint32_t destIP, uint16_t destPort);
  void Destroy();
  bool ClaimRead();
  bool PollRead(uint32_t spinUs, uint32_t waitUs);
  // One event of the socket, on the service thread.
  void Serve(uint32_t events);

 private:
  // Who reads the socket.
  enum class Reader { kNone, kService, kCaller };
  // What one receive gave: a datagram delivered, nothing to read, an error
  // that ends the endpoint, or the endpoint destroyed from the callback.
  enum class Got { kDatagram, kNothing, kEnd, kStopped };

  static bool IsPassingError(int e);
  void CloseLocked();
  // The reader's alone.
  Got ReceiveOnce();
  bool StillClaimed();
  void Release();
  bool Deliver(uint32_t kind, const void* data);

  const std::shared_ptr<CEpollService> m_service;
  const uint32_t m_hEndpoint;
  const UdpEventCallbackFn m_pfnCallback;
  CCallbackGate m_gate;

  std::mutex m_mu;  // guards every use of m_fd but the reader's reads, and the fields below
  int m_fd = -1;    // closed only by the reader, or by Destroy when it has none
  Reader m_reader = Reader::kNone;
  bool m_bClosed = false;  // destroyed, or its close reported
  bool m_bEnded = false;   // a caller met an error that ends the endpoint

  // The reader's alone.
  std::vector<uint8_t> m_buffer;
  int m_nErrorsInRow = 0;
};

bool CUdpEndpoint::Bind(uint32_t localIP, uint16_t localPort) {
  const SocketHandle s = OpenPrivateSocket(SocketKind::kUdp, /*nonBlocking=*/true);
  if (s == kNoSocket) return false;
  std::lock_guard<std::mutex> lock(m_mu);
  m_fd = s;
  const int one = 1;
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(localPort);
  sa.sin_addr.s_addr = htonl(localIP);
  return ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
         ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0 &&
         ::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool CUdpEndpoint::Start() {
  std::lock_guard<std::mutex> lock(m_mu);
  return !m_bClosed && m_service->Add(m_fd, m_hEndpoint, EPOLLIN);
}

bool CUdpEndpoint::SendTo(const void* data, uint32_t size, uint32_t destIP, uint16_t destPort) {
  if (data == nullptr && size != 0) return false;
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_bClosed) return false;
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(destPort);
  sa.sin_addr.s_addr = htonl(destIP);
  for (int tries = 0; tries < 2; ++tries) {
    const ssize_t n =
        ::sendto(m_fd, data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (n >= 0) return static_cast<size_t>(n) == size;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    // A full socket buffer: wait once for room, as a blocking send would.
    pollfd p = {m_fd, POLLOUT, 0};
    ::poll(&p, 1, kSendWaitMs);
  }
  return false;
}

void CUdpEndpoint::Destroy() {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_bClosed = true;
    if (m_reader == Reader::kNone) {
      CloseLocked();
    } else if (m_fd >= 0) {
      // Wakes a caller asleep on the socket; the reader closes it when done.
      ::shutdown(m_fd, SHUT_RDWR);
    }
  }
  m_gate.Close();
}

bool CUdpEndpoint::ClaimRead() {
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_bClosed || m_bEnded || m_reader != Reader::kNone || m_fd < 0 ||
      !m_service->Arm(m_fd, m_hEndpoint, 0)) {
    return false;
  }
  m_reader = Reader::kCaller;
  return true;
}

bool CUdpEndpoint::PollRead(uint32_t spinUs, uint32_t waitUs) {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_reader != Reader::kCaller) return false;
  }
  CSocketWait wait(m_fd, spinUs != 0 && m_service->SpinningPays() ? spinUs : 0, waitUs);
  Got got = Got::kNothing;
  do {
    got = ReceiveOnce();
  } while (got == Got::kNothing && StillClaimed() && wait.Next());
  if (got == Got::kEnd) {
    // The close is the service thread's to report: the shut socket makes
    // the set report it once it is armed again.
    std::lock_guard<std::mutex> lock(m_mu);
    m_bEnded = true;
    ::shutdown(m_fd, SHUT_RDWR);
  }
  Release();
  return got == Got::kDatagram;
}

bool CUdpEndpoint::StillClaimed() {
  std::lock_guard<std::mutex> lock(m_mu);
  return !m_bClosed;
}

void CUdpEndpoint::Serve(uint32_t /*events*/) {
  bool bEnded;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_reader != Reader::kNone || m_fd < 0) return;
    m_reader = Reader::kService;
    bEnded = m_bEnded;
  }
  Got got = bEnded ? Got::kEnd : Got::kNothing;
  for (int i = 0; i < kReceivesPerEvent && !bEnded; ++i) {
    got = ReceiveOnce();
    if (got != Got::kDatagram) break;
  }
  if (got == Got::kEnd) {
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_bClosed = true;
      CloseLocked();
    }
    Deliver(UDP_EVENT_CLOSED, nullptr);
  }
  Release();
}

bool CUdpEndpoint::IsPassingError(int e) {
  return e == ECONNREFUSED || e == ECONNRESET || e == EHOSTUNREACH || e == ENETUNREACH ||
         e == EMSGSIZE || e == ENOBUFS || e == EINTR;
}

CUdpEndpoint::Got CUdpEndpoint::ReceiveOnce() {
  for (;;) {
    sockaddr_in from;
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(m_fd, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n >= 0) {
      m_nErrorsInRow = 0;
      char text[kdl::util::kIPv4TextSize];
      kdl::util::FormatIPv4(ntohl(from.sin_addr.s_addr), text);
      const UdpDataEvent event = {m_buffer.data(), static_cast<uint32_t>(n), text,
                                  ntohs(from.sin_port)};
      return Deliver(UDP_EVENT_DATA, &event) ? Got::kDatagram : Got::kStopped;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Got::kNothing;
    if (!IsPassingError(errno) || ++m_nErrorsInRow >= kMaxErrorsInRow) return Got::kEnd;
  }
}

void CUdpEndpoint::CloseLocked() {
  if (m_fd < 0) return;
  ::close(m_fd);  // also takes it out of the set
  m_fd = -1;
}

// Lets go of the reads: the socket is armed again, or closed when the
// endpoint was destroyed or ended meanwhile.
void CUdpEndpoint::Release() {
  std::lock_guard<std::mutex> lock(m_mu);
  m_reader = Reader::kNone;
  if (m_fd < 0) return;
  if (m_bClosed) {
    CloseLocked();
    return;
  }
  m_service->Arm(m_fd, m_hEndpoint, EPOLLIN);
}

bool CUdpEndpoint::Deliver(uint32_t kind, const void* data) {
  return m_gate.Deliver(m_pfnCallback, kind, m_hEndpoint, data);
}

TComponent<CUdpEndpoint, UdpEventCallbackFn>& Udp() {
  // Never destroyed: endpoints may still be torn down while the process exits.
  static kdl::util::TNeverDestroyed<TComponent<CUdpEndpoint, UdpEventCallbackFn>> s_component;
  return s_component.Get(kUdpThreads);
}

std::shared_ptr<CEpollService> CUdpEndpoint::StartService(unsigned nThreads) {
  return CEpollService::Start(nThreads, [](uint32_t key, uint32_t events) {
    try {
      // A handle no longer in the table is destroyed: its socket is closed.
      if (std::shared_ptr<CUdpEndpoint> endpoint = Udp().Find(key)) endpoint->Serve(events);
    } catch (...) {
    }
  });
}

}  // namespace
}  // namespace kdl::transport

#include "transport/UdpExports.inc"
