// The requests of SendAskPack, one row each: the request packet and how its
// parameter fills it, the route, the reply awaited, what the reply stores,
// and the line logged when the reply does not come. Dispatch, the parameter
// check and reply routing look the rows up.
#include <cstddef>
#include <cstring>

#include "client/LogTexts.h"
#include "client/NetManager.h"
#include "protocol/ClientPackets.h"
#include "protocol/ToolPackets.h"
#include "util/Text.h"

using namespace PacketZVDiskless;

namespace {

// ---- how a parameter fills its request packet ----------------------------------
// The fields are read by offset, since the host's memory need not be
// aligned as the structures are. False: nothing is sent, the result is 1.

uint32_t LoadU32(const void* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

// The tool name: at most its first 32 bytes, as strncpy copies them.
bool FillLogin(CPktToolLogin& packet, const void* param) {
  kdl::util::CopyField(packet.ToolName, static_cast<const char*>(param),
                       sizeof(packet.ToolName));
  return true;
}

// KelvaneCreateImageParam; Param1 0 is refused.
bool FillCreateImage(CPktToolCreateImage& packet, const void* param) {
  const char* p = static_cast<const char*>(param);
  const uint32_t param1 = LoadU32(p + offsetof(KelvaneCreateImageParam, Param1));
  if (packet.m_Field.SetCount(1) != 0 || param1 == 0) return false;
  CPImageBaseInfor* record = packet.m_Field.GetAt(0);
  kdl::util::CopyTerminated(record->Name, p, sizeof(KelvaneCreateImageParam::Name));
  record->Param1 = param1;
  record->Param2 = LoadU32(p + offsetof(KelvaneCreateImageParam, Param2));
  return true;
}

// The image identifier.
bool FillSelectImage(CPktToolSelectImg& packet, const void* param) {
  packet.Param = 0;
  packet.ImageId = LoadU32(param);
  return true;
}

// The value that the server reads as the client.
bool FillSetAdmin(CPktToolSetAdmin& packet, const void* param) {
  if (packet.m_Field.SetCount(1) != 0) return false;
  CPSetClientPowerBaseInfor* record = packet.m_Field.GetAt(0);
  record->Param1 = 0;
  record->Param2 = LoadU32(param);
  return true;
}

// KelvaneCancelAdminParam: the flag bytes widened, the text bounded.
bool FillCancelAdmin(CPktToolCancelAdmin& packet, const void* param) {
  const uint8_t* p = static_cast<const uint8_t*>(param);
  if (packet.m_Field.SetCount(1) != 0) return false;
  CPCancelAdministratorBaseInfor* record = packet.m_Field.GetAt(0);
  record->Param1 = 0;
  record->Param2 = 0;
  record->Param3 = p[offsetof(KelvaneCancelAdminParam, Flag1)];
  record->Param4 = p[offsetof(KelvaneCancelAdminParam, Flag2)];
  kdl::util::CopyField(record->Text,
                       reinterpret_cast<const char*>(p + offsetof(KelvaneCancelAdminParam, Text)),
                       sizeof(record->Text));
  return true;
}

// A packet that takes nothing from the parameter.
template <class Packet>
bool TakesNothing(Packet&, const void*) {
  return true;
}

// The reply class a typed reply handler reads.
template <class Handler>
struct ReplyOf;
template <class Ack>
struct ReplyOf<void (CNetManager::*)(uint32_t, const Ack&)> {
  using Type = Ack;
};

}  // namespace

template <class Packet>
constexpr CNetManager::RequestRow CNetManager::Row(uint32_t askType, Route route,
                                                   uint32_t replyCode, StoreFn store,
                                                   const char* timeoutText) {
  return {askType,   route, &CNetManager::SendRequest<Packet, TakesNothing<Packet>>,
          false,     replyCode, store, timeoutText};
}

template <class Packet, bool (*Fill)(Packet&, const void*)>
constexpr CNetManager::RequestRow CNetManager::Row(uint32_t askType, Route route,
                                                   uint32_t replyCode, StoreFn store,
                                                   const char* timeoutText) {
  return {askType, route, &CNetManager::SendRequest<Packet, Fill>, true, replyCode, store,
          timeoutText};
}

template <class Packet, bool (*Fill)(Packet&, const void*)>
int CNetManager::SendRequest(const RequestRow& row, const void* param) {
  Packet packet;
  if (!Fill(packet, param)) return 1;
  return SendOnRoute(row, packet);
}

template <auto Handler>
bool CNetManager::Stored(uint32_t link, TCountedPtr<CPacketHead>& packet, const char*) {
  TCountedPtr<typename ReplyOf<decltype(Handler)>::Type> ack(packet);
  if (!ack) return false;
  (this->*Handler)(link, *ack);
  return true;
}

// One row per request type. Adding a request: its KELVANE_ASK_* type in
// KelvaneDll.h, and here its row (with a Fill function when it reads a
// parameter, a reply handler when its reply stores more than the result).
constexpr CNetManager::RequestRow CNetManager::s_requests[] = {
    Row<CPktToolDiscover>(KELVANE_ASK_DISCOVER, Route::kUdpBroadcast, CPktToolDiscoverAck::kCode,
                          &CNetManager::OnDiscoverAck, kdl::logtext::kWaitDiscover),
    Row<CPktToolLogin, FillLogin>(KELVANE_ASK_LOGIN, Route::kTcpConnecting,
                                  CPktToolLoginAck::kCode,
                                  &CNetManager::Stored<&CNetManager::OnLoginAck>, kdl::logtext::kWaitLogin),
    Row<CPktToolQueryImgList>(KELVANE_ASK_IMAGE_LIST, Route::kTcp,
                              CPktToolQueryImgInfoListAck::kCode,
                              &CNetManager::Stored<&CNetManager::OnImageListAck>,
                              kdl::logtext::kWaitImageList),
    Row<CPktToolQueryImgInfo>(KELVANE_ASK_IMAGE_INFO, Route::kTcp, CPktToolQueryImgInfoAck::kCode,
                              &CNetManager::Stored<&CNetManager::OnImageInfoAck>,
                              kdl::logtext::kWaitImageInfo),
    Row<CPktToolCreateImage, FillCreateImage>(KELVANE_ASK_CREATE_IMAGE, Route::kTcp,
                                              CPktToolCreateImageAck::kCode,
                                              &CNetManager::Stored<&CNetManager::OnResultAck>,
                                              kdl::logtext::kWaitCreate),
    Row<CPktToolSelectImg, FillSelectImage>(KELVANE_ASK_SELECT_IMAGE, Route::kTcp,
                                            CPktToolSelectImgAck::kCode,
                                            &CNetManager::Stored<&CNetManager::OnSelectImageAck>,
                                            kdl::logtext::kWaitSelect),
    Row<CPktToolSetAdmin, FillSetAdmin>(KELVANE_ASK_SET_ADMIN, Route::kTcp,
                                        CPktToolSetAdminAck::kCode,
                                        &CNetManager::Stored<&CNetManager::OnResultAck>,
                                        kdl::logtext::kWaitSetAdmin),
    Row<CPktToolCancelAdmin, FillCancelAdmin>(KELVANE_ASK_CANCEL_ADMIN, Route::kTcp,
                                              CPktToolCancelAdminAck::kCode,
                                              &CNetManager::Stored<&CNetManager::OnResultAck>,
                                              kdl::logtext::kWaitCancelAdmin),
    Row<CPktClientKeepAlive>(KELVANE_ASK_HEARTBEAT, Route::kTcpNoReply, 0, nullptr, nullptr),
};

bool CNetManager::SetsLastErrCode(const RequestRow* row) {
  return row && AwaitsTcpReply(row->route);
}

const CNetManager::RequestRow* CNetManager::FindRequest(uint32_t askType) {
  for (const RequestRow& row : s_requests) {
    if (row.askType == askType) return &row;
  }
  return nullptr;
}

const CNetManager::RequestRow* CNetManager::FindReply(uint32_t replyCode, bool udp) {
  // A link may owe a reply of every type that a TCP request awaits.
  static_assert(
      [] {
        size_t types = 0;
        for (const RequestRow& row : s_requests) types += AwaitsTcpReply(row.route);
        return types;
      }() <= COwedReplies::kTypes,
      "COwedReplies has no room for every reply type of the TCP requests");
  for (const RequestRow& row : s_requests) {
    if (row.store && row.replyCode == replyCode && (row.route == Route::kUdpBroadcast) == udp)
      return &row;
  }
  return nullptr;
}

