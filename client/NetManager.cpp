#include "client/NetManager.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "log/LogWriter.h"
#include "platform/LocalAddress.h"
#include "protocol/ToolPackets.h"

using namespace PacketZVDiskless;

namespace {

constexpr const char* kSource = "NetManager";

// The keep-alive is the client family's head-only packet 0x00000001.
using CPktHeartbeat = CSimplePacketHead<0x00000001>;

// Where the parameters' fields lie. Read by offset, since the host's memory
// need not be aligned as the structures are.
constexpr size_t kCreateNameSize = sizeof(KelvaneCreateImageParam::Name);
constexpr size_t kCreateParam1Offset = offsetof(KelvaneCreateImageParam, Param1);
constexpr size_t kCreateParam2Offset = offsetof(KelvaneCreateImageParam, Param2);
constexpr size_t kCancelFlag1Offset = offsetof(KelvaneCancelAdminParam, Flag1);
constexpr size_t kCancelFlag2Offset = offsetof(KelvaneCancelAdminParam, Flag2);
constexpr size_t kCancelTextOffset = offsetof(KelvaneCancelAdminParam, Text);

// Copies the text of a fixed-size source field (read no further than
// `srcSize` bytes) into a fixed-size target, always NUL-terminated, the rest
// zero-filled.
template <size_t N>
void CopyBounded(char (&dst)[N], const char* src, size_t srcSize) {
  static_assert(N > 0, "target needs room for the terminator");
  std::memset(dst, 0, N);
  size_t n = 0;
  while (n < srcSize && n < N - 1 && src[n]) ++n;
  std::memcpy(dst, src, n);
}

// Copies at most N bytes of text into a field (as strncpy does, reading no
// further than the text's NUL or `srcSize` bytes); a text that fills the
// field keeps no terminator, which is the wire convention for a full field.
template <size_t N>
void CopyField(char (&dst)[N], const char* src, size_t srcSize) {
  std::memset(dst, 0, N);
  size_t n = 0;
  while (n < srcSize && n < N && src[n]) ++n;
  std::memcpy(dst, src, n);
}

uint32_t LoadU32(const void* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

// One piece of a dotted text read the way atol reads it (leading white
// space, optional sign, decimal digits up to the first other character),
// saturating at the 32-bit range of the platform's long; low 8 bits.
uint32_t PieceValue(const char* p, size_t n) {
  size_t i = 0;
  while (i < n && (p[i] == ' ' || (p[i] >= '\t' && p[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < n && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
  int64_t value = 0;
  for (; i < n && p[i] >= '0' && p[i] <= '9'; ++i) {
    value = value * 10 + (p[i] - '0');
    if (value > 0x80000000LL) value = 0x80000000LL;  // clamp early, as strtol does
  }
  if (negative) {
    value = -value;
  } else if (value > 0x7FFFFFFFLL) {
    value = 0x7FFFFFFFLL;
  }
  return static_cast<uint32_t>(value) & 0xFF;
}

// Creation of the process-wide manager.
std::atomic<CNetManager*> g_pNetManager{nullptr};
std::mutex g_csCreateManager;

}  // namespace

// ---- the single instance --------------------------------------------------

CNetManager* GetNetManager() {
  CNetManager* manager = g_pNetManager.load(std::memory_order_acquire);
  if (manager) return manager;
  std::lock_guard<std::mutex> hold(g_csCreateManager);
  manager = g_pNetManager.load(std::memory_order_relaxed);
  if (!manager) {
    manager = new (std::nothrow) CNetManager();
    g_pNetManager.store(manager, std::memory_order_release);
  }
  return manager;
}

CNetManager::CNetManager() = default;

CNetManager::~CNetManager() {
  if (m_hEvent != kdl::plat::NoEvent()) kdl::plat::EventClose(m_hEvent);
}

// ---- conversions ------------------------------------------------------------

std::string CNetManager::IpToString(uint32_t ip) {
  char text[32];
  std::snprintf(text, sizeof(text), "%d.%d.%d.%d", static_cast<int>(ip >> 24),
                static_cast<int>((ip >> 16) & 0xFF), static_cast<int>((ip >> 8) & 0xFF),
                static_cast<int>(ip & 0xFF));
  return text;
}

uint32_t CNetManager::StringToIp(const char* text) {
  if (!text) return 0;
  const size_t len = std::strlen(text);
  uint32_t pieces[4] = {};
  int count = 0;
  size_t start = 0;
  // The first piece starts at the first character even when that is a '.',
  // so its end is searched from the second character on.
  size_t searchFrom = len ? 1 : 0;
  for (;;) {
    size_t end = searchFrom;
    while (end < len && text[end] != '.') ++end;
    if (end > start) {
      if (count < 4) pieces[count] = PieceValue(text + start, end - start);
      ++count;
    }
    if (end >= len) break;
    start = end + 1;
    searchFrom = start;
  }
  if (count != 4) return 0;
  return pieces[0] << 24 | pieces[1] << 16 | pieces[2] << 8 | pieces[3];
}

void CNetManager::PickLocalAddress(char* out) {
  if (!out) return;
  char picked[32] = {};
  if (kdl::plat::PickLocalAddress(picked)) std::memcpy(out, picked, sizeof(picked));
}

// ---- start and stop ------------------------------------------------------------

bool CNetManager::StartServer(KelvaneTcpClosedFn onTcpClosed) {
  std::unique_lock<std::mutex> life(m_muLife);
  if (!WaitForStopLocked(life)) return false;
  if (m_nLife == Life::kStarted) return true;
  return StartLocked(onTcpClosed);
}

bool CNetManager::WaitForStopLocked(std::unique_lock<std::mutex>& life) {
  if (m_nLife != Life::kStopping) return true;
  // The stop in progress may be waiting for this very thread to finish its
  // callback: waiting here would never end.
  if (kdl::netevent::InsideEventCallback()) return false;
  m_cvLife.wait(life, [this] { return m_nLife != Life::kStopping; });
  return true;
}

bool CNetManager::StartLocked(KelvaneTcpClosedFn onTcpClosed) {
  PickLocalAddress(m_szLocalIP);
  if (m_szLocalIP[0] == '\0') return false;

  TcpInit(TcpEventCallback);
  UdpInit(UdpEventCallback);
  m_pfnTcpClosed.store(onTcpClosed);
  m_bNetOrder.store(false);

  kdl::plat::EventHandle event = kdl::plat::EventCreate();
  if (event == kdl::plat::NoEvent() || event == nullptr) {
    KLOG_AT(kSource, LOG_ERROR, "Create Event failed.");
    return false;
  }
  kdl::plat::EventReset(event);

  kdl::plat::LockGuard store(m_csLock);
  m_hEvent = event;
  m_bStarted.store(true);
  m_nLife = Life::kStarted;
  return true;
}

// No lock is held while links are destroyed and the transport threads end:
// their callbacks may call back into the manager.
void CNetManager::StopServer() {
  if (!BeginStop()) return;
  TcpUninit();
  UdpUninit();
  EndStop();
}

bool CNetManager::BeginStop() {
  {
    std::unique_lock<std::mutex> life(m_muLife);
    if (!WaitForStopLocked(life)) return false;
    m_nLife = Life::kStopping;
  }
  {
    // From here on no reply handler stores or signals, and no request arms.
    kdl::plat::LockGuard store(m_csLock);
    m_bStarted.store(false);
  }
  InterruptWait(WaitKind::kAny);
  ReleaseLinks();  // also ends a connect in progress
  {
    // The request in flight has been woken; once it has left, nothing uses
    // the event or creates links any more.
    kdl::plat::LockGuard req(m_csReqLock);
  }
  ReleaseLinks();
  kdl::plat::LockGuard store(m_csLock);
  if (m_hEvent != kdl::plat::NoEvent()) {
    kdl::plat::EventClose(m_hEvent);
    m_hEvent = kdl::plat::NoEvent();
  }
  return true;
}

// Each handle is taken out before it is destroyed, so a close event for it
// finds it gone and does not report it to the host.
void CNetManager::ReleaseLinks() {
  uint32_t udp = m_hUdpLink.exchange(kInvalidHandle);
  if (udp != kInvalidHandle) UdpDestroy(udp);
  uint32_t tcp = m_hTcpLink.exchange(kInvalidHandle);
  if (tcp != kInvalidHandle) TcpDestroy(tcp);
  m_bTcpConnected.store(false);
}

void CNetManager::EndStop() {
  {
    kdl::plat::LockGuard store(m_csLock);
    m_listImageInfo.clear();
    m_mapSnapInfo.clear();
  }
  std::lock_guard<std::mutex> life(m_muLife);
  m_nLife = Life::kStopped;
  m_cvLife.notify_all();
}

// ---- requests -----------------------------------------------------------------

int CNetManager::SendAskPack(uint32_t type, void* param) {
  if (!m_bStarted.load()) return 1;
  kdl::plat::LockGuard req(m_csReqLock);
  if (!m_bStarted.load()) return 1;

  const bool needsParam = type == KELVANE_ASK_LOGIN || type == KELVANE_ASK_CREATE_IMAGE ||
                          type == KELVANE_ASK_SELECT_IMAGE || type == KELVANE_ASK_SET_ADMIN ||
                          type == KELVANE_ASK_CANCEL_ADMIN;
  if (needsParam && !param) {
    KLOG_AT(kSource, LOG_WARNING, "SendAskPack type:%d without parameter.",
            static_cast<int>(type));
    return 1;
  }
  try {
    return RunRequest(type, param);
  } catch (...) {
    // Out of memory part-way: the request fails, and nothing stays armed
    // for a reply that no one waits for.
    AwaitReply(0);
    return 1;
  }
}

int CNetManager::RunRequest(uint32_t type, void* param) {
  switch (type) {
    case KELVANE_ASK_DISCOVER:
      return DiscoverServer();
    case KELVANE_ASK_LOGIN:
      return LoginServer(param);
    case KELVANE_ASK_IMAGE_LIST:
      return QueryImageList();
    case KELVANE_ASK_IMAGE_INFO:
      return QueryImageInfo();
    case KELVANE_ASK_CREATE_IMAGE:
      return CreateImage(param);
    case KELVANE_ASK_SELECT_IMAGE:
      return SelectImage(param);
    case KELVANE_ASK_SET_ADMIN:
      return SetAdmin(param);
    case KELVANE_ASK_CANCEL_ADMIN:
      return CancelAdmin(param);
    case KELVANE_ASK_HEARTBEAT:
      return SendHeartbeat();
    default:
      KLOG_AT(kSource, LOG_WARNING, "SendAskPack cann't ask package type:%d.",
              static_cast<int>(type));
      return 1;
  }
}

int CNetManager::SendTcp(const CPacketHead& packet, uint32_t link) {
  const uint32_t size = packet.Size();
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size ? size : 1]());
  if (!buffer) return 0;
  CPktWriteStream writer(buffer.get(), size, /*netOrder=*/false);
  if (packet.Pack(writer)) return 0;
  return TcpSend(link, buffer.get(), size, 0) ? 1 : 0;
}

int CNetManager::SendUdpBroadcast(const CPacketHead& packet, uint32_t handle) {
  const uint32_t size = packet.Size();
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size ? size : 1]());
  if (!buffer) return 0;
  CPktWriteStream writer(buffer.get(), size, /*netOrder=*/false);
  if (packet.Pack(writer)) return 0;
  return UdpSendTo(handle, buffer.get(), size, 32, kDiscoverAddress, kDiscoverPort) ? 1 : 0;
}

bool CNetManager::ArmReply(uint32_t replyType) {
  kdl::plat::LockGuard store(m_csLock);
  if (!m_bStarted.load()) return false;
  kdl::plat::EventReset(m_hEvent);
  m_nAwaitedReply = replyType;
  m_bReplied = false;
  m_bInterrupted = false;
  return true;
}

CNetManager::WaitEnd CNetManager::AwaitReply(uint32_t waitMs) {
  // The event is closed only once no request is in flight (StopServer).
  if (waitMs) kdl::plat::EventWait(m_hEvent, waitMs);
  kdl::plat::LockGuard store(m_csLock);
  m_nAwaitedReply = 0;
  if (m_bReplied) return WaitEnd::kReplied;
  return m_bInterrupted ? WaitEnd::kInterrupted : WaitEnd::kTimedOut;
}

void CNetManager::InterruptWait(WaitKind kind) {
  kdl::plat::LockGuard store(m_csLock);
  if (m_nAwaitedReply == 0) return;
  const bool udp = m_nAwaitedReply == CPktToolDiscoverAck::kCode;
  if ((kind == WaitKind::kTcp && udp) || (kind == WaitKind::kUdp && !udp)) return;
  m_nAwaitedReply = 0;
  m_bInterrupted = true;
  SignalReplyLocked();
}

int CNetManager::SendAndWait(CPacketHead& packet, const char* timeoutText) {
  packet.Length = packet.Size();
  m_nLastErrCode.store(1);
  if (!ArmReply(ReplyCodeOf(packet.Type))) return 1;
  if (!SendTcp(packet, m_hTcpLink.load())) {
    AwaitReply(0);
    return 1;
  }
  // A closed link or a stop ends the wait early, leaving the result at 1.
  if (AwaitReply(kReplyWaitMs) == WaitEnd::kTimedOut) {
    KLOG_AT(kSource, LOG_ERROR, "%s", timeoutText);
  }
  return m_nLastErrCode.load();
}

bool CNetManager::CreateUdpLink() {
  uint32_t old = m_hUdpLink.exchange(kInvalidHandle);
  if (old != kInvalidHandle) UdpDestroy(old);
  uint32_t handle = UdpCreate(UdpEventCallback, m_szLocalIP, 0, 32);
  m_hUdpLink.store(handle);
  if (handle == kInvalidHandle) {
    KLOG_AT(kSource, LOG_ERROR, "Udp Create failed.");
    return false;
  }
  return true;
}

int CNetManager::DiscoverServer() {
  if (!CreateUdpLink()) return 1;
  if (!ArmReply(CPktToolDiscoverAck::kCode)) return 1;
  CPktToolDiscover packet;
  packet.Length = packet.Size();
  if (!SendUdpBroadcast(packet, m_hUdpLink.load())) {
    AwaitReply(0);
    KLOG_AT(kSource, LOG_ERROR, "Send Discover Server Pack failed.");
    return 1;
  }
  const WaitEnd end = AwaitReply(kReplyWaitMs);
  if (end == WaitEnd::kReplied) return 0;
  if (end == WaitEnd::kTimedOut) KLOG_AT(kSource, LOG_ERROR, "Wait Discover Server Pack Overtime.");
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
  m_hTcpLink.store(link);
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
  char address[32] = {};
  std::string text = IpToString(server.ServerIP);
  std::memcpy(address, text.c_str(), text.size() < 31 ? text.size() : 31);
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

int CNetManager::LoginServer(const void* param) {
  if (!ConnectTcp()) return 1;
  CPktToolLogin packet;
  CopyField(packet.ToolName, static_cast<const char*>(param), sizeof(packet.ToolName));
  return SendAndWait(packet, "Wait Login Server Pack Overtime.");
}

int CNetManager::QueryImageList() {
  CPktToolQueryImgList packet;
  return SendAndWait(packet, "Wait Query Image List Pack Overtime.");
}

int CNetManager::QueryImageInfo() {
  CPktToolQueryImgInfo packet;
  return SendAndWait(packet, "Wait Query Image Info Pack Overtime.");
}

int CNetManager::CreateImage(const void* param) {
  const char* p = static_cast<const char*>(param);
  CPktToolCreateImage packet;
  const uint32_t param1 = LoadU32(p + kCreateParam1Offset);
  if (packet.m_Field.SetCount(1) != 0 || param1 == 0) return 1;
  CPImageBaseInfor* record = packet.m_Field.GetAt(0);
  CopyBounded(record->Name, p, kCreateNameSize);
  record->Param1 = param1;
  record->Param2 = LoadU32(p + kCreateParam2Offset);
  return SendAndWait(packet, "Wait Create Image Pack Overtime.");
}

int CNetManager::SelectImage(const void* param) {
  CPktToolSelectImg packet;
  packet.Param = 0;
  packet.ImageId = LoadU32(param);
  return SendAndWait(packet, "Wait Select Image Pack Overtime.");
}

int CNetManager::SetAdmin(const void* param) {
  CPktToolSetAdmin packet;
  if (packet.m_Field.SetCount(1) != 0) return 1;
  CPSetClientPowerBaseInfor* record = packet.m_Field.GetAt(0);
  record->Param1 = 0;
  record->Param2 = LoadU32(param);
  return SendAndWait(packet, "Wait Set Admin Pack Overtime.");
}

int CNetManager::CancelAdmin(const void* param) {
  const uint8_t* p = static_cast<const uint8_t*>(param);
  CPktToolCancelAdmin packet;
  if (packet.m_Field.SetCount(1) != 0) return 1;
  CPCancelAdministratorBaseInfor* record = packet.m_Field.GetAt(0);
  record->Param1 = 0;
  record->Param2 = 0;
  record->Param3 = p[kCancelFlag1Offset];
  record->Param4 = p[kCancelFlag2Offset];
  CopyField(record->Text, reinterpret_cast<const char*>(p + kCancelTextOffset),
            sizeof(record->Text));
  return SendAndWait(packet, "Wait Cancel Admin Pack Overtime.");
}

int CNetManager::SendHeartbeat() {
  CPktHeartbeat packet;
  packet.Length = packet.Size();
  return SendTcp(packet, m_hTcpLink.load()) ? 0 : 1;
}

// ---- replies --------------------------------------------------------------------

void CNetManager::OnTcpRecvPacket(uint32_t, TCountedPtr<CPacketHead>& packet) {
  if (!m_bStarted.load() || !packet) return;
  switch (packet->Type) {
    case CPktToolLoginAck::kCode: {
      TCountedPtr<CPktToolLoginAck> ack(packet);
      if (!ack) break;
      OnLoginAck(*ack);
      return;
    }
    case CPktToolQueryImgInfoAck::kCode:
      OnImageInfoAck(packet);
      return;
    case ReplyCodeOf(CPktToolSetAdmin::kCode):
    case ReplyCodeOf(CPktToolCancelAdmin::kCode):
    case ReplyCodeOf(CPktToolCreateImage::kCode):
      OnResultAck(*packet);
      return;
    case CPktToolSelectImgAck::kCode: {
      TCountedPtr<CPktToolSelectImgAck> ack(packet);
      if (!ack) break;
      OnSelectImageAck(*ack);
      return;
    }
    case CPktToolQueryImgInfoListAck::kCode: {
      TCountedPtr<CPktToolQueryImgInfoListAck> ack(packet);
      if (!ack) break;
      OnImageListAck(*ack);
      return;
    }
    default:
      break;
  }
  // 0x80020007 and 0x80020008 never get here: the code table has no class
  // for them, so the receive path reports them as unrecognised packets.
  if (!m_limitTcpUnhandled.Admit(kSource, __LINE__, "TcpRecvData")) return;
  KLOG_AT(kSource, LOG_WARNING, "TcpRecvData cann't parse package type:%d.",
          static_cast<int>(packet->Type));
}

void CNetManager::OnUdpRecvPacket(uint32_t, TCountedPtr<CPacketHead>& packet,
                                  const char* senderIP, uint16_t) {
  if (!m_bStarted.load() || !packet) return;
  if (packet->Type == CPktToolDiscoverAck::kCode) {
    OnDiscoverAck(packet, senderIP);
    return;
  }
  if (!m_limitUdpUnhandled.Admit(kSource, __LINE__, "UdpRecvData")) return;
  KLOG_AT(kSource, LOG_WARNING, "UdpRecvData cann't parse package type:%d.",
          static_cast<int>(packet->Type));
}

void CNetManager::SignalReplyLocked() {
  if (m_hEvent != kdl::plat::NoEvent()) kdl::plat::EventSet(m_hEvent);
}

template <class Store>
void CNetManager::StoreReply(const CPacketHead& reply, bool setsErrCode, Store&& store) {
  kdl::plat::LockGuard hold(m_csLock);
  if (!m_bStarted.load()) return;  // stopped: dropped without a line
  if (m_nAwaitedReply != reply.Type) {
    LogDropped(reply.Type);
    return;
  }
  if (setsErrCode) m_nLastErrCode.store(static_cast<int32_t>(reply.ErrCode));
  store();
  m_nAwaitedReply = 0;
  m_bReplied = true;
  SignalReplyLocked();
}

void CNetManager::FailReply(uint32_t replyType) {
  kdl::plat::LockGuard hold(m_csLock);
  if (!m_bStarted.load() || m_nAwaitedReply != replyType) return;
  KLOG_AT(kSource, LOG_ERROR, "Reply type:0x%08X dropped: out of memory.", replyType);
  m_nAwaitedReply = 0;
  m_bInterrupted = true;
  SignalReplyLocked();
}

void CNetManager::LogDropped(uint32_t replyType) {
  if (!m_limitDropped.Admit(kSource, __LINE__, "not awaited")) return;
  KLOG_AT(kSource, LOG_WARNING, "Reply type:0x%08X not awaited, dropped.", replyType);
}

void CNetManager::OnDiscoverAck(TCountedPtr<CPacketHead>& packet, const char* senderIP) {
  TCountedPtr<CPktToolDiscoverAck> ack(packet);
  const CPDiscoverAckBaseInfor* record = ack ? ack->m_Field.GetAt(0) : nullptr;
  if (!record) {
    // No record, no port: keep what an earlier discovery found.
    if (!m_limitDropped.Admit(kSource, __LINE__, "not awaited")) return;
    KLOG_AT(kSource, LOG_WARNING, "Discover Server Pack without record from %s.",
            senderIP ? senderIP : "");
    return;
  }
  StoreReply(*ack, /*setsErrCode=*/false, [&] {
    m_DiscoverInfo.ServerIP = StringToIp(senderIP);
    m_DiscoverInfo.ServerPort = static_cast<uint16_t>(record->TcpPort & 0xFFFF);
  });
}

void CNetManager::OnLoginAck(const CPktToolLoginAck& ack) {
  StoreReply(ack, true, [&] {
    m_ClientInfo.ClientType = static_cast<int32_t>(ack.ClientType);
    m_ClientInfo.ManagerEnable = static_cast<int32_t>(ack.ManagerEnable);
    m_ClientInfo.ExtInfo = static_cast<int32_t>(ack.ExtInfo);
    KLOG_AT(kSource, LOG_INFO, "RetLoginServer ClientType:%d, ManagerEnable:%d",
            m_ClientInfo.ClientType, m_ClientInfo.ManagerEnable);
  });
}

namespace {

// The image list of a reply, built apart from the store. Throws on no memory.
Kelvane::ImageInfoList BuildImageList(const CPktToolQueryImgInfoListAck& ack) {
  Kelvane::ImageInfoList list;
  for (uint32_t i = 0; i < ack.Images.m_nCount; ++i) {
    const CPImageBaseInfor* record = ack.Images.GetAt(i);
    if (!record) break;
    Kelvane::_IN_IMAGE_INFO info = {};
    info.ServerPort = static_cast<uint16_t>(ack.ServerPort & 0xFFFF);
    info.ServerIP = ack.ServerIP;
    info.ImageId = record->ImageId;
    info.Param1 = record->Param1;
    CopyBounded(info.Name, record->Name, sizeof(record->Name));
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
  CopyBounded(info.Text, snap.Text, sizeof(snap.Text));
  info.Time.wYear = snap.TimeField(0);
  info.Time.wMonth = snap.TimeField(1);
  info.Time.wDay = snap.TimeField(2);
  info.Time.wHour = snap.TimeField(3);
  info.Time.wMinute = snap.TimeField(4);
  info.Time.wSecond = snap.TimeField(5);
  return info;
}

// The snapshot map of a reply, built apart from the store. Throws on no
// memory. The first snapshot with an identifier wins.
Kelvane::SnapInfoMap BuildSnapMap(const CPktToolQueryImgInfoAck& ack) {
  Kelvane::SnapInfoMap map;
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

void CNetManager::OnImageListAck(const CPktToolQueryImgInfoListAck& ack) {
  Kelvane::ImageInfoList list;
  try {
    list = BuildImageList(ack);
  } catch (const std::bad_alloc&) {
    FailReply(ack.Type);
    return;
  }
  // The replaced list is freed when `list` goes, outside the lock.
  StoreReply(ack, true, [&] {
    m_listImageInfo.swap(list);
    KLOG_AT(kSource, LOG_INFO, "RetQueryImageList ServerIP:%d, ServerPort:%d",
            static_cast<int>(ack.ServerIP), static_cast<int>(ack.ServerPort));
  });
}

void CNetManager::OnImageInfoAck(TCountedPtr<CPacketHead>& packet) {
  TCountedPtr<CPktToolQueryImgInfoAck> ack(packet);
  if (!ack) return;
  Kelvane::SnapInfoMap map;
  try {
    map = BuildSnapMap(*ack);
  } catch (const std::bad_alloc&) {
    FailReply(ack->Type);
    return;
  }
  StoreReply(*ack, true, [&] { m_mapSnapInfo.swap(map); });
}

void CNetManager::OnSelectImageAck(const CPktToolSelectImgAck& ack) {
  StoreReply(ack, true, [&] {
    m_SelectImageInfo.bSucc = ack.bSucc != 0;
    CopyBounded(m_SelectImageInfo.Path, ack.Path, sizeof(ack.Path));
    KLOG_AT(kSource, LOG_INFO, "RetSelectImageInfo bSucc:%d", m_SelectImageInfo.bSucc ? 1 : 0);
  });
}

void CNetManager::OnResultAck(const CPacketHead& ack) {
  StoreReply(ack, true, [] {});
}

// ---- closed links ---------------------------------------------------------------

void CNetManager::OnTcpClosed(uint32_t link) {
  KLOG_AT(kSource, LOG_INFO, "TcpClosed hLink:%u; m_hTcpLink:%u.", link, m_hTcpLink.load());
  if (link == kInvalidHandle) return;
  uint32_t expected = link;
  if (!m_hTcpLink.compare_exchange_strong(expected, kInvalidHandle)) return;
  // The link is gone before the host hears of it, so a login that the host
  // starts from its callback connects again; a request waiting on the link
  // ends at once instead of running into its time-out.
  m_bTcpConnected.store(false);
  TcpDestroy(link);
  InterruptWait(WaitKind::kTcp);
  KelvaneTcpClosedFn callback = m_pfnTcpClosed.load();
  if (callback) callback();
}

void CNetManager::OnUdpClosed(uint32_t endpoint) {
  KLOG_AT(kSource, LOG_INFO, "UdpClosed:%u.", endpoint);
  if (endpoint == kInvalidHandle) return;
  uint32_t expected = endpoint;
  if (!m_hUdpLink.compare_exchange_strong(expected, kInvalidHandle)) return;
  UdpDestroy(endpoint);
  InterruptWait(WaitKind::kUdp);
}
