// A transport double for the client tests: implements every function of
// BasePlatform/Transport.h in memory. It records what the library asks for,
// fails on request, and delivers events (replies, closes) through the
// callbacks the library registered, from threads of its own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BasePlatform/Transport.h"

namespace kdl::test::fake {

using Bytes = std::vector<uint8_t>;

// One TcpSend or UdpSendTo call.
struct SentPacket {
  uint32_t handle = 0;
  Bytes bytes;
  uint32_t flags = 0;
  std::string destIP;     // UDP only
  uint32_t destPort = 0;  // UDP only
};

// One TcpConnect call.
struct ConnectCall {
  uint32_t link = 0;
  std::string ip;
  uint32_t port = 0;
};

// One TcpCreate or UdpCreate call.
struct CreateCall {
  uint32_t handle = 0;  // what was returned
  std::string localIP;
  uint32_t arg1 = 0;    // TcpCreate: reserved; UdpCreate: local port
  uint32_t arg2 = 0;    // UdpCreate: reserved
};

// What the double has seen, in order.
struct Journal {
  std::vector<CreateCall> tcpCreated, udpCreated;
  std::vector<uint32_t> tcpDestroyed, udpDestroyed;
  std::vector<ConnectCall> connects;
  std::vector<SentPacket> tcpSent, udpSent;
  std::vector<std::string> timeline;  // "send 00020001", "reply 80020001", ...
  int tcpInit = 0, udpInit = 0, tcpUninit = 0, udpUninit = 0;
  int getLinkAddr = 0;
};

class FakeTransport {
 public:
  static FakeTransport& Get();

  // Waits for every pending delivery, then forgets all records, rules and
  // settings. Call at the start and end of each test.
  void Reset();
  // Waits until no delivery is pending or running (also ones that other
  // deliveries started).
  void WaitIdle();

  // ---- settings ------------------------------------------------------------
  void SetFailTcpCreate(bool v);
  void SetFailUdpCreate(bool v);
  // TcpInit / UdpInit fail (return 0) while set.
  void SetFailInit(bool tcp, bool udp);
  void SetRefuseConnect(bool v);
  void SetRefuseTcpSend(bool v);
  void SetRefuseUdpSend(bool v);
  // Handles that the next TcpCreate / UdpCreate return (then counting up).
  void SetNextTcpHandle(uint32_t h);
  void SetNextUdpHandle(uint32_t h);
  // What TcpGetLinkAddr reports for any link.
  void SetLinkAddr(uint32_t address, uint32_t port);

  // ---- automatic replies ---------------------------------------------------
  // When a packet of `type` goes out by TcpSend, deliver `reply` on the same
  // link after `delayMs`, on a thread of the double. `times` < 0: always.
  void ReplyOnTcp(uint32_t type, Bytes reply, int delayMs = 0, int times = 1);
  // When a packet of `type` goes out by UdpSendTo, deliver `reply` as a
  // datagram from senderIP:senderPort on the same endpoint after `delayMs`.
  void ReplyOnUdp(uint32_t type, Bytes reply, std::string senderIP, uint16_t senderPort,
                  int delayMs = 0, int times = 1);

  // ---- injected events (on a new thread of the double) ---------------------
  void DeliverTcpPacket(uint32_t link, Bytes bytes, int delayMs = 0);
  void DeliverTcpClosed(uint32_t link, int delayMs = 0);
  void DeliverUdpPacket(uint32_t endpoint, Bytes bytes, std::string senderIP,
                        uint16_t senderPort, int delayMs = 0);
  void DeliverUdpClosed(uint32_t endpoint, int delayMs = 0);

  // ---- records ---------------------------------------------------------------
  Journal Snapshot();
  // The callbacks the library registered last (TcpInit/TcpCreate, UdpInit/UdpCreate).
  TcpEventCallbackFn TcpCallback();
  UdpEventCallbackFn UdpCallback();

  // ---- called by the transport functions -----------------------------------
  uint32_t OnTcpInit(TcpEventCallbackFn cb);
  uint32_t OnTcpCreate(TcpEventCallbackFn cb, const char* localIP, uint32_t reserved);
  uint32_t OnTcpConnect(uint32_t link, const char* ip, uint32_t port);
  uint32_t OnTcpSend(uint32_t link, const void* data, uint32_t size, uint32_t flags);
  uint32_t OnTcpGetLinkAddr(uint32_t link, uint32_t selector, uint32_t* address, uint32_t* port);
  uint32_t OnTcpDestroy(uint32_t link);
  // Refuses sends on the link from now on and reports it closed.
  uint32_t OnTcpShutdown(uint32_t link);
  uint32_t OnTcpUninit();
  uint32_t OnUdpInit(UdpEventCallbackFn cb);
  uint32_t OnUdpCreate(UdpEventCallbackFn cb, const char* localIP, uint32_t localPort,
                       uint32_t reserved);
  uint32_t OnUdpSendTo(uint32_t endpoint, const void* data, uint32_t size, uint32_t flags,
                       const char* destIP, uint32_t destPort);
  uint32_t OnUdpDestroy(uint32_t endpoint);
  uint32_t OnUdpUninit();

 private:
  struct Rule {
    bool udp = false;
    uint32_t type = 0;
    Bytes reply;
    std::string senderIP;
    uint16_t senderPort = 0;
    int delayMs = 0;
    int times = 1;
  };

  FakeTransport() = default;
  // Runs `fn` after `delayMs` on a new thread that WaitIdle() waits for.
  void Spawn(int delayMs, std::function<void()> fn);
  void SendTcpEvent(uint32_t kind, uint32_t link, const void* data);
  void SendUdpEvent(uint32_t kind, uint32_t endpoint, const void* data);
  void Note(const std::string& entry);

  std::mutex m_mu;
  std::condition_variable m_idle;
  std::vector<std::thread> m_threads;
  int m_running = 0;

  Journal m_journal;
  std::vector<Rule> m_rules;
  TcpEventCallbackFn m_tcpCallback = nullptr;
  UdpEventCallbackFn m_udpCallback = nullptr;
  bool m_failTcpCreate = false, m_failUdpCreate = false;
  bool m_failTcpInit = false, m_failUdpInit = false;
  bool m_refuseConnect = false, m_refuseTcpSend = false, m_refuseUdpSend = false;
  uint32_t m_nextTcp = 1, m_nextUdp = 101;
  uint32_t m_linkAddr = 0, m_linkPort = 0;
  std::vector<uint32_t> m_liveTcp, m_liveUdp;
  std::vector<uint32_t> m_shutTcp;  // live links that TcpShutdown ended
};

// Type code (bytes 4..7, little-endian) of a packed packet; 0 if too short.
uint32_t PacketType(const Bytes& bytes);

}  // namespace kdl::test::fake
