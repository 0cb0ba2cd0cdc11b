#include "client/NetManager.h"

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

// Reply codes the manager handles.
constexpr uint32_t kDiscoverAck = 0x80020000;
constexpr uint32_t kLoginAck = 0x80020001;
constexpr uint32_t kImageInfoAck = 0x80020002;
constexpr uint32_t kSetAdminAck = 0x80020003;
constexpr uint32_t kCancelAdminAck = 0x80020004;
constexpr uint32_t kSelectImageAck = 0x80020005;
constexpr uint32_t kImageListAck = 0x80020006;
constexpr uint32_t kCreateImageAck = 0x80020009;

// The keep-alive is the client family's head-only packet 0x00000001.
using CPktHeartbeat = CSimplePacketHead<0x00000001>;

// Layout of the create-image parameter: a 64-byte name, then two numbers.
constexpr size_t kCreateNameSize = 64;
constexpr size_t kCreateParam1Offset = 64;
constexpr size_t kCreateParam2Offset = 68;
// Layout of the cancel-administrator parameter: two flag bytes, then text.
constexpr size_t kCancelTextOffset = 2;

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
  if (m_hEvent != kplat::NoEvent()) kplat::EventClose(m_hEvent);
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
  if (kplat::PickLocalAddress(picked)) std::memcpy(out, picked, sizeof(picked));
}

// ---- start and stop ------------------------------------------------------------

bool CNetManager::StartServer(KelvaneTcpClosedFn onTcpClosed) {
  kplat::LockGuard life(m_csLifeLock);
  if (m_bStarted.load()) return true;

  PickLocalAddress(m_szLocalIP);
  if (m_szLocalIP[0] == '\0') return false;

  TcpInit(TcpEventCallback);
  UdpInit(UdpEventCallback);
  m_pfnTcpClosed.store(onTcpClosed);
  m_bNetOrder.store(false);

  kplat::EventHandle event = kplat::EventCreate();
  if (event == kplat::NoEvent() || event == nullptr) {
    KLOG_AT(kSource, LOG_ERROR, "Create Event failed.");
    return false;
  }
  kplat::EventReset(event);

  kplat::LockGuard req(m_csReqLock);
  kplat::LockGuard store(m_csLock);
  m_hEvent = event;
  m_bStarted.store(true);
  return true;
}

void CNetManager::StopServer() {
  kplat::LockGuard life(m_csLifeLock);
  {
    // Waits for a request in flight, so its event is never released under it.
    kplat::LockGuard req(m_csReqLock);
    {
      // From here on no reply handler stores or signals.
      kplat::LockGuard store(m_csLock);
      m_bStarted.store(false);
      if (m_hEvent != kplat::NoEvent()) {
        kplat::EventClose(m_hEvent);
        m_hEvent = kplat::NoEvent();
      }
    }
    // Each handle is taken out before it is destroyed, so a close event for
    // it finds it gone and does not report it to the host.
    uint32_t udp = m_hUdpLink.exchange(kInvalidHandle);
    if (udp != kInvalidHandle) UdpDestroy(udp);
    uint32_t tcp = m_hTcpLink.exchange(kInvalidHandle);
    if (tcp != kInvalidHandle) TcpDestroy(tcp);
    m_bTcpConnected.store(false);
  }
  // Outside the request lock: the components may wait here for a callback
  // that is itself about to make a request.
  TcpUninit();
  UdpUninit();

  kplat::LockGuard store(m_csLock);
  m_listImageInfo.clear();
  m_mapSnapInfo.clear();
}

// ---- requests -----------------------------------------------------------------

int CNetManager::SendAskPack(uint32_t type, void* param) {
  if (!m_bStarted.load()) return 1;
  kplat::LockGuard req(m_csReqLock);
  if (!m_bStarted.load()) return 1;

  const bool needsParam = type == KELVANE_ASK_LOGIN || type == KELVANE_ASK_CREATE_IMAGE ||
                          type == KELVANE_ASK_SELECT_IMAGE || type == KELVANE_ASK_SET_ADMIN ||
                          type == KELVANE_ASK_CANCEL_ADMIN;
  if (needsParam && !param) {
    KLOG_AT(kSource, LOG_WARNING, "SendAskPack type:%d without parameter.",
            static_cast<int>(type));
    return 1;
  }
  // Replies of other types that arrive while this request waits (late
  // answers to an earlier, timed-out request) are stored but neither set the
  // result nor end the wait.
  m_nAwaitedReply.store(ReplyTypeOf(type));
  int result = RunRequest(type, param);
  m_nAwaitedReply.store(0);
  return result;
}

uint32_t CNetManager::ReplyTypeOf(uint32_t askType) {
  // Indexed by request type; the keep-alive expects no reply.
  static const uint32_t kReplies[] = {0,
                                      kDiscoverAck,
                                      kLoginAck,
                                      kImageListAck,
                                      kImageInfoAck,
                                      kCreateImageAck,
                                      kSelectImageAck,
                                      kSetAdminAck,
                                      kCancelAdminAck,
                                      0};
  return askType < sizeof(kReplies) / sizeof(kReplies[0]) ? kReplies[askType] : 0;
}

bool CNetManager::AnswersCurrentRequest(uint32_t replyType) const {
  uint32_t awaited = m_nAwaitedReply.load();
  return awaited == 0 || awaited == replyType;
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

void CNetManager::ResetReplyEvent() { kplat::EventReset(m_hEvent); }

int CNetManager::SendAndWait(CPacketHead& packet, const char* timeoutText) {
  packet.Length = packet.Size();
  m_nLastErrCode.store(1);
  if (!SendTcp(packet, m_hTcpLink.load())) return 1;
  if (!kplat::EventWait(m_hEvent, kReplyWaitMs)) KLOG_AT(kSource, LOG_ERROR, "%s", timeoutText);
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
  ResetReplyEvent();
  CPktToolDiscover packet;
  packet.Length = packet.Size();
  if (!SendUdpBroadcast(packet, m_hUdpLink.load())) {
    KLOG_AT(kSource, LOG_ERROR, "Send Discover Server Pack failed.");
    return 1;
  }
  if (kplat::EventWait(m_hEvent, kReplyWaitMs)) return 0;
  KLOG_AT(kSource, LOG_ERROR, "Wait Discover Server Pack Overtime.");
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
    kplat::LockGuard store(m_csLock);
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
  ResetReplyEvent();
  CPktToolLogin packet;
  CopyField(packet.ToolName, static_cast<const char*>(param), sizeof(packet.ToolName));
  return SendAndWait(packet, "Wait Login Server Pack Overtime.");
}

int CNetManager::QueryImageList() {
  ResetReplyEvent();
  CPktToolQueryImgList packet;
  return SendAndWait(packet, "Wait Query Image List Pack Overtime.");
}

int CNetManager::QueryImageInfo() {
  ResetReplyEvent();
  CPktToolQueryImgInfo packet;
  return SendAndWait(packet, "Wait Query Image Info Pack Overtime.");
}

int CNetManager::CreateImage(const void* param) {
  ResetReplyEvent();
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
  ResetReplyEvent();
  CPktToolSelectImg packet;
  packet.Param = 0;
  packet.ImageId = LoadU32(param);
  return SendAndWait(packet, "Wait Select Image Pack Overtime.");
}

int CNetManager::SetAdmin(const void* param) {
  ResetReplyEvent();
  CPktToolSetAdmin packet;
  if (packet.m_Field.SetCount(1) != 0) return 1;
  CPSetClientPowerBaseInfor* record = packet.m_Field.GetAt(0);
  record->Param1 = 0;
  record->Param2 = LoadU32(param);
  return SendAndWait(packet, "Wait Set Admin Pack Overtime.");
}

int CNetManager::CancelAdmin(const void* param) {
  ResetReplyEvent();
  const uint8_t* p = static_cast<const uint8_t*>(param);
  CPktToolCancelAdmin packet;
  if (packet.m_Field.SetCount(1) != 0) return 1;
  CPCancelAdministratorBaseInfor* record = packet.m_Field.GetAt(0);
  record->Param1 = 0;
  record->Param2 = 0;
  record->Param3 = p[0];
  record->Param4 = p[1];
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
    case kLoginAck: {
      TCountedPtr<CPktToolLoginAck> ack(packet);
      if (!ack) break;
      OnLoginAck(*ack);
      return;
    }
    case kImageInfoAck:
      OnImageInfoAck(packet);
      return;
    case kSetAdminAck:
    case kCancelAdminAck:
    case kCreateImageAck:
      OnResultAck(*packet);
      return;
    case kSelectImageAck: {
      TCountedPtr<CPktToolSelectImgAck> ack(packet);
      if (!ack) break;
      OnSelectImageAck(*ack);
      return;
    }
    case kImageListAck: {
      TCountedPtr<CPktToolQueryImgInfoListAck> ack(packet);
      if (!ack) break;
      OnImageListAck(*ack);
      return;
    }
    default:
      break;
  }
  KLOG_AT(kSource, LOG_WARNING, "TcpRecvData cann't parse package type:%d.",
          static_cast<int>(packet->Type));
}

void CNetManager::OnUdpRecvPacket(uint32_t, TCountedPtr<CPacketHead>& packet,
                                  const char* senderIP, uint16_t) {
  if (!m_bStarted.load() || !packet) return;
  if (packet->Type == kDiscoverAck) {
    OnDiscoverAck(packet, senderIP);
    return;
  }
  KLOG_AT(kSource, LOG_WARNING, "UdpRecvData cann't parse package type:%d.",
          static_cast<int>(packet->Type));
}

void CNetManager::SignalReplyLocked() {
  if (m_hEvent != kplat::NoEvent()) kplat::EventSet(m_hEvent);
}

void CNetManager::OnDiscoverAck(TCountedPtr<CPacketHead>& packet, const char* senderIP) {
  TCountedPtr<CPktToolDiscoverAck> ack(packet);
  const CPDiscoverAckBaseInfor* record = ack ? ack->m_Field.GetAt(0) : nullptr;
  if (!record) {
    // No record, no port: keep what an earlier discovery found.
    KLOG_AT(kSource, LOG_WARNING, "Discover Server Pack without record from %s.",
            senderIP ? senderIP : "");
    return;
  }
  kplat::LockGuard store(m_csLock);
  if (!m_bStarted.load()) return;
  m_DiscoverInfo.ServerIP = StringToIp(senderIP);
  m_DiscoverInfo.ServerPort = static_cast<uint16_t>(record->TcpPort & 0xFFFF);
  if (AnswersCurrentRequest(ack->Type)) SignalReplyLocked();
}

void CNetManager::OnLoginAck(const CPktToolLoginAck& ack) {
  kplat::LockGuard store(m_csLock);
  if (!m_bStarted.load()) return;
  const bool current = AnswersCurrentRequest(ack.Type);
  if (current) m_nLastErrCode.store(static_cast<int32_t>(ack.ErrCode));
  m_ClientInfo.ClientType = static_cast<int32_t>(ack.ClientType);
  m_ClientInfo.ManagerEnable = static_cast<int32_t>(ack.ManagerEnable);
  m_ClientInfo.ExtInfo = static_cast<int32_t>(ack.ExtInfo);
  KLOG_AT(kSource, LOG_INFO, "RetLoginServer ClientType:%d, ManagerEnable:%d",
          m_ClientInfo.ClientType, m_ClientInfo.ManagerEnable);
  if (current) SignalReplyLocked();
}

void CNetManager::OnImageListAck(const CPktToolQueryImgInfoListAck& ack) {
  kplat::LockGuard store(m_csLock);
  if (!m_bStarted.load()) return;
  const bool current = AnswersCurrentRequest(ack.Type);
  if (current) m_nLastErrCode.store(static_cast<int32_t>(ack.ErrCode));
  m_listImageInfo.clear();
  for (uint32_t i = 0; i < ack.Images.m_nCount; ++i) {
    const CPImageBaseInfor* record = ack.Images.GetAt(i);
    if (!record) break;
    Kelvane::_IN_IMAGE_INFO info = {};
    info.ServerPort = static_cast<uint16_t>(ack.ServerPort & 0xFFFF);
    info.ServerIP = ack.ServerIP;
    info.ImageId = record->ImageId;
    info.Param1 = record->Param1;
    CopyBounded(info.Name, record->Name, sizeof(record->Name));
    m_listImageInfo.push_back(info);
  }
  KLOG_AT(kSource, LOG_INFO, "RetQueryImageList ServerIP:%d, ServerPort:%d",
          static_cast<int>(ack.ServerIP), static_cast<int>(ack.ServerPort));
  if (current) SignalReplyLocked();
}

void CNetManager::OnImageInfoAck(TCountedPtr<CPacketHead>& packet) {
  TCountedPtr<CPktToolQueryImgInfoAck> ack(packet);
  if (!ack) return;
  kplat::LockGuard store(m_csLock);
  if (!m_bStarted.load()) return;
  const bool current = AnswersCurrentRequest(ack->Type);
  if (current) m_nLastErrCode.store(static_cast<int32_t>(ack->ErrCode));
  m_mapSnapInfo.clear();
  for (uint32_t i = 0; i < ack->m_Field.m_nCount; ++i) {
    const CImgInfoEx* image = ack->m_Field.GetAt(i);
    if (!image) break;
    for (uint32_t j = 0; j < image->Snapshots.m_nCount; ++j) {
      const CImgSnapshotInfo* snap = image->Snapshots.GetAt(j);
      if (!snap) break;
      Kelvane::_IN_SNAP_INFO info = {};
      info.ImageId = image->ImageId;
      info.ImageParam3 = image->Param3;
      info.SnapshotId = snap->SnapshotId;
      info.Param2 = snap->Param2;
      info.Param3 = snap->Param3;
      info.Param4 = snap->Param4;
      info.Param5 = snap->Param5;
      info.Param6 = snap->Param6;
      CopyBounded(info.Text, snap->Text, sizeof(snap->Text));
      info.Time.wYear = snap->TimeField(0);
      info.Time.wMonth = snap->TimeField(1);
      info.Time.wDay = snap->TimeField(2);
      info.Time.wHour = snap->TimeField(3);
      info.Time.wMinute = snap->TimeField(4);
      info.Time.wSecond = snap->TimeField(5);
      // The first snapshot with an identifier wins.
      m_mapSnapInfo.emplace(info.SnapshotId, info);
    }
  }
  if (current) SignalReplyLocked();
}

void CNetManager::OnSelectImageAck(const CPktToolSelectImgAck& ack) {
  kplat::LockGuard store(m_csLock);
  if (!m_bStarted.load()) return;
  const bool current = AnswersCurrentRequest(ack.Type);
  if (current) m_nLastErrCode.store(static_cast<int32_t>(ack.ErrCode));
  m_SelectImageInfo.bSucc = ack.bSucc != 0;
  CopyBounded(m_SelectImageInfo.Path, ack.Path, sizeof(ack.Path));
  KLOG_AT(kSource, LOG_INFO, "RetSelectImageInfo bSucc:%d", m_SelectImageInfo.bSucc ? 1 : 0);
  if (current) SignalReplyLocked();
}

void CNetManager::OnResultAck(const CPacketHead& ack) {
  kplat::LockGuard store(m_csLock);
  if (!m_bStarted.load()) return;
  const bool current = AnswersCurrentRequest(ack.Type);
  if (current) m_nLastErrCode.store(static_cast<int32_t>(ack.ErrCode));
  if (current) SignalReplyLocked();
}

// ---- closed links ---------------------------------------------------------------

void CNetManager::OnTcpClosed(uint32_t link) {
  KLOG_AT(kSource, LOG_INFO, "TcpClosed hLink:%u; m_hTcpLink:%u.", link, m_hTcpLink.load());
  if (link == kInvalidHandle) return;
  uint32_t expected = link;
  if (!m_hTcpLink.compare_exchange_strong(expected, kInvalidHandle)) return;
  // The link is gone before the host hears of it, so a login that the host
  // starts from its callback connects again.
  m_bTcpConnected.store(false);
  TcpDestroy(link);
  KelvaneTcpClosedFn callback = m_pfnTcpClosed.load();
  if (callback) callback();
}

void CNetManager::OnUdpClosed(uint32_t endpoint) {
  KLOG_AT(kSource, LOG_INFO, "UdpClosed:%u.", endpoint);
  if (endpoint == kInvalidHandle) return;
  uint32_t expected = endpoint;
  if (m_hUdpLink.compare_exchange_strong(expected, kInvalidHandle)) UdpDestroy(endpoint);
}
