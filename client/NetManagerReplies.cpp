// Replies and closed links: what each reply stores, and the rule that only
// the reply the request in flight awaits, and no reply owed to a request that
// timed out, changes the store.
#include <new>

#include "client/LogTexts.h"
#include "client/NetManager.h"
#include "log/LogWriter.h"
#include "protocol/ToolPackets.h"
#include "util/Text.h"

using namespace PacketZVDiskless;

// ---- replies --------------------------------------------------------------------

// Routed by the request table: a reply goes to the handler of the request
// that awaits it.
void CNetManager::OnTcpRecvPacket(uint32_t link, TCountedPtr<CPacketHead>& packet) {
  if (!m_bStarted.load() || !packet) return;
  const RequestRow* row = FindReply(packet->Type, /*udp=*/false);
  if (row && (this->*row->store)(link, packet, nullptr)) return;
  // 0x80020007 and 0x80020008 never get here: the code table has no class
  // for them, so the receive path reports them as unrecognised packets.
  if (!m_limitTcpUnhandled.Admit(kSource, __LINE__, "TcpRecvData")) return;
  KLOG_AT(kSource, LOG_WARNING, "TcpRecvData cann't parse package type:%d.",
          static_cast<int>(packet->Type));
}

void CNetManager::OnUdpRecvPacket(uint32_t, TCountedPtr<CPacketHead>& packet,
                                  const char* senderIP, uint16_t) {
  if (!m_bStarted.load() || !packet) return;
  const RequestRow* row = FindReply(packet->Type, /*udp=*/true);
  if (row && (this->*row->store)(kInvalidHandle, packet, senderIP)) return;
  if (!m_limitUdpUnhandled.Admit(kSource, __LINE__, "UdpRecvData")) return;
  KLOG_AT(kSource, LOG_WARNING, "UdpRecvData cann't parse package type:%d.",
          static_cast<int>(packet->Type));
}

uint32_t CNetManager::EndWaitLocked(bool replied) {
  m_nAwaitedReply = 0;
  if (replied) {
    m_bReplied = true;
  } else {
    m_bInterrupted = true;
  }
  if (m_hEvent != kdl::plat::NoEvent()) kdl::plat::EventSet(m_hEvent);
  return m_nRequestNo;
}

bool CNetManager::SettleOwedLocked(uint32_t link, uint32_t replyType) {
  if (!m_owed.Settle(link, replyType)) return false;
  // At most one per time-out of a request: no flood to bound.
  KLOG_AT(kSource, LOG_WARNING, "Reply type:0x%08X of a request that timed out, dropped.",
          replyType);
  return true;
}

template <class Store>
void CNetManager::StoreReply(const CPacketHead& reply, uint32_t link, bool setsErrCode,
                             Store&& store) {
  uint32_t woken;
  {
    kdl::plat::LockGuard hold(m_csLock);
    if (!m_bStarted.load()) return;  // stopped: dropped without a line
    if (SettleOwedLocked(link, reply.Type)) return;
    // A reply on another link than the request's (one that the library has
    // already forgotten) answers nothing.
    if (m_nAwaitedReply != reply.Type || link != m_nAwaitedLink) {
      LogDropped(reply.Type);
      return;
    }
    if (setsErrCode) m_nLastErrCode.store(static_cast<int32_t>(reply.ErrCode));
    store();
    woken = EndWaitLocked(/*replied=*/true);
  }
  PublishWake(woken);
}

void CNetManager::FailReply(uint32_t link, uint32_t replyType) {
  uint32_t woken;
  {
    kdl::plat::LockGuard hold(m_csLock);
    if (!m_bStarted.load() || SettleOwedLocked(link, replyType)) return;
    if (m_nAwaitedReply != replyType || link != m_nAwaitedLink) return;
    KLOG_AT(kSource, LOG_ERROR, "Reply type:0x%08X dropped: out of memory.", replyType);
    woken = EndWaitLocked(/*replied=*/false);
  }
  PublishWake(woken);
}

void CNetManager::LogDropped(uint32_t replyType) {
  if (!m_limitDropped.Admit(kSource, __LINE__, "not awaited")) return;
  KLOG_AT(kSource, LOG_WARNING, "Reply type:0x%08X not awaited, dropped.", replyType);
}

bool CNetManager::OnDiscoverAck(uint32_t, TCountedPtr<CPacketHead>& packet,
                                const char* senderIP) {
  TCountedPtr<CPktToolDiscoverAck> ack(packet);
  const CPDiscoverAckBaseInfor* record = ack ? ack->m_Field.GetAt(0) : nullptr;
  if (!record) {
    // No record, no port: keep what an earlier discovery found.
    if (!m_limitDropped.Admit(kSource, __LINE__, "not awaited")) return true;
    KLOG_AT(kSource, LOG_WARNING, "Discover Server Pack without record from %s.",
            senderIP ? senderIP : "");
    return true;
  }
  StoreReply(*ack, kInvalidHandle, /*setsErrCode=*/false, [&] {
    m_DiscoverInfo.ServerIP = StringToIp(senderIP);
    m_DiscoverInfo.ServerPort = static_cast<uint16_t>(record->TcpPort & 0xFFFF);
  });
  return true;
}

void CNetManager::OnLoginAck(uint32_t link, const CPktToolLoginAck& ack) {
  StoreReply(ack, link, true, [&] {
    m_ClientInfo.ClientType = static_cast<int32_t>(ack.ClientType);
    m_ClientInfo.ManagerEnable = static_cast<int32_t>(ack.ManagerEnable);
    m_ClientInfo.ExtInfo = static_cast<int32_t>(ack.ExtInfo);
    KLOG_AT(kSource, LOG_INFO, "RetLoginServer ClientType:%d, ManagerEnable:%d",
            m_ClientInfo.ClientType, m_ClientInfo.ManagerEnable);
  });
}

namespace {

// The image list of a reply, built apart from the store. Throws on no memory.
// Assigned to a Kelvane::ImageInfoList, which in the msvc flavour copies it
// into that layout.
std::list<Kelvane::_IN_IMAGE_INFO> BuildImageList(const CPktToolQueryImgInfoListAck& ack) {
  std::list<Kelvane::_IN_IMAGE_INFO> list;
  for (uint32_t i = 0; i < ack.Images.m_nCount; ++i) {
    const CPImageBaseInfor* record = ack.Images.GetAt(i);
    if (!record) break;
    Kelvane::_IN_IMAGE_INFO info = {};
    info.ServerPort = static_cast<uint16_t>(ack.ServerPort & 0xFFFF);
    info.ServerIP = ack.ServerIP;
    info.ImageId = record->ImageId;
    info.Param1 = record->Param1;
    kdl::util::CopyTerminated(info.Name, record->Name, sizeof(record->Name));
    list.push_back(info);
  }
  return list;
}

Kelvane::_IN_SNAP_INFO SnapInfoOf(const CImgInfoEx& image, const CImgSnapshotInfo& snap) {
  Kelvane::_IN_SNAP_INFO info = {};
  info.ImageId = image.ImageId;
  info.ImageParam3 = image.Param3;
  info.SnapshotId = snap.SnapshotId;
  info.Param2 = snap.Param2;
  info.Param3 = snap.Param3;
  info.Param4 = snap.Param4;
  info.Param5 = snap.Param5;
  info.Param6 = snap.Param6;
  kdl::util::CopyTerminated(info.Text, snap.Text, sizeof(snap.Text));
  info.Time.wYear = snap.TimeField(0);
  info.Time.wMonth = snap.TimeField(1);
  info.Time.wDay = snap.TimeField(2);
  info.Time.wHour = snap.TimeField(3);
  info.Time.wMinute = snap.TimeField(4);
  info.Time.wSecond = snap.TimeField(5);
  return info;
}

// The snapshot map of a reply, built apart from the store. Throws on no
// memory. The first snapshot with an identifier wins. Assigned as the list.
std::map<unsigned long, Kelvane::_IN_SNAP_INFO> BuildSnapMap(
    const CPktToolQueryImgInfoAck& ack) {
  std::map<unsigned long, Kelvane::_IN_SNAP_INFO> map;
  for (uint32_t i = 0; i < ack.m_Field.m_nCount; ++i) {
    const CImgInfoEx* image = ack.m_Field.GetAt(i);
    if (!image) break;
    for (uint32_t j = 0; j < image->Snapshots.m_nCount; ++j) {
      const CImgSnapshotInfo* snap = image->Snapshots.GetAt(j);
      if (!snap) break;
      map.emplace(snap->SnapshotId, SnapInfoOf(*image, *snap));
    }
  }
  return map;
}

}  // namespace

void CNetManager::OnImageListAck(uint32_t link, const CPktToolQueryImgInfoListAck& ack) {
  Kelvane::ImageInfoList list;
  try {
    list = BuildImageList(ack);
  } catch (const std::bad_alloc&) {
    FailReply(link, ack.Type);
    return;
  }
  // The replaced list is freed when `list` goes, outside the lock.
  StoreReply(ack, link, true, [&] {
    m_listImageInfo.swap(list);
    KLOG_AT(kSource, LOG_INFO, "RetQueryImageList ServerIP:%d, ServerPort:%d",
            static_cast<int>(ack.ServerIP), static_cast<int>(ack.ServerPort));
  });
}

void CNetManager::OnImageInfoAck(uint32_t link, const CPktToolQueryImgInfoAck& ack) {
  Kelvane::SnapInfoMap map;
  try {
    map = BuildSnapMap(ack);
  } catch (const std::bad_alloc&) {
    FailReply(link, ack.Type);
    return;
  }
  StoreReply(ack, link, true, [&] { m_mapSnapInfo.swap(map); });
}

void CNetManager::OnSelectImageAck(uint32_t link, const CPktToolSelectImgAck& ack) {
  StoreReply(ack, link, true, [&] {
    m_SelectImageInfo.bSucc = ack.bSucc != 0;
    kdl::util::CopyTerminated(m_SelectImageInfo.Path, ack.Path, sizeof(ack.Path));
    KLOG_AT(kSource, LOG_INFO, "RetSelectImageInfo bSucc:%d", m_SelectImageInfo.bSucc ? 1 : 0);
  });
}

void CNetManager::OnResultAck(uint32_t link, const CPacketHead& ack) {
  StoreReply(ack, link, true, [] {});
}

// ---- closed links ---------------------------------------------------------------

void CNetManager::OnTcpClosed(uint32_t link) {
  KLOG_AT(kSource, LOG_INFO, kdl::logtext::kTcpClosed, link, m_hTcpLink.load());
  if (link == kInvalidHandle) return;
  uint32_t expected = link;
  if (!m_hTcpLink.compare_exchange_strong(expected, kInvalidHandle)) {
    // A link the library ended itself (CloseUnsureLink): forgotten already,
    // released and reported here. A request on a newer link goes on.
    uint32_t reports = TakeClosingLink(link);
    if (reports == 0) return;
    TcpDestroy(link);
    while (reports-- > 0) NotifyTcpClosed();
    return;
  }
  // The link is gone before the host hears of it, so a login that the host
  // starts from its callback connects again; a request waiting on the link
  // ends at once instead of running into its time-out.
  m_bTcpConnected.store(false);
  {
    kdl::plat::LockGuard store(m_csLock);
    m_owed.Forget();
  }
  TcpDestroy(link);
  InterruptWait(WaitKind::kTcp);
  NotifyTcpClosed();
}

void CNetManager::OnUdpClosed(uint32_t endpoint) {
  KLOG_AT(kSource, LOG_INFO, "UdpClosed:%u.", endpoint);
  if (endpoint == kInvalidHandle) return;
  uint32_t expected = endpoint;
  if (!m_hUdpLink.compare_exchange_strong(expected, kInvalidHandle)) return;
  UdpDestroy(endpoint);
  InterruptWait(WaitKind::kUdp);
}
