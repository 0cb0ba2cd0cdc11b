#include "bench/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "protocol/PacketBytes.h"
#include "protocol/PacketFactory.h"
#include "util/Text.h"
#include "protocol/ToolPackets.h"

namespace kdl::bench {

using namespace PacketZVDiskless;

namespace {

uint32_t Le32At(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Reads exactly n bytes; false on close or error. `flags` MSG_DONTWAIT
// polls: it reads again at once while nothing has come.
bool ReadAll(int fd, uint8_t* p, size_t n, int flags = 0) {
  while (n > 0) {
    ssize_t got = ::recv(fd, p, n, flags);
    if (got <= 0) {
      if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t put = ::send(fd, p, n, MSG_NOSIGNAL);
    if (put <= 0) {
      if (put < 0 && errno == EINTR) continue;
      return false;
    }
    p += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

bool Address(const char* ip, uint16_t port, sockaddr_in& out) {
  std::memset(&out, 0, sizeof(out));
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  return inet_pton(AF_INET, ip, &out.sin_addr) == 1;
}

}  // namespace

Bytes LoginRequest(const char* toolName) {
  CPktToolLogin p;
  kdl::util::CopyField(p.ToolName, toolName);
  return PacketBytes(p);
}

Bytes ImageListRequest() {
  CPktToolQueryImgList p;
  return PacketBytes(p);
}

Bytes LoginReply() {
  CPktToolLoginAck p;
  p.ClientType = 2;
  p.ManagerEnable = 1;
  return PacketBytes(p);
}

Bytes ImageListReply(uint32_t images, uint32_t serverIp, uint32_t serverPort) {
  CPktToolQueryImgInfoListAck p;
  p.ServerIP = serverIp;
  p.ServerPort = serverPort;
  p.Images.SetCount(images);
  for (uint32_t i = 0; i < images; ++i) {
    CPImageBaseInfor* r = p.Images.GetAt(i);
    r->ImageId = i + 1;
    char name[32];
    std::snprintf(name, sizeof(name), "image-%04u", i);
    kdl::util::CopyField(r->Name, name);
    r->Param1 = 1;
  }
  return PacketBytes(p);
}

Bytes DiscoverRequest() {
  CPktToolDiscover p;
  return PacketBytes(p);
}

Bytes DiscoverReply(uint16_t tcpPort) {
  CPktToolDiscoverAck p;
  p.m_Field.SetCount(1);
  p.m_Field.GetAt(0)->TcpPort = tcpPort;
  return PacketBytes(p);
}

// ---- server -------------------------------------------------------------------

LoopbackServer::LoopbackServer(uint32_t images, void (*onThreadStart)())
    : m_nImages(images), m_pfnThreadStart(onThreadStart) {}

LoopbackServer::~LoopbackServer() { Stop(); }

bool LoopbackServer::Start(const char* bindIp) {
  sockaddr_in addr;
  if (!Address(bindIp, 0, addr)) return false;
  m_hListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  socklen_t len = sizeof(addr);
  if (m_hListen < 0 || ::bind(m_hListen, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::listen(m_hListen, 16) != 0 ||
      ::getsockname(m_hListen, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::perror("loopback server");
    return false;
  }
  m_nTcpPort = ntohs(addr.sin_port);
  m_LoginReply = LoginReply();
  m_ImageListReply = ImageListReply(m_nImages, ntohl(addr.sin_addr.s_addr), m_nTcpPort);
  m_DiscoverReply = DiscoverReply(m_nTcpPort);
  m_AcceptThread = Spawn([this] { AcceptLoop(); });
  return true;
}

bool LoopbackServer::StartDiscovery(const char* device) {
  m_hUdp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr;
  Address("0.0.0.0", kDiscoverPort, addr);
  int one = 1;
  if (m_hUdp < 0 || setsockopt(m_hUdp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
      setsockopt(m_hUdp, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) != 0 ||
      setsockopt(m_hUdp, SOL_SOCKET, SO_BINDTODEVICE, device,
                 static_cast<socklen_t>(std::strlen(device))) != 0 ||
      ::bind(m_hUdp, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    std::perror("discovery responder");
    return false;
  }
  m_UdpThread = Spawn([this] { DiscoveryLoop(); });
  return true;
}

void LoopbackServer::Stop() {
  if (m_bStopping.exchange(true)) return;
  if (m_hListen >= 0) ::shutdown(m_hListen, SHUT_RDWR);
  if (m_hUdp >= 0) ::shutdown(m_hUdp, SHUT_RDWR);
  if (m_AcceptThread.joinable()) m_AcceptThread.join();
  if (m_UdpThread.joinable()) m_UdpThread.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> hold(m_Lock);
    for (int fd : m_Connections) ::shutdown(fd, SHUT_RDWR);
    workers.swap(m_Workers);
  }
  for (std::thread& t : workers) t.join();
  for (int fd : m_Connections) ::close(fd);
  m_Connections.clear();
  if (m_hListen >= 0) ::close(m_hListen);
  if (m_hUdp >= 0) ::close(m_hUdp);
  m_hListen = m_hUdp = -1;
}

void LoopbackServer::NoteThread() {
  const int tid = static_cast<int>(::syscall(SYS_gettid));
  std::lock_guard<std::mutex> hold(m_Lock);
  m_ThreadIds.push_back(tid);
}

bool LoopbackServer::PinThreads(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (cpu >= 0) {
    CPU_SET(cpu, &set);
  } else {
    for (int i = 0; i < CPU_SETSIZE; ++i) CPU_SET(i, &set);
  }
  std::lock_guard<std::mutex> hold(m_Lock);
  bool ok = true;
  for (int tid : m_ThreadIds) ok = ::sched_setaffinity(tid, sizeof(set), &set) == 0 && ok;
  return ok;
}

const Bytes* LoopbackServer::ReplyTo(uint32_t type) const {
  switch (type) {
    case CPktToolLogin::kCode:
      return &m_LoginReply;
    case CPktToolQueryImgList::kCode:
      return &m_ImageListReply;
    default:
      return nullptr;  // the keep-alive and anything else: no answer
  }
}

void LoopbackServer::AcceptLoop() {
  for (;;) {
    int fd = ::accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // shut down
    }
    NoDelay(fd);
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_bStopping) {
      ::close(fd);
      return;
    }
    m_Connections.push_back(fd);
    m_Workers.push_back(Spawn([this, fd] { Serve(fd); }));
  }
}

void LoopbackServer::Serve(int fd) {
  Bytes in(64 * 1024);
  for (;;) {
    if (!ReadAll(fd, in.data(), kPacketHeadSize)) return;
    const uint32_t type = Le32At(&in[4]);
    const uint32_t length = Le32At(&in[8]);
    if (length < kPacketHeadSize || length > in.size()) return;
    if (!ReadAll(fd, in.data() + kPacketHeadSize, length - kPacketHeadSize)) return;
    m_nRequests.fetch_add(1, std::memory_order_relaxed);
    const Bytes* reply = ReplyTo(type);
    if (reply != nullptr && !WriteAll(fd, reply->data(), reply->size())) return;
  }
}

void LoopbackServer::DiscoveryLoop() {
  uint8_t in[2048];
  for (;;) {
    sockaddr_in from;
    socklen_t len = sizeof(from);
    ssize_t got = ::recvfrom(m_hUdp, in, sizeof(in), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (got < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (m_bStopping) return;
    if (got < static_cast<ssize_t>(kPacketHeadSize) || Le32At(&in[4]) != CPktToolDiscover::kCode)
      continue;
    m_nDiscoveries.fetch_add(1, std::memory_order_relaxed);
    ::sendto(m_hUdp, m_DiscoverReply.data(), m_DiscoverReply.size(), 0,
             reinterpret_cast<sockaddr*>(&from), len);
  }
}

// ---- raw clients -----------------------------------------------------------------

RawTcpClient::~RawTcpClient() {
  if (m_hSocket >= 0) ::close(m_hSocket);
}

bool RawTcpClient::Connect(const char* localIp, const char* serverIp, uint16_t port) {
  sockaddr_in local, server;
  if (!Address(localIp, 0, local) || !Address(serverIp, port, server)) return false;
  m_hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_hSocket < 0 || ::bind(m_hSocket, reinterpret_cast<sockaddr*>(&local), sizeof(local)) ||
      ::connect(m_hSocket, reinterpret_cast<sockaddr*>(&server), sizeof(server)) != 0) {
    std::perror("raw tcp client");
    return false;
  }
  NoDelay(m_hSocket);
  m_Reply.resize(1024 * 1024);
  return true;
}

size_t RawTcpClient::RoundTrip(const Bytes& request, bool poll) {
  const int flags = poll ? MSG_DONTWAIT : 0;
  if (!WriteAll(m_hSocket, request.data(), request.size())) return 0;
  if (!ReadAll(m_hSocket, m_Reply.data(), kPacketHeadSize, flags)) return 0;
  const uint32_t length = Le32At(&m_Reply[8]);
  if (length < kPacketHeadSize || length > m_Reply.size()) return 0;
  if (!ReadAll(m_hSocket, m_Reply.data() + kPacketHeadSize, length - kPacketHeadSize, flags))
    return 0;
  return length;
}

RawUdpClient::~RawUdpClient() {
  if (m_hSocket >= 0) ::close(m_hSocket);
}

bool RawUdpClient::Open(const char* localIp) {
  sockaddr_in local;
  if (!Address(localIp, 0, local)) return false;
  m_hSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int one = 1;
  timeval wait = {3, 0};
  if (m_hSocket < 0 || setsockopt(m_hSocket, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) ||
      setsockopt(m_hSocket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait)) ||
      ::bind(m_hSocket, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    std::perror("raw udp client");
    return false;
  }
  return true;
}

size_t RawUdpClient::RoundTrip(const Bytes& request, bool poll) {
  sockaddr_in to;
  Address("255.255.255.255", kDiscoverPort, to);
  if (::sendto(m_hSocket, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof(to)) != static_cast<ssize_t>(request.size()))
    return 0;
  ssize_t got = -1;
  if (!poll) {
    got = ::recv(m_hSocket, m_Reply.data(), m_Reply.size(), 0);
  } else {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    do {
      got = ::recv(m_hSocket, m_Reply.data(), m_Reply.size(), MSG_DONTWAIT);
    } while (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) &&
             std::chrono::steady_clock::now() < end);
  }
  return got > 0 ? static_cast<size_t>(got) : 0;
}

}  // namespace kdl::bench
