// CNetManager: the one object behind the nine exports. It owns the transport
// handles, the reply event, the result store that the host reads, and runs
// the requests of SendAskPack.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "BasePlatform/NetHandler2.h"
#include "client/KelvaneDll.h"
#include "platform/Platform.h"

namespace PacketZVDiskless {
class CPktToolLoginAck;
class CPktToolSelectImgAck;
class CPktToolQueryImgInfoListAck;
}  // namespace PacketZVDiskless

// How long a request waits for its reply.
constexpr uint32_t kReplyWaitMs = 3000;
// Where the discovery request goes.
constexpr const char* kDiscoverAddress = "255.255.255.255";
constexpr uint32_t kDiscoverPort = 800;

// Locking (always taken in this order):
//  - m_csLifeLock serialises StartServer and StopServer.
//  - m_csReqLock serialises the host's calls that use the reply event
//    (requests, StartServer, StopServer), so two requests never share one
//    event and one last error code, and the event is never released under a
//    waiting request.
//  - m_csLock guards the result store, m_bStarted transitions and the event
//    handle against the reply handlers on transport threads. A handler stores
//    and signals only while the manager is started, under this lock.
//  - Handles and flags that transport threads touch are atomics.
// The host's getters read the store without a lock, after their request.
class CNetManager : public CNetProtocolHandler {
 public:
  CNetManager();
  // The manager lives as long as the process; only tests destroy one.
  ~CNetManager();

  bool StartServer(KelvaneTcpClosedFn onTcpClosed);
  void StopServer();
  int SendAskPack(uint32_t type, void* param);

  Kelvane::ImageInfoList& GetListImageInfo() { return m_listImageInfo; }
  Kelvane::SnapInfoMap& GetMapSnapInfo() { return m_mapSnapInfo; }
  Kelvane::_IN_SELECTIMAGE_INFO& GetSelectImageInfo() { return m_SelectImageInfo; }
  Kelvane::_IN_DISCOVER_INFO& GetDiscoverInfo() { return m_DiscoverInfo; }
  Kelvane::_IN_CLIENT_INFO& GetClientInfo() { return m_ClientInfo; }
  int GetLastErrCode() const { return m_nLastErrCode.load(std::memory_order_acquire); }

  // Dotted text "a.b.c.d" of an IPv4 number (first octet most significant).
  static std::string IpToString(uint32_t ip);
  // IPv4 number of a dotted text: exactly four non-empty pieces, each read
  // like atol and cut to its low 8 bits; anything else gives 0.
  static uint32_t StringToIp(const char* text);
  // Writes the local IPv4 text into `out` (32 bytes) when one is found;
  // leaves `out` untouched otherwise.
  static void PickLocalAddress(char* out);

  // ---- state, for diagnostics and tests -----------------------------------
  uint32_t TcpLink() const { return m_hTcpLink.load(); }
  uint32_t UdpLink() const { return m_hUdpLink.load(); }
  bool IsStarted() const { return m_bStarted.load(); }
  bool IsTcpConnected() const { return m_bTcpConnected.load(); }
  const char* LocalIP() const { return m_szLocalIP; }

  // ---- event interface ----------------------------------------------------
  void OnTcpEvent1(uint32_t) override {}
  void OnTcpClosed(uint32_t link) override;
  void OnTcpEvent3(uint32_t, uint32_t) override {}
  void OnTcpEvent4(uint32_t) override {}
  void OnTcpEvent5(uint32_t) override {}
  void OnUdpEvent1(uint32_t) override {}
  void OnUdpClosed(uint32_t endpoint) override;
  void OnTcpRecvPacket(uint32_t link,
                       TCountedPtr<PacketZVDiskless::CPacketHead>& packet) override;
  void OnUdpRecvPacket(uint32_t endpoint, TCountedPtr<PacketZVDiskless::CPacketHead>& packet,
                       const char* senderIP, uint16_t senderPort) override;

 private:
  // Requests (called with m_csReqLock held and the manager started).
  int RunRequest(uint32_t type, void* param);
  // Reply code that request `askType` waits for; 0 for none.
  static uint32_t ReplyTypeOf(uint32_t askType);
  // True when a reply of `replyType` may set the result and end the wait:
  // no request waits, or the waiting one expects this type.
  bool AnswersCurrentRequest(uint32_t replyType) const;
  int DiscoverServer();
  int LoginServer(const void* param);
  int QueryImageList();
  int QueryImageInfo();
  int CreateImage(const void* param);
  int SelectImage(const void* param);
  int SetAdmin(const void* param);
  int CancelAdmin(const void* param);
  int SendHeartbeat();

  bool CreateUdpLink();
  bool ConnectTcp();
  void ResetReplyEvent();
  // Sets the last error code to 1, sends on the TCP link and waits for the
  // reply; logs `timeoutText` if none comes. Returns the last error code.
  int SendAndWait(PacketZVDiskless::CPacketHead& packet, const char* timeoutText);

  // Pack one packet into a zero-filled buffer of Size() bytes and send it.
  // Non-zero when the transport accepted it.
  static int SendTcp(const PacketZVDiskless::CPacketHead& packet, uint32_t link);
  static int SendUdpBroadcast(const PacketZVDiskless::CPacketHead& packet, uint32_t handle);

  // Reply handlers.
  void OnDiscoverAck(TCountedPtr<PacketZVDiskless::CPacketHead>& packet, const char* senderIP);
  void OnLoginAck(const PacketZVDiskless::CPktToolLoginAck& ack);
  void OnImageListAck(const PacketZVDiskless::CPktToolQueryImgInfoListAck& ack);
  void OnImageInfoAck(TCountedPtr<PacketZVDiskless::CPacketHead>& packet);
  void OnSelectImageAck(const PacketZVDiskless::CPktToolSelectImgAck& ack);
  void OnResultAck(const PacketZVDiskless::CPacketHead& ack);
  // Wakes the waiting request; call with m_csLock held.
  void SignalReplyLocked();

  kplat::Lock m_csLock;
  std::atomic<uint32_t> m_hTcpLink{kInvalidHandle};
  std::atomic<uint32_t> m_hUdpLink{kInvalidHandle};
  kplat::EventHandle m_hEvent = kplat::NoEvent();
  std::atomic<bool> m_bStarted{false};
  std::atomic<bool> m_bTcpConnected{false};
  std::atomic<int32_t> m_nLastErrCode{1};  // 1: no result yet
  // Reply type the request in flight waits for; 0 while none waits.
  std::atomic<uint32_t> m_nAwaitedReply{0};
  char m_szLocalIP[32] = {};
  Kelvane::_IN_CLIENT_INFO m_ClientInfo = {};
  Kelvane::_IN_DISCOVER_INFO m_DiscoverInfo = {};
  Kelvane::_IN_SELECTIMAGE_INFO m_SelectImageInfo = {};
  Kelvane::ImageInfoList m_listImageInfo;
  Kelvane::SnapInfoMap m_mapSnapInfo;
  std::atomic<KelvaneTcpClosedFn> m_pfnTcpClosed{nullptr};
  kplat::Lock m_csReqLock;
  kplat::Lock m_csLifeLock;
};

// The process-wide manager, created on first use under a lock; null only if
// it could not be allocated (a later call tries again).
CNetManager* GetNetManager();
