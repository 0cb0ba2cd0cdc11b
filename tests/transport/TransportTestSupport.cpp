#include "tests/transport/TransportTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace transport_test {
namespace {

constexpr int kWaitMs = 20000;

std::mutex g_mu;
std::condition_variable g_cv;
std::vector<Event> g_events;
std::set<uint32_t> g_dead;
int g_nViolations = 0;
std::function<void(const Event&)> g_hook;

bool WaitReady(int fd, short what) {
  pollfd p = {fd, what, 0};
  return ::poll(&p, 1, kWaitMs) > 0;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

int BoundSocket(int type, uint16_t* port) {
  const int fd = ::socket(AF_INET, type, 0);
  sockaddr_in sa = Loopback(0);
  socklen_t len = sizeof sa;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

}  // namespace

void EventLog::Reset() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_events.clear();
  g_dead.clear();
  g_nViolations = 0;
  g_hook = nullptr;
}

void EventLog::SetHook(std::function<void(const Event&)> hook) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_hook = std::move(hook);
}

void EventLog::MarkDead(uint32_t handle) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_dead.insert(handle);
}

int EventLog::Violations() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_nViolations;
}

std::vector<Event> EventLog::Events(uint32_t handle) {
  std::lock_guard<std::mutex> lock(g_mu);
  std::vector<Event> out;
  for (const Event& e : g_events) {
    if (e.handle == handle) out.push_back(e);
  }
  return out;
}

bool EventLog::WaitForCount(uint32_t handle, size_t n) {
  std::unique_lock<std::mutex> lock(g_mu);
  return g_cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
    size_t count = 0;
    for (const Event& e : g_events) count += e.handle == handle;
    return count >= n;
  });
}

bool EventLog::WaitForKind(uint32_t handle, uint32_t kind) {
  std::unique_lock<std::mutex> lock(g_mu);
  return g_cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
    for (const Event& e : g_events) {
      if (e.handle == handle && e.kind == kind) return true;
    }
    return false;
  });
}

void EventLog::Record(Event e) {
  std::function<void(const Event&)> hook;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_dead.count(e.handle)) ++g_nViolations;
    g_events.push_back(e);
    hook = g_hook;
  }
  g_cv.notify_all();
  if (hook) hook(e);
}

namespace {

Event FromTcp(const TransportEventHead* head, const void* data, bool bOther) {
  Event e;
  e.other = bOther;
  e.kind = head->Kind;
  e.handle = head->Handle;
  if (head->Kind == TCP_EVENT_DATA) {
    const auto* d = static_cast<const TcpDataEvent*>(data);
    e.subKind = d->SubKind;
    e.bytes.assign(d->pData, d->pData + d->Size);
  }
  return e;
}

}  // namespace

void TcpCallback(const TransportEventHead* head, const void* data) {
  EventLog::Record(FromTcp(head, data, false));
}

void OtherTcpCallback(const TransportEventHead* head, const void* data) {
  EventLog::Record(FromTcp(head, data, true));
}

void UdpCallback(const TransportEventHead* head, const void* data) {
  Event e;
  e.kind = head->Kind;
  e.handle = head->Handle;
  if (head->Kind == UDP_EVENT_DATA) {
    const auto* d = static_cast<const UdpDataEvent*>(data);
    e.bytes.assign(d->pData, d->pData + d->Size);
    e.sender = d->pszSenderIP;
    e.port = d->SenderPort;
  }
  EventLog::Record(std::move(e));
}

std::vector<uint8_t> Packet(uint32_t length, uint8_t fill) {
  std::vector<uint8_t> p(length < 24 ? 24 : length, fill);
  for (int i = 0; i < 24; ++i) p[i] = 0;
  p[4] = 0x01;  // Type 1
  for (int i = 0; i < 4; ++i) p[8 + i] = uint8_t(length >> (8 * i));
  return p;
}

Listener::Listener(int backlog) {
  m_fd = BoundSocket(SOCK_STREAM, &m_port);
  if (m_fd >= 0) ::listen(m_fd, backlog);
}

Listener::~Listener() {
  if (m_fd >= 0) ::close(m_fd);
}

int Listener::Accept() {
  if (m_fd < 0 || !WaitReady(m_fd, POLLIN)) return -1;
  return ::accept(m_fd, nullptr, nullptr);
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    if (!WaitReady(fd, POLLOUT)) return false;
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool ReadExactly(int fd, size_t n, std::vector<uint8_t>* out) {
  out->resize(n);
  for (size_t done = 0; done < n;) {
    if (!WaitReady(fd, POLLIN)) return false;
    const ssize_t r = ::recv(fd, out->data() + done, n - done, 0);
    if (r <= 0) return false;
    done += size_t(r);
  }
  return true;
}

bool SeesClose(int fd) {
  char c;
  for (;;) {
    if (!WaitReady(fd, POLLIN)) return false;
    if (::recv(fd, &c, 1, 0) <= 0) return true;
  }
}

uint16_t ClosedPort() {
  uint16_t port = 0;
  const int fd = BoundSocket(SOCK_STREAM, &port);
  if (fd >= 0) ::close(fd);
  return port;
}

int UdpSocket(uint16_t* port) { return BoundSocket(SOCK_DGRAM, port); }

}  // namespace transport_test
