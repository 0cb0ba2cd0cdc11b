#include "tests/transport/TransportTestSupport.h"

#ifndef _WIN32
#include <poll.h>
#endif

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

namespace kdl::test {
namespace {

constexpr int kWaitMs = 20000;

std::mutex g_mu;
std::condition_variable g_cv;
std::vector<Event> g_events;
std::set<uint32_t> g_dead;
int g_nViolations = 0;
std::function<void(const Event&)> g_hook;

bool WaitFor(const std::function<bool(const Event&)>& match, size_t n) {
  std::unique_lock<std::mutex> lock(g_mu);
  return g_cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
    size_t count = 0;
    for (const Event& e : g_events) count += match(e);
    return count >= n;
  });
}

void Record(Event e) {
  std::function<void(const Event&)> hook;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_nViolations += int(g_dead.count(e.handle));
    g_events.push_back(e);
    hook = g_hook;
  }
  g_cv.notify_all();
  if (hook) hook(e);
}

Event FromTcp(const TransportEventHead* head, const void* data, bool bOther) {
  Event e;
  e.kind = head->Kind, e.handle = head->Handle, e.other = bOther;
  if (head->Kind == TCP_EVENT_DATA) {
    const auto* d = static_cast<const TcpDataEvent*>(data);
    e.subKind = d->SubKind;
    e.bytes.assign(d->pData, d->pData + d->Size);
  }
  return e;
}

#ifdef _WIN32
constexpr int MSG_NOSIGNAL = 0;  // Winsock raises no signal

// Plain sockets may be made before the transport has started Winsock.
struct WinsockUser {
  WinsockUser() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
} g_winsock;

bool Ready(int fd, short what) {
  WSAPOLLFD p = {static_cast<SOCKET>(fd), what, 0};
  return ::WSAPoll(&p, 1, kWaitMs) > 0;
}
#else
bool Ready(int fd, short what) {
  pollfd p = {fd, what, 0};
  return ::poll(&p, 1, kWaitMs) > 0;
}
#endif

}  // namespace

namespace kdl::test::events {
void Reset() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_events.clear(), g_dead.clear(), g_nViolations = 0, g_hook = nullptr;
}
void SetHook(std::function<void(const Event&)> hook) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_hook = std::move(hook);
}
void MarkDead(uint32_t handle) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_dead.insert(handle);
}
int Violations() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_nViolations;
}
std::vector<Event> Of(uint32_t handle) {
  std::lock_guard<std::mutex> lock(g_mu);
  std::vector<Event> out;
  for (const Event& e : g_events) {
    if (e.handle == handle) out.push_back(e);
  }
  return out;
}
std::vector<uint32_t> KindsOf(uint32_t handle) {
  std::vector<uint32_t> kinds;
  for (const Event& e : Of(handle)) kinds.push_back(e.kind);
  return kinds;
}
bool WaitCount(uint32_t handle, size_t n) {
  return WaitFor([&](const Event& e) { return e.handle == handle; }, n);
}
bool WaitKind(uint32_t handle, uint32_t kind) {
  return WaitFor([&](const Event& e) { return e.handle == handle && e.kind == kind; }, 1);
}
}  // namespace kdl::test::events

void TcpCallback(const TransportEventHead* head, const void* data) {
  Record(FromTcp(head, data, false));
}

void OtherTcpCallback(const TransportEventHead* head, const void* data) {
  Record(FromTcp(head, data, true));
}

void UdpCallback(const TransportEventHead* head, const void* data) {
  Event e;
  e.kind = head->Kind, e.handle = head->Handle;
  if (head->Kind == UDP_EVENT_DATA) {
    const auto* d = static_cast<const UdpDataEvent*>(data);
    e.bytes.assign(d->pData, d->pData + d->Size);
    e.sender = d->pszSenderIP, e.port = d->SenderPort;
  }
  Record(std::move(e));
}

std::vector<uint8_t> Packet(uint32_t length, uint8_t fill) {
  std::vector<uint8_t> p(length < 24 || length > (1u << 24) ? 24 : length, fill);
  std::fill(p.begin(), p.begin() + 24, 0);
  p[4] = 0x01;
  for (int i = 0; i < 4; ++i) p[8 + i] = uint8_t(length >> (8 * i));
  return p;
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

int LoopbackSocket(int type, uint16_t* port, int backlog) {
  const int fd = static_cast<int>(::socket(AF_INET, type, 0));
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
      (backlog >= 0 && ::listen(fd, backlog) != 0)) {
    if (fd >= 0) CloseSocket(fd);
    return -1;
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

int Accept(int listener) {
  return Ready(listener, POLLIN) ? static_cast<int>(::accept(listener, nullptr, nullptr)) : -1;
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const char* from = reinterpret_cast<const char*>(bytes.data()) + done;
    const ssize_t n = Ready(fd, POLLOUT) ? ::send(fd, from, bytes.size() - done, MSG_NOSIGNAL) : -1;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool ReadExactly(int fd, size_t n, std::vector<uint8_t>* out) {
  out->resize(n);
  for (size_t done = 0; done < n;) {
    char* to = reinterpret_cast<char*>(out->data()) + done;
    const ssize_t r = Ready(fd, POLLIN) ? ::recv(fd, to, n - done, 0) : -1;
    if (r <= 0) return false;
    done += size_t(r);
  }
  return true;
}

bool SeesClose(int fd) {
  char c;
  while (Ready(fd, POLLIN)) {
    if (::recv(fd, &c, 1, 0) <= 0) return true;
  }
  return false;
}

#ifdef _WIN32
void CloseSocket(int fd) { ::closesocket(static_cast<SOCKET>(fd)); }
void ShutdownSend(int fd) { ::shutdown(static_cast<SOCKET>(fd), SD_SEND); }

int NonBlockingTcpSocket() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  u_long on = 1;
  if (s != INVALID_SOCKET) ::ioctlsocket(s, FIONBIO, &on);
  return static_cast<int>(s);
}
#else
void CloseSocket(int fd) { ::close(fd); }
void ShutdownSend(int fd) { ::shutdown(fd, SHUT_WR); }
int NonBlockingTcpSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0); }
#endif

void CloseWithReset(int fd) {
  const linger l = {1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  CloseSocket(fd);
}

}  // namespace kdl::test
