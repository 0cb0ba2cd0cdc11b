#include "tests/client/FakeTransport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace kdl::test::fake {

namespace {

std::string Hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", v);
  return text;
}

bool Contains(const std::vector<uint32_t>& v, uint32_t h) {
  return std::find(v.begin(), v.end(), h) != v.end();
}

void Erase(std::vector<uint32_t>& v, uint32_t h) { v.erase(std::remove(v.begin(), v.end(), h), v.end()); }

}  // namespace

uint32_t PacketType(const Bytes& bytes) {
  if (bytes.size() < 8) return 0;
  return uint32_t(bytes[4]) | uint32_t(bytes[5]) << 8 | uint32_t(bytes[6]) << 16 |
         uint32_t(bytes[7]) << 24;
}

FakeTransport& FakeTransport::Get() {
  static FakeTransport* instance = new FakeTransport();  // outlives every thread
  return *instance;
}

void FakeTransport::WaitIdle() {
  for (;;) {
    std::vector<std::thread> threads;
    {
      std::unique_lock<std::mutex> lock(m_mu);
      m_idle.wait(lock, [this] { return m_running == 0; });
      threads.swap(m_threads);
    }
    if (threads.empty()) return;
    for (std::thread& t : threads) t.join();
  }
}

void FakeTransport::Reset() {
  WaitIdle();
  std::lock_guard<std::mutex> lock(m_mu);
  m_journal = Journal();
  m_rules.clear();
  m_tcpCallback = nullptr;
  m_udpCallback = nullptr;
  m_failTcpCreate = m_failUdpCreate = false;
  m_failTcpInit = m_failUdpInit = false;
  m_refuseConnect = m_refuseTcpSend = m_refuseUdpSend = false;
  m_nextTcp = 1;
  m_nextUdp = 101;
  m_linkAddr = m_linkPort = 0;
  m_liveTcp.clear();
  m_liveUdp.clear();
  m_shutTcp.clear();
}

void FakeTransport::Spawn(int delayMs, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(m_mu);
  ++m_running;
  m_threads.emplace_back([this, delayMs, fn = std::move(fn)] {
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    fn();
    std::lock_guard<std::mutex> hold(m_mu);
    if (--m_running == 0) m_idle.notify_all();
  });
}

void FakeTransport::Note(const std::string& entry) {
  std::lock_guard<std::mutex> lock(m_mu);
  m_journal.timeline.push_back(entry);
}

void FakeTransport::SendTcpEvent(uint32_t kind, uint32_t link, const void* data) {
  TcpEventCallbackFn cb = TcpCallback();
  if (!cb) return;
  TransportEventHead head{kind, link};
  cb(&head, data);
}

void FakeTransport::SendUdpEvent(uint32_t kind, uint32_t endpoint, const void* data) {
  UdpEventCallbackFn cb = UdpCallback();
  if (!cb) return;
  TransportEventHead head{kind, endpoint};
  cb(&head, data);
}

// ---- settings ------------------------------------------------------------------

void FakeTransport::SetFailTcpCreate(bool v) { std::lock_guard<std::mutex> l(m_mu); m_failTcpCreate = v; }
void FakeTransport::SetFailUdpCreate(bool v) { std::lock_guard<std::mutex> l(m_mu); m_failUdpCreate = v; }
void FakeTransport::SetFailInit(bool tcp, bool udp) {
  std::lock_guard<std::mutex> l(m_mu);
  m_failTcpInit = tcp;
  m_failUdpInit = udp;
}
void FakeTransport::SetRefuseConnect(bool v) { std::lock_guard<std::mutex> l(m_mu); m_refuseConnect = v; }
void FakeTransport::SetRefuseTcpSend(bool v) { std::lock_guard<std::mutex> l(m_mu); m_refuseTcpSend = v; }
void FakeTransport::SetRefuseUdpSend(bool v) { std::lock_guard<std::mutex> l(m_mu); m_refuseUdpSend = v; }
void FakeTransport::SetNextTcpHandle(uint32_t h) { std::lock_guard<std::mutex> l(m_mu); m_nextTcp = h; }
void FakeTransport::SetNextUdpHandle(uint32_t h) { std::lock_guard<std::mutex> l(m_mu); m_nextUdp = h; }
void FakeTransport::SetLinkAddr(uint32_t address, uint32_t port) {
  std::lock_guard<std::mutex> l(m_mu);
  m_linkAddr = address;
  m_linkPort = port;
}

void FakeTransport::ReplyOnTcp(uint32_t type, Bytes reply, int delayMs, int times) {
  std::lock_guard<std::mutex> l(m_mu);
  Rule r;
  r.type = type;
  r.reply = std::move(reply);
  r.delayMs = delayMs;
  r.times = times;
  m_rules.push_back(std::move(r));
}

void FakeTransport::ReplyOnUdp(uint32_t type, Bytes reply, std::string senderIP,
                               uint16_t senderPort, int delayMs, int times) {
  std::lock_guard<std::mutex> l(m_mu);
  Rule r;
  r.udp = true;
  r.type = type;
  r.reply = std::move(reply);
  r.senderIP = std::move(senderIP);
  r.senderPort = senderPort;
  r.delayMs = delayMs;
  r.times = times;
  m_rules.push_back(std::move(r));
}

// ---- injected events --------------------------------------------------------------

void FakeTransport::DeliverTcpPacket(uint32_t link, Bytes bytes, int delayMs) {
  Spawn(delayMs, [this, link, bytes = std::move(bytes)] {
    Note("reply " + Hex8(PacketType(bytes)));
    TcpDataEvent ev{TCP_DATA_SUBKIND_PACKET, bytes.data(), static_cast<uint32_t>(bytes.size())};
    SendTcpEvent(TCP_EVENT_DATA, link, &ev);
  });
}

void FakeTransport::DeliverTcpClosed(uint32_t link, int delayMs) {
  Spawn(delayMs, [this, link] {
    Note("close " + std::to_string(link));
    SendTcpEvent(TCP_EVENT_CLOSED, link, nullptr);
  });
}

void FakeTransport::DeliverUdpPacket(uint32_t endpoint, Bytes bytes, std::string senderIP,
                                     uint16_t senderPort, int delayMs) {
  Spawn(delayMs, [this, endpoint, bytes = std::move(bytes), senderIP = std::move(senderIP),
                  senderPort] {
    Note("reply " + Hex8(PacketType(bytes)));
    UdpDataEvent ev{bytes.data(), static_cast<uint32_t>(bytes.size()), senderIP.c_str(),
                    senderPort};
    SendUdpEvent(UDP_EVENT_DATA, endpoint, &ev);
  });
}

void FakeTransport::DeliverUdpClosed(uint32_t endpoint, int delayMs) {
  Spawn(delayMs, [this, endpoint] {
    Note("udpclose " + std::to_string(endpoint));
    SendUdpEvent(UDP_EVENT_CLOSED, endpoint, nullptr);
  });
}

Journal FakeTransport::Snapshot() {
  std::lock_guard<std::mutex> l(m_mu);
  return m_journal;
}

TcpEventCallbackFn FakeTransport::TcpCallback() {
  std::lock_guard<std::mutex> l(m_mu);
  return m_tcpCallback;
}

UdpEventCallbackFn FakeTransport::UdpCallback() {
  std::lock_guard<std::mutex> l(m_mu);
  return m_udpCallback;
}

// ---- the transport functions ------------------------------------------------------

uint32_t FakeTransport::OnTcpInit(TcpEventCallbackFn cb) {
  std::lock_guard<std::mutex> l(m_mu);
  ++m_journal.tcpInit;
  if (m_failTcpInit) return 0;
  m_tcpCallback = cb;
  return 1;
}

uint32_t FakeTransport::OnTcpCreate(TcpEventCallbackFn cb, const char* localIP,
                                    uint32_t reserved) {
  std::lock_guard<std::mutex> l(m_mu);
  uint32_t h = m_failTcpCreate ? kInvalidHandle : m_nextTcp++;
  m_journal.tcpCreated.push_back({h, localIP ? localIP : "", reserved, 0});
  if (h != kInvalidHandle) {
    m_tcpCallback = cb;
    m_liveTcp.push_back(h);
  }
  return h;
}

uint32_t FakeTransport::OnTcpConnect(uint32_t link, const char* ip, uint32_t port) {
  std::lock_guard<std::mutex> l(m_mu);
  m_journal.connects.push_back({link, ip ? ip : "", port});
  return (!m_refuseConnect && Contains(m_liveTcp, link)) ? 1 : 0;
}

uint32_t FakeTransport::OnTcpSend(uint32_t link, const void* data, uint32_t size,
                                  uint32_t flags) {
  Bytes bytes(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  const uint32_t type = PacketType(bytes);
  Rule match;
  bool found = false;
  {
    std::lock_guard<std::mutex> l(m_mu);
    m_journal.tcpSent.push_back({link, bytes, flags, "", 0});
    if (m_refuseTcpSend || !Contains(m_liveTcp, link) || Contains(m_shutTcp, link)) return 0;
    m_journal.timeline.push_back("send " + Hex8(type));
    for (Rule& r : m_rules) {
      if (r.udp || r.type != type || r.times == 0) continue;
      if (r.times > 0) --r.times;
      match = r;
      found = true;
      break;
    }
  }
  if (found) DeliverTcpPacket(link, match.reply, match.delayMs);
  return 1;
}

uint32_t FakeTransport::OnTcpGetLinkAddr(uint32_t, uint32_t selector, uint32_t* address,
                                         uint32_t* port) {
  std::lock_guard<std::mutex> l(m_mu);
  ++m_journal.getLinkAddr;
  if (selector != 2) return 0;
  if (address) *address = m_linkAddr;
  if (port) *port = m_linkPort;
  return 1;
}

uint32_t FakeTransport::OnTcpDestroy(uint32_t link) {
  std::lock_guard<std::mutex> l(m_mu);
  m_journal.tcpDestroyed.push_back(link);
  Erase(m_liveTcp, link);
  return 1;
}

uint32_t FakeTransport::OnTcpShutdown(uint32_t link) {
  {
    std::lock_guard<std::mutex> l(m_mu);
    if (!Contains(m_liveTcp, link) || Contains(m_shutTcp, link)) return 0;
    m_shutTcp.push_back(link);
  }
  DeliverTcpClosed(link);
  return 1;
}

uint32_t FakeTransport::OnTcpUninit() {
  std::lock_guard<std::mutex> l(m_mu);
  ++m_journal.tcpUninit;
  return 1;
}

uint32_t FakeTransport::OnUdpInit(UdpEventCallbackFn cb) {
  std::lock_guard<std::mutex> l(m_mu);
  ++m_journal.udpInit;
  if (m_failUdpInit) return 0;
  m_udpCallback = cb;
  return 1;
}

uint32_t FakeTransport::OnUdpCreate(UdpEventCallbackFn cb, const char* localIP,
                                    uint32_t localPort, uint32_t reserved) {
  std::lock_guard<std::mutex> l(m_mu);
  uint32_t h = m_failUdpCreate ? kInvalidHandle : m_nextUdp++;
  m_journal.udpCreated.push_back({h, localIP ? localIP : "", localPort, reserved});
  if (h != kInvalidHandle) {
    m_udpCallback = cb;
    m_liveUdp.push_back(h);
  }
  return h;
}

uint32_t FakeTransport::OnUdpSendTo(uint32_t endpoint, const void* data, uint32_t size,
                                    uint32_t flags, const char* destIP, uint32_t destPort) {
  Bytes bytes(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  const uint32_t type = PacketType(bytes);
  Rule match;
  bool found = false;
  {
    std::lock_guard<std::mutex> l(m_mu);
    m_journal.udpSent.push_back({endpoint, bytes, flags, destIP ? destIP : "", destPort});
    if (m_refuseUdpSend || !Contains(m_liveUdp, endpoint)) return 0;
    m_journal.timeline.push_back("send " + Hex8(type));
    for (Rule& r : m_rules) {
      if (!r.udp || r.type != type || r.times == 0) continue;
      if (r.times > 0) --r.times;
      match = r;
      found = true;
      break;
    }
  }
  if (found)
    DeliverUdpPacket(endpoint, match.reply, match.senderIP, match.senderPort, match.delayMs);
  return 1;
}

uint32_t FakeTransport::OnUdpDestroy(uint32_t endpoint) {
  std::lock_guard<std::mutex> l(m_mu);
  m_journal.udpDestroyed.push_back(endpoint);
  Erase(m_liveUdp, endpoint);
  return 1;
}

uint32_t FakeTransport::OnUdpUninit() {
  std::lock_guard<std::mutex> l(m_mu);
  ++m_journal.udpUninit;
  return 1;
}

}  // namespace kdl::test::fake

// ---- the functions of Transport.h ----------------------------------------------------

uint32_t TcpInit(TcpEventCallbackFn callback) { return kdl::test::fake::FakeTransport::Get().OnTcpInit(callback); }
uint32_t TcpCreate(TcpEventCallbackFn callback, const char* localIP, uint32_t reserved) {
  return kdl::test::fake::FakeTransport::Get().OnTcpCreate(callback, localIP, reserved);
}
uint32_t TcpConnect(uint32_t link, const char* serverIP, uint32_t port) {
  return kdl::test::fake::FakeTransport::Get().OnTcpConnect(link, serverIP, port);
}
uint32_t TcpSend(uint32_t link, const void* data, uint32_t size, uint32_t flags) {
  return kdl::test::fake::FakeTransport::Get().OnTcpSend(link, data, size, flags);
}
uint32_t TcpGetLinkAddr(uint32_t link, uint32_t selector, uint32_t* address, uint32_t* port) {
  return kdl::test::fake::FakeTransport::Get().OnTcpGetLinkAddr(link, selector, address, port);
}
uint32_t TcpDestroy(uint32_t link) { return kdl::test::fake::FakeTransport::Get().OnTcpDestroy(link); }
uint32_t TcpShutdown(uint32_t link) { return kdl::test::fake::FakeTransport::Get().OnTcpShutdown(link); }
uint32_t TcpUninit() { return kdl::test::fake::FakeTransport::Get().OnTcpUninit(); }
uint32_t UdpInit(UdpEventCallbackFn callback) { return kdl::test::fake::FakeTransport::Get().OnUdpInit(callback); }
uint32_t UdpCreate(UdpEventCallbackFn callback, const char* localIP, uint32_t localPort,
                   uint32_t reserved) {
  return kdl::test::fake::FakeTransport::Get().OnUdpCreate(callback, localIP, localPort, reserved);
}
uint32_t UdpSendTo(uint32_t endpoint, const void* data, uint32_t size, uint32_t flags,
                   const char* destIP, uint32_t destPort) {
  return kdl::test::fake::FakeTransport::Get().OnUdpSendTo(endpoint, data, size, flags, destIP, destPort);
}
uint32_t UdpDestroy(uint32_t endpoint) { return kdl::test::fake::FakeTransport::Get().OnUdpDestroy(endpoint); }
uint32_t UdpUninit() { return kdl::test::fake::FakeTransport::Get().OnUdpUninit(); }
// Reads stay with the double's threads: every claim is refused.
uint32_t TcpClaimRead(uint32_t) { return 0; }
uint32_t TcpPollRead(uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t UdpClaimRead(uint32_t) { return 0; }
uint32_t UdpPollRead(uint32_t, uint32_t, uint32_t) { return 0; }
