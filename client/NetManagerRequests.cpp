// The requests of SendAskPack: the dispatch over the request table
// (RequestTable.cpp), the routes a request packet takes over UDP or TCP,
// and the wait for the reply.
#include <chrono>
#include <thread>

#include "client/LogTexts.h"
#include "client/NetManager.h"
#include "log/LogWriter.h"
#include "protocol/PacketBytes.h"
#include "util/Text.h"

using namespace PacketZVDiskless;

// ---- requests -----------------------------------------------------------------

// The last error code is the result of every request of types 2 to 8, also
// of one that fails before it sends (not started, no parameter, no link).
int CNetManager::SendAskPack(uint32_t type, void* param) {
  const RequestRow* row = FindRequest(type);
  if (!m_bStarted.load()) {
    if (SetsLastErrCode(row)) m_nLastErrCode.store(1);
    return 1;
  }
  kdl::plat::LockGuard req(m_csReqLock);
  const int result = RunLocked(row, type, param);
  if (SetsLastErrCode(row)) m_nLastErrCode.store(result);
  return result;
}

int CNetManager::RunLocked(const RequestRow* row, uint32_t type, void* param) {
  if (!m_bStarted.load()) return 1;
  if (!row) {
    KLOG_AT(kSource, LOG_WARNING, "SendAskPack cann't ask package type:%d.",
            static_cast<int>(type));
    return 1;
  }
  if (row->needsParam && !param) {
    KLOG_AT(kSource, LOG_WARNING, "SendAskPack type:%d without parameter.",
            static_cast<int>(type));
    return 1;
  }
  try {
    return (this->*row->send)(*row, param);
  } catch (...) {
    // Out of memory part-way: the request fails, and nothing stays armed
    // for a reply that no one waits for.
    AwaitReply(0);
    return 1;
  }
}

int CNetManager::SendOnRoute(const RequestRow& row, CPacketHead& packet) {
  switch (row.route) {
    case Route::kUdpBroadcast:
      return BroadcastAndWait(row, packet);
    case Route::kTcpConnecting:
      if (!ConnectTcp()) return 1;
      return SendAndWait(row, packet);
    case Route::kTcp:
      return SendAndWait(row, packet);
    case Route::kTcpNoReply:
      return SendTcp(packet, m_hTcpLink.load()) ? 0 : 1;
  }
  return 1;
}

bool CNetManager::SendTcp(CPacketHead& packet, uint32_t link) {
  const CPackedPacket bytes(packet);
  return bytes.Packed() && TcpSend(link, bytes.Data(), bytes.Size(), 0) != 0;
}

bool CNetManager::SendUdpBroadcast(CPacketHead& packet, uint32_t handle) {
  const CPackedPacket bytes(packet);
  return bytes.Packed() &&
         UdpSendTo(handle, bytes.Data(), bytes.Size(), 32, kDiscoverAddress, kDiscoverPort) != 0;
}

bool CNetManager::ArmReply(uint32_t replyType, uint32_t link) {
  {
    kdl::plat::LockGuard store(m_csLock);
    if (!m_bStarted.load()) return false;
    kdl::plat::EventReset(m_hEvent);
    m_nAwaitedReply = replyType;
    m_nAwaitedLink = link;
    m_bArmedOwing = m_owed.Owes(link, replyType);
    m_bReplied = false;
    m_bInterrupted = false;
    ++m_nRequestNo;
  }
  // Before the request goes out, so that no transport thread is woken for
  // a reply that comes at once.
  ClaimReplyRead(link);
  return true;
}

void CNetManager::ClaimReplyRead(uint32_t link) {
  m_bReadsUdp = link == kInvalidHandle;
  const uint32_t handle = m_bReadsUdp ? m_hUdpLink.load() : link;
  const bool claimed = handle != kInvalidHandle &&
                       (m_bReadsUdp ? UdpClaimRead(handle) : TcpClaimRead(handle)) != 0;
  m_hReadLink = claimed ? handle : kInvalidHandle;
}

bool CNetManager::PollReplyRead(uint32_t waitUs) {
  const uint32_t handle = m_hReadLink;
  m_hReadLink = kInvalidHandle;
  return (m_bReadsUdp ? UdpPollRead(handle, kReplySpinUs, waitUs)
                      : TcpPollRead(handle, kReplySpinUs, waitUs)) != 0;
}

bool CNetManager::ReadOwnReply(uint32_t number) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kReplyReadMs);
  const uint32_t handle = m_hReadLink;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count();
    const bool delivered = PollReplyRead(static_cast<uint32_t>(left > 0 ? left : 0));
    if (m_nWokenRequest.load(std::memory_order_acquire) == number) return true;
    // A packet that ended nothing (a reply owed to an earlier request, say):
    // read on while there is time and the link lets it.
    if (!delivered || left <= 0) return false;
    ClaimReplyRead(m_bReadsUdp ? kInvalidHandle : handle);
    if (m_hReadLink != handle) return false;
  }
}

namespace {

// Spinning pays only where the reply can come in on another CPU meanwhile.
// The thread's processors are asked again every few milliseconds, so a host
// that changes them is followed.
bool SpinningPays() {
  using Clock = std::chrono::steady_clock;
  thread_local Clock::time_point t_until;
  thread_local bool t_bPays = false;
  const Clock::time_point now = Clock::now();
  if (now >= t_until) {
    t_bPays = kdl::plat::ThreadProcessorCount() > 1;
    t_until = now + std::chrono::milliseconds(10);
  }
  return t_bPays;
}

}  // namespace

bool CNetManager::SpinForWake(uint32_t number) const {
  if (!SpinningPays()) return false;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::microseconds(kReplySpinUs);
  do {
    if (m_nWokenRequest.load(std::memory_order_acquire) == number) return true;
    kdl::plat::SpinPause();
  } while (Clock::now() < end);
  return m_nWokenRequest.load(std::memory_order_acquire) == number;
}

CNetManager::WaitEnd CNetManager::AwaitReply(uint32_t waitMs) {
  using Clock = std::chrono::steady_clock;
  // m_nRequestNo changes only on this thread. The event is closed only once
  // no request is in flight (StopServer).
  bool woken = false;
  if (waitMs == 0) {
    if (m_hReadLink != kInvalidHandle) PollReplyRead(0);
  } else {
    const Clock::time_point start = Clock::now();
    woken = m_hReadLink != kInvalidHandle ? ReadOwnReply(m_nRequestNo)
                                          : SpinForWake(m_nRequestNo);
    const auto spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (!woken && spent < waitMs) {
      kdl::plat::EventWait(m_hEvent, waitMs - static_cast<uint32_t>(spent));
    }
  }
  kdl::plat::LockGuard store(m_csLock);
  // Seen without waiting on the event: consume its signal as the wait would.
  if (woken) kdl::plat::EventReset(m_hEvent);
  const uint32_t replyType = m_nAwaitedReply;
  m_nAwaitedReply = 0;
  if (m_bReplied) return WaitEnd::kReplied;
  if (m_bInterrupted) return WaitEnd::kInterrupted;
  if (waitMs == 0 || m_nAwaitedLink == kInvalidHandle) return WaitEnd::kTimedOut;
  // Recorded in the same hold of the lock as the disarm, so the late reply
  // finds it owed whenever it comes.
  if (m_bArmedOwing || !m_owed.Add(m_nAwaitedLink, replyType)) return WaitEnd::kTimedOutOwing;
  return WaitEnd::kTimedOut;
}

void CNetManager::InterruptWait(WaitKind kind) {
  uint32_t woken;
  {
    kdl::plat::LockGuard store(m_csLock);
    if (m_nAwaitedReply == 0) return;
    const bool udp = FindReply(m_nAwaitedReply, /*udp=*/true) != nullptr;
    if ((kind == WaitKind::kTcp && udp) || (kind == WaitKind::kUdp && !udp)) return;
    woken = EndWaitLocked(/*replied=*/false);
  }
  PublishWake(woken);
}

int CNetManager::SendAndWait(const RequestRow& row, CPacketHead& packet) {
  m_nLastErrCode.store(1);
  const uint32_t link = m_hTcpLink.load();
  if (!ArmReply(row.replyCode, link)) return 1;
  if (!SendTcp(packet, link)) {
    AwaitReply(0);
    return 1;
  }
  // A closed link or a stop ends the wait early, leaving the result at 1.
  const WaitEnd end = AwaitReply(kReplyWaitMs);
  if (end == WaitEnd::kTimedOut || end == WaitEnd::kTimedOutOwing) {
    KLOG_AT(kSource, LOG_ERROR, "%s", row.timeoutText);
  }
  if (end == WaitEnd::kTimedOutOwing) CloseUnsureLink(link, row.replyCode);
  return m_nLastErrCode.load();
}

// The earlier reply may never come, or this one may already have been taken
// for it: from here on the link cannot tell which reply answers which
// request, so it is ended as if the server had closed it. It is forgotten at
// once, so the next request fails at once and the next login connects anew;
// its close is reported like any other, by OnTcpClosed on a transport thread,
// never on the host's thread inside SendAskPack.
void CNetManager::CloseUnsureLink(uint32_t link, uint32_t replyType) {
  uint32_t older;
  {
    // Forgotten and marked closing in one hold of m_csLock: a close event
    // that finds it forgotten takes the lock next and finds it closing.
    kdl::plat::LockGuard store(m_csLock);
    uint32_t expected = link;
    if (!m_hTcpLink.compare_exchange_strong(expected, kInvalidHandle)) return;  // closed already
    KLOG_AT(kSource, LOG_WARNING, kdl::logtext::kOwedLinkClosed, replyType, link);
    m_bTcpConnected.store(false);
    m_owed.Forget();
    older = m_hClosingLink;
    m_hClosingLink = link;
    ++m_nClosingReports;
  }
  // An earlier link ended this way whose close has not come yet: released
  // now, and reported with this one.
  if (older != kInvalidHandle) TcpDestroy(older);
  // A 0 (closed meanwhile by the peer) changes nothing: that close is on
  // its way and finds the link closing.
  TcpShutdown(link);
}

uint32_t CNetManager::TakeClosingLink(uint32_t link) {
  kdl::plat::LockGuard store(m_csLock);
  if (link == kInvalidHandle || link != m_hClosingLink) return 0;
  const uint32_t reports = m_nClosingReports;
  m_hClosingLink = kInvalidHandle;
  m_nClosingReports = 0;
  return reports;
}

void CNetManager::NotifyTcpClosed() {
  KelvaneTcpClosedFn callback = m_pfnTcpClosed.load();
  if (callback) callback();
}

bool CNetManager::KeepNewLink(std::atomic<uint32_t>& slot, uint32_t handle,
                              uint32_t (*destroy)(uint32_t)) {
  slot.store(handle);
  // StopServer clears m_bStarted before it releases the links: either it
  // found this handle, or this sees the stop.
  if (handle == kInvalidHandle || m_bStarted.load()) return true;
  uint32_t expected = handle;
  if (slot.compare_exchange_strong(expected, kInvalidHandle)) destroy(handle);
  return false;
}

bool CNetManager::CreateUdpLink() {
  uint32_t old = m_hUdpLink.exchange(kInvalidHandle);
  if (old != kInvalidHandle) UdpDestroy(old);
  uint32_t handle = UdpCreate(UdpEventCallback, m_szLocalIP, 0, 32);
  if (!KeepNewLink(m_hUdpLink, handle, UdpDestroy)) return false;
  if (handle == kInvalidHandle) {
    KLOG_AT(kSource, LOG_ERROR, "Udp Create failed.");
    return false;
  }
  return true;
}

int CNetManager::BroadcastAndWait(const RequestRow& row, CPacketHead& packet) {
  if (!CreateUdpLink()) return 1;
  if (!ArmReply(row.replyCode, kInvalidHandle)) return 1;
  if (!SendUdpBroadcast(packet, m_hUdpLink.load())) {
    AwaitReply(0);
    KLOG_AT(kSource, LOG_ERROR, "Send Discover Server Pack failed.");
    return 1;
  }
  const WaitEnd end = AwaitReply(kReplyWaitMs);
  if (end == WaitEnd::kReplied) return 0;
  if (end == WaitEnd::kTimedOut) KLOG_AT(kSource, LOG_ERROR, "%s", row.timeoutText);
  return 1;
}

bool CNetManager::ConnectTcp() {
  // A close that arrived between connecting and marking the link connected
  // leaves the flag without a link; that counts as not connected.
  if (m_bTcpConnected.load() && m_hTcpLink.load() != kInvalidHandle) return true;

  uint32_t old = m_hTcpLink.exchange(kInvalidHandle);
  if (old != kInvalidHandle) TcpDestroy(old);
  m_bTcpConnected.store(false);

  uint32_t link = TcpCreate(TcpEventCallback, m_szLocalIP, 0);
  if (!KeepNewLink(m_hTcpLink, link, TcpDestroy)) return false;  // stopped meanwhile
  if (link == kInvalidHandle) {
    KLOG_AT(kSource, LOG_ERROR, "TcpCreate failed.");
    return false;
  }
  KLOG_AT(kSource, LOG_INFO, "TcpCreate m_hTcpLink:%u", link);

  Kelvane::_IN_DISCOVER_INFO server;
  {
    kdl::plat::LockGuard store(m_csLock);
    server = m_DiscoverInfo;
  }
  char address[32];
  kdl::util::CopyTerminated(address, IpToString(server.ServerIP));
  const int port = server.ServerPort;

  if (TcpConnect(link, address, static_cast<uint32_t>(port)) == 0) {
    KLOG_AT(kSource, LOG_ERROR, "TcpConnect failed; m_hTcpLink: %u, IP: %s, Port: %d", link,
            address, port);
    uint32_t expected = link;
    if (m_hTcpLink.compare_exchange_strong(expected, kInvalidHandle)) TcpDestroy(link);
    return false;
  }
  KLOG_AT(kSource, LOG_INFO, "TcpConnect m_hTcpLink: %u, IP: %s, Port: %d", link, address, port);
  m_bTcpConnected.store(true);
  return true;
}
