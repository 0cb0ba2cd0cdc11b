// CNetManager: the one object behind the nine exports. It owns the transport
// handles, the reply event, the result store that the host reads, and runs
// the requests of SendAskPack.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>

#include "BasePlatform/NetHandler2.h"
#include "client/KelvaneDll.h"
#include "client/LogTexts.h"
#if defined(KELVANE_MSVC_LAYOUT)
#include "client/MsvcLayout.h"
#endif
#include "client/OwedReplies.h"
#include "platform/Platform.h"
#include "protocol/ToolPackets.h"

// How long a request watches for its reply on the CPU before it sleeps (not
// where it shares one CPU with the transport's threads). A reply over a local
// network comes within it and wakes no one; a reply that never comes costs
// this much CPU, then nothing.
constexpr uint32_t kReplySpinUs = 100;
// How long a request reads its own link on its thread, the spin included,
// before it leaves the reply to the transport's threads and sleeps on the
// reply event for the rest of its kReplyWaitMs.
constexpr uint32_t kReplyReadMs = 50;
// Where the discovery request goes (the port is PacketZVDiskless::kDiscoverPort).
constexpr const char* kDiscoverAddress = "255.255.255.255";

// Threads and locks:
//  - Lifecycle: m_nLife (under m_muLife) says whether the manager is stopped,
//    started or being stopped. StopServer holds no lock while it destroys the
//    links and lets the transport threads end, so a host callback that calls
//    StopServer or StartServer on such a thread never waits for a lock held
//    across that wait; called there while a stop is in progress, they return
//    at once (the stop in progress finishes the job).
//  - m_csReqLock serialises the host's requests, so two requests never share
//    the reply event and the last error code. StopServer waits for it only
//    after waking the request in flight.
//  - m_csLock guards the result store, the awaited reply and m_bStarted
//    transitions against the reply handlers on transport threads.
//  - Exactly one reply changes the store per request: the first one of the
//    type the request in flight awaits that is not owed to an earlier
//    request (m_owed). Any other reply is dropped, so the store changes only
//    while the host is inside SendAskPack or StopServer.
//  - A TCP request that times out leaves its link owing a reply of its type.
//    One that was sent while its link still owed a reply of its type and
//    times out too cannot tell its own reply from the earlier one (or that
//    one may never come): the link is forgotten, marked closing
//    (m_hClosingLink) and shut down (TcpShutdown). Its close event then
//    comes on a transport thread like any other, and OnTcpClosed destroys
//    it and calls the host's close callback there: the library never calls
//    the host's callback on the host's own thread inside SendAskPack.
//  - Handles and flags that transport threads touch are atomics.
//  - The end of a request's wait is published as its number in
//    m_nWokenRequest, after m_csLock is released, so the request then takes
//    the lock uncontended and finds the outcome in place.
//  - Where the transport lets it (TcpClaimRead, UdpClaimRead), a request
//    reads its own link on its thread while it waits (spinning, then asleep
//    on the socket, kReplyReadMs in all): its reply is decoded and stored on
//    the request's thread through the same handlers, and no transport
//    thread is woken for it. A close and everything else the link reports
//    still comes on a transport thread. Where the transport refuses, the
//    request watches m_nWokenRequest for kReplySpinUs. Either way it then
//    sleeps on the event for the rest of its kReplyWaitMs.
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
  // like atol and cut to its low 8 bits (kdl::util::IPv4Rules::kAtol);
  // anything else gives 0.
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
  // Source name of the manager's log lines.
  static constexpr const char* kSource = "NetManager";

  // How the wait for a reply ended. kTimedOutOwing: timed out on a link that
  // already owed a reply of the same type when the request was sent.
  enum class WaitEnd { kReplied, kTimedOut, kTimedOutOwing, kInterrupted };
  // Which waits an event ends: those for a TCP reply, for the discovery
  // reply (UDP), or any.
  enum class WaitKind { kTcp, kUdp, kAny };
  // Lifecycle states (m_nLife).
  enum class Life { kStopped, kStarted, kStopping };

  // ---- the requests of SendAskPack: one row each (RequestTable.cpp) -------
  // How a request goes out and what its result is.
  enum class Route {
    kUdpBroadcast,   // broadcast on a new UDP endpoint; 0 when the reply came
    kTcpConnecting,  // connects first unless connected, then as kTcp
    kTcp,            // on the current TCP link; the last error code
    kTcpNoReply,     // on the current TCP link, no reply; 0 when sent
  };
  // The routes that await a TCP reply; their result is the last error code.
  static constexpr bool AwaitsTcpReply(Route route) {
    return route == Route::kTcp || route == Route::kTcpConnecting;
  }
  struct RequestRow;
  // Builds a row's request packet from `param` and sends it on its route.
  using SendFn = int (CNetManager::*)(const RequestRow& row, const void* param);
  // Stores a reply that came on TCP `link` (kInvalidHandle: on UDP, from
  // `senderIP`). False when the packet is not of the reply's class.
  using StoreFn = bool (CNetManager::*)(uint32_t link,
                                        TCountedPtr<PacketZVDiskless::CPacketHead>& packet,
                                        const char* senderIP);
  struct RequestRow {
    uint32_t askType;         // KELVANE_ASK_*
    Route route;
    SendFn send;              // SendRequest<the request packet, how param fills it>
    bool needsParam;          // a null param is refused (it fills the packet)
    uint32_t replyCode;       // the reply awaited; 0 for none
    StoreFn store;            // what the reply stores; null for none
    const char* timeoutText;  // logged at Error when the reply does not come
  };
  static const RequestRow s_requests[];
  // Row<Packet>: a request whose packet takes nothing from `param`;
  // Row<Packet, Fill>: one that needs `param` and fills the packet from it
  // (false from Fill: nothing is sent, the result is 1).
  template <class Packet>
  static constexpr RequestRow Row(uint32_t askType, Route route, uint32_t replyCode,
                                  StoreFn store, const char* timeoutText);
  template <class Packet, bool (*Fill)(Packet&, const void*)>
  static constexpr RequestRow Row(uint32_t askType, Route route, uint32_t replyCode,
                                  StoreFn store, const char* timeoutText);
  // The row of a request type, or of a reply that a UDP (or TCP) request
  // awaits; null when there is none.
  static const RequestRow* FindRequest(uint32_t askType);
  static const RequestRow* FindReply(uint32_t replyCode, bool udp);
  // True for the requests whose result is the last error code (types 2 to
  // 8); `row` may be null.
  static bool SetsLastErrCode(const RequestRow* row);

  // Runs one request with m_csReqLock held; exceptions become 1. `row` is
  // null for an unknown type.
  int RunLocked(const RequestRow* row, uint32_t type, void* param);
  // A row's SendFn: builds its packet (Fill) and sends it (SendOnRoute).
  template <class Packet, bool (*Fill)(Packet&, const void*)>
  int SendRequest(const RequestRow& row, const void* param);
  int SendOnRoute(const RequestRow& row, PacketZVDiskless::CPacketHead& packet);
  // kUdpBroadcast: broadcasts and waits for the reply.
  int BroadcastAndWait(const RequestRow& row, PacketZVDiskless::CPacketHead& packet);
  // kTcp: sets the last error code to 1, sends on the TCP link and waits for
  // the reply; logs the row's time-out line if none comes. Returns the last
  // error code.
  int SendAndWait(const RequestRow& row, PacketZVDiskless::CPacketHead& packet);

  bool CreateUdpLink();
  bool ConnectTcp();
  // Stores a handle just created in `slot`. False when StopServer began
  // meanwhile: it missed the handle, so it is destroyed (with `destroy`)
  // here, instead of being connected or used first.
  bool KeepNewLink(std::atomic<uint32_t>& slot, uint32_t handle, uint32_t (*destroy)(uint32_t));
  // Starts awaiting a reply of `replyType` to a request sent on TCP link
  // `link` (kInvalidHandle: on UDP): resets the event, clears the outcome
  // and claims the link's reads for this thread (ClaimReplyRead), before the
  // request goes out. False (nothing armed) when the manager is being
  // stopped.
  bool ArmReply(uint32_t replyType, uint32_t link);
  // Waits up to `waitMs` for the armed reply, then disarms it, so that no
  // later reply changes the store; 0 gives an unused claim back. A TCP
  // request that timed out (waitMs > 0) leaves its link owing the reply.
  WaitEnd AwaitReply(uint32_t waitMs);
  // Ends `link` after a time-out that left the replies of `replyType` on it
  // unaccounted for: forgets it at once and shuts it down; its close event
  // (OnTcpClosed) releases it and tells the host.
  void CloseUnsureLink(uint32_t link, uint32_t replyType);
  // When `link` is the link marked closing: unmarks it and returns how many
  // closes to report for it (at least 1). Otherwise 0.
  uint32_t TakeClosingLink(uint32_t link);
  // Calls the host's close callback.
  void NotifyTcpClosed();
  // Watches for the end of the wait of request `number` for at most
  // kReplySpinUs; true when it came (the event is then still set).
  bool SpinForWake(uint32_t number) const;
  // Takes the reads of TCP link `link` (kInvalidHandle: of the UDP
  // endpoint) over for this thread, where the transport lets it
  // (m_hReadLink says whether it did).
  void ClaimReplyRead(uint32_t link);
  // Reads the claimed link on this thread until the wait of request
  // `number` ends, for at most kReplyReadMs; true when it ended. The reads
  // are back with the transport's threads afterwards.
  bool ReadOwnReply(uint32_t number);
  // One read of the claimed link (see TcpPollRead), which gives the reads
  // back; true when a packet came.
  bool PollReplyRead(uint32_t waitUs);
  // Ends the wait of the request in flight at once, without a reply, when
  // it is of `kind`.
  void InterruptWait(WaitKind kind);
  // Lifecycle steps of StopServer and StartServer.
  bool BeginStop();
  void ReleaseLinks();
  void EndStop();
  bool StartLocked(KelvaneTcpClosedFn onTcpClosed);
  // Waits while a stop is in progress; false when the caller may not wait
  // (it runs on a transport thread that the stop is ending).
  bool WaitForStopLocked(std::unique_lock<std::mutex>& life);

  // Set the packet's Length, pack it (CPackedPacket) and send it. True when
  // the transport accepted it.
  static bool SendTcp(PacketZVDiskless::CPacketHead& packet, uint32_t link);
  static bool SendUdpBroadcast(PacketZVDiskless::CPacketHead& packet, uint32_t handle);

  // Reply handlers: each builds what it stores, then hands it to StoreReply.
  // `link` is the TCP link the reply came on. A row's StoreFn is
  // Stored<handler>, which reads the packet as the handler's reply class
  // first; the discovery's handler is a StoreFn itself (always true).
  template <auto Handler>
  bool Stored(uint32_t link, TCountedPtr<PacketZVDiskless::CPacketHead>& packet,
              const char* senderIP);
  bool OnDiscoverAck(uint32_t link, TCountedPtr<PacketZVDiskless::CPacketHead>& packet,
                     const char* senderIP);
  void OnLoginAck(uint32_t link, const PacketZVDiskless::CPktToolLoginAck& ack);
  void OnImageListAck(uint32_t link, const PacketZVDiskless::CPktToolQueryImgInfoListAck& ack);
  void OnImageInfoAck(uint32_t link, const PacketZVDiskless::CPktToolQueryImgInfoAck& ack);
  void OnSelectImageAck(uint32_t link, const PacketZVDiskless::CPktToolSelectImgAck& ack);
  void OnResultAck(uint32_t link, const PacketZVDiskless::CPacketHead& ack);
  // The frame of every reply handler: under m_csLock, if the manager is
  // started, the reply is not owed (SettleOwedLocked) and the request in
  // flight awaits `reply.Type`, runs store(), sets the last error code from
  // the reply's ErrCode (unless `setsErrCode` is false: discovery), disarms
  // the wait and wakes the request. Otherwise logs the reply and drops it.
  // `link` is kInvalidHandle for a UDP reply. store() must not throw.
  template <class Store>
  void StoreReply(const PacketZVDiskless::CPacketHead& reply, uint32_t link, bool setsErrCode,
                  Store&& store);
  // A reply of the awaited type whose result could not be built (no memory):
  // the request ends at once with 1, the store stays as it was.
  void FailReply(uint32_t link, uint32_t replyType);
  // With m_csLock held: true when the reply was owed to a request that timed
  // out on `link` (it is logged and settled; the caller drops it).
  bool SettleOwedLocked(uint32_t link, uint32_t replyType);
  // Logs a reply that no request awaits (Warning, with its type).
  void LogDropped(uint32_t replyType);
  // Ends the wait of the request in flight with a reply (`replied`) or
  // without: disarms it, records how it ended and sets the event. Call with
  // m_csLock held; returns the request's number for PublishWake, to be
  // called once m_csLock is released.
  uint32_t EndWaitLocked(bool replied);
  void PublishWake(uint32_t number) { m_nWokenRequest.store(number, std::memory_order_release); }

  kdl::plat::Lock m_csLock;
  std::atomic<uint32_t> m_hTcpLink{kInvalidHandle};
  std::atomic<uint32_t> m_hUdpLink{kInvalidHandle};
  kdl::plat::EventHandle m_hEvent = kdl::plat::NoEvent();
  std::atomic<bool> m_bStarted{false};
  std::atomic<bool> m_bTcpConnected{false};
  std::atomic<int32_t> m_nLastErrCode{1};  // 1: no result yet
  // Under m_csLock: the reply type the request in flight waits for (0 while
  // none waits), the TCP link it was sent on, whether that link already owed
  // a reply of the type then, and how its wait ended.
  uint32_t m_nAwaitedReply = 0;
  uint32_t m_nAwaitedLink = kInvalidHandle;
  bool m_bArmedOwing = false;
  bool m_bReplied = false;
  bool m_bInterrupted = false;
  // Under m_csLock: the replies the current TCP link owes.
  COwedReplies m_owed;
  // Under m_csLock: the link CloseUnsureLink ended whose close event has
  // not come yet, and the closes to report when it comes: 1, or more when an
  // earlier such link was released before its event came.
  uint32_t m_hClosingLink = kInvalidHandle;
  uint32_t m_nClosingReports = 0;
  // The number of the request in flight, counted by ArmReply (written under
  // m_csLock by the requesting thread only), and the number of the last
  // request whose wait was ended.
  uint32_t m_nRequestNo = 0;
  std::atomic<uint32_t> m_nWokenRequest{0};
  // The requesting thread's alone: the link or endpoint the request in
  // flight reads itself (kInvalidHandle: none), and whether it is the UDP
  // endpoint.
  uint32_t m_hReadLink = kInvalidHandle;
  bool m_bReadsUdp = false;
  char m_szLocalIP[32] = {};
  Kelvane::_IN_CLIENT_INFO m_ClientInfo = {};
  Kelvane::_IN_DISCOVER_INFO m_DiscoverInfo = {};
  Kelvane::_IN_SELECTIMAGE_INFO m_SelectImageInfo = {};
  Kelvane::ImageInfoList m_listImageInfo;
  Kelvane::SnapInfoMap m_mapSnapInfo;
  std::atomic<KelvaneTcpClosedFn> m_pfnTcpClosed{nullptr};
  kdl::plat::Lock m_csReqLock;
  // Bounds on the reports of packets that anyone on the network may send.
  kdl::log::CLogRateLimit m_limitTcpUnhandled, m_limitUdpUnhandled, m_limitDropped;
  std::mutex m_muLife;  // guards m_nLife; never held across a wait for a thread
  std::condition_variable m_cvLife;
  Life m_nLife = Life::kStopped;
};

// The process-wide manager, built on first use in static storage and never
// destroyed; never null.
CNetManager* GetNetManager();
