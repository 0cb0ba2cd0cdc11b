// Fuzzes the library's whole receive path: arbitrary bytes, in arbitrary
// chunk sizes (fuzz/FuzzStream.h), through the TCP packet cutter (or as UDP
// datagrams), the event handler's receive path and the network manager's
// reply handlers, over an in-memory transport (fuzz/FuzzTransport.h).
//
// Flags byte, taken mod 11: 1-9 run that request (KELVANE_ASK_*) and the
// bytes are the server's answer to it, after which the link (or discovery
// endpoint) closes; 0 delivers the bytes on TCP and 10 as datagrams with no
// request in flight. Bit 4 (of the raw byte) stops and starts the manager
// afterwards.
//
// Aborts when a reply that no request awaits changes the results, when a
// request changes results it has nothing to do with, when a packet reaches
// the manager with a Length other than its size, or when packing a received
// packet into fewer than Size() bytes does not fail.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client/NetManager.h"
#include "describe/PacketDescribe.h"
#include "fuzz/FuzzTransport.h"
#include "log/LogRateLimit.h"
#include "log/LogWriter.h"
#include "platform/LocalAddress.h"
#include "protocol/ClientPackets.h"
#include "protocol/ToolPackets.h"

namespace {

using PacketZVDiskless::CPacketHead;
using kdl::fuzz::CStreamInput;

[[noreturn]] void Fail(const char* what, const char* about = "") {
  std::fprintf(stderr, "receive_fuzzer: %s %s\n", what, about);
  std::abort();
}

[[noreturn]] void Fail(const char* what, uint32_t type) {
  char text[32];
  std::snprintf(text, sizeof text, "(type 0x%08X)", type);
  Fail(what, text);
}

// A packet the receive path hands on: its Length is the bytes received, and
// it never packs into fewer than Size() bytes nor writes past its buffer.
// One that keeps its data in the stream counts the data in Size() and packs
// only when given data to send; the others pack into Size() bytes. The disk
// write request is the exception: it packs its fixed part alone and its
// sender appends the data.
void CheckPacket(const CPacketHead& p, const uint8_t* data, uint32_t size) {
  using PacketZVDiskless::CPktWriteDiskIO;
  if (p.Length != size) Fail("packet handed on with a Length other than its size", p.Type);
  const uint32_t n = p.Size();
  const bool keepsData = kdl::describe::KeepsDataInStream(p.Type);
  const uint32_t packs = p.Type == CPktWriteDiskIO::kCode ? CPktWriteDiskIO::kFixedSize : n;
  if (n > size) Fail("Size() beyond the bytes received", p.Type);
  if (keepsData) kdl::describe::DescribeDecoded(p, data, size, n, false);
  for (uint32_t room : {n, n - 1, n / 2}) {
    std::vector<uint8_t> out(room);  // exactly `room`: a write past it is caught
    PacketZVDiskless::CPktWriteStream w(out.data(), room, false);
    const bool packed = p.Pack(w) == 0;
    if (packed && (room < packs || w.m_nPos != packs))
      Fail("packed into fewer bytes than it announces", p.Type);
    if (!packed && room == n && !keepsData) Fail("no pack into Size() bytes", p.Type);
    if (w.m_nPos > room) Fail("wrote past the buffer", p.Type);
  }
}

// The manager, with the received bytes kept for the checks above.
class CFuzzManager : public CNetManager {
 public:
  void OnTcpRecv(uint32_t link, const uint8_t* data, uint32_t size) override {
    m_pData = data;
    m_nSize = size;
    CNetManager::OnTcpRecv(link, data, size);
  }
  void OnUdpRecv(uint32_t endpoint, const uint8_t* data, uint32_t size, const char* ip,
                 uint16_t port) override {
    m_pData = data;
    m_nSize = size;
    CNetManager::OnUdpRecv(endpoint, data, size, ip, port);
  }
  void OnTcpRecvPacket(uint32_t link, TCountedPtr<CPacketHead>& packet) override {
    if (packet) CheckPacket(*packet, m_pData, m_nSize);
    CNetManager::OnTcpRecvPacket(link, packet);
  }
  void OnUdpRecvPacket(uint32_t endpoint, TCountedPtr<CPacketHead>& packet, const char* ip,
                       uint16_t port) override {
    if (packet) CheckPacket(*packet, m_pData, m_nSize);
    CNetManager::OnUdpRecvPacket(endpoint, packet, ip, port);
  }

 private:
  const uint8_t* m_pData = nullptr;
  uint32_t m_nSize = 0;
};

CFuzzManager* g_manager = nullptr;
uint64_t g_clockMs = 0;

// The results a host reads, as bytes, one part per kind of result.
enum Part { kErr, kClient, kDiscover, kSelect, kList, kMap, kPartCount };
const char* const kPartNames[kPartCount] = {"(last error code)", "(client record)",
                                            "(discover record)", "(select record)",
                                            "(image list)", "(snapshot map)"};
using Bytes = std::vector<uint8_t>;

template <class T>
void Append(Bytes& out, const T& v) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&v);
  out.insert(out.end(), p, p + sizeof v);
}

std::vector<Bytes> Results() {
  std::vector<Bytes> r(kPartCount);
  Append(r[kErr], g_manager->GetLastErrCode());
  Append(r[kClient], g_manager->GetClientInfo());
  Append(r[kDiscover], g_manager->GetDiscoverInfo());
  Append(r[kSelect], g_manager->GetSelectImageInfo());
  for (const auto& info : g_manager->GetListImageInfo()) Append(r[kList], info);
  for (const auto& entry : g_manager->GetMapSnapInfo()) {
    Append(r[kMap], entry.first);
    Append(r[kMap], entry.second);
  }
  return r;
}

// The results that a request of `type` may change, one bit per kind of
// result (none for 0, when no request is in flight).
unsigned PartsOf(uint32_t type) {
  switch (type) {
    case KELVANE_ASK_DISCOVER: return 1u << kDiscover;
    case KELVANE_ASK_LOGIN: return 1u << kErr | 1u << kClient;
    case KELVANE_ASK_IMAGE_LIST: return 1u << kErr | 1u << kList;
    case KELVANE_ASK_IMAGE_INFO: return 1u << kErr | 1u << kMap;
    case KELVANE_ASK_SELECT_IMAGE: return 1u << kErr | 1u << kSelect;
    case KELVANE_ASK_CREATE_IMAGE:
    case KELVANE_ASK_SET_ADMIN:
    case KELVANE_ASK_CANCEL_ADMIN: return 1u << kErr;
    default: return 0;
  }
}

// A login reply with ErrCode 0, written out by hand.
Bytes LoginReply() {
  return {0, 0, 0, 0, 0x01, 0x00, 0x02, 0x80, 36, 0, 0, 0, 0, 0, 0, 0, 0, 0,
          0, 0, 0,    0,    0,    0,    1,  0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
}

// The parameter of each request, as a host passes it.
void* ParamOf(uint32_t type) {
  static char name[32] = "fuzz";
  static KelvaneCreateImageParam create = {"image", 1, 2};
  static uint32_t number = 1;
  static KelvaneCancelAdminParam cancel = {1, 0, "text"};
  switch (type) {
    case KELVANE_ASK_LOGIN: return name;
    case KELVANE_ASK_CREATE_IMAGE: return &create;
    case KELVANE_ASK_SELECT_IMAGE:
    case KELVANE_ASK_SET_ADMIN: return &number;
    case KELVANE_ASK_CANCEL_ADMIN: return &cancel;
    default: return nullptr;
  }
}

// Requests after the login, and bytes between requests, need a link: log in
// with a good reply.
void LogInFirst(uint32_t type, bool udp) {
  if (udp || type == KELVANE_ASK_DISCOVER || type == KELVANE_ASK_LOGIN ||
      g_manager->IsTcpConnected())
    return;
  kdl::fuzz::AnswerNextSend(LoginReply());
  if (g_manager->SendAskPack(KELVANE_ASK_LOGIN, ParamOf(KELVANE_ASK_LOGIN)) != 0)
    Fail("a good login reply did not log in");
}

// Runs request `type` with the input as the server's answer.
void Ask(uint32_t type, const CStreamInput& input) {
  kdl::fuzz::FeedNextSend(&input);
  g_manager->SendAskPack(type, ParamOf(type));
  kdl::fuzz::ForgetAnswer();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CLogWriter::Instance()->m_nOutputMask = 0;  // lines are built, and written nowhere
  kdl::log::CLogRateLimit::SetClockForTest([] { return g_clockMs; });
  kdl::plat::SetNetworkTablesSourceForTest(
      [] { return kdl::plat::TablesWithOneAddress("10.0.0.2"); });
  g_manager = new CFuzzManager();  // lives as long as the process
  if (!g_manager->StartServer(nullptr)) Fail("the manager does not start");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CStreamInput input;
  if (size > (1u << 20) || !input.Parse(data, size)) return 0;
  g_clockMs += kdl::log::CLogRateLimit::kWindowMs;  // every input may log its reports
  const uint32_t choice = input.Flags() % 11;
  const uint32_t type = choice <= 9 ? choice : 0;
  LogInFirst(type, choice == 10);
  const std::vector<Bytes> before = Results();
  if (choice == 0) {
    kdl::fuzz::FeedTcp(g_manager->TcpLink(), input);
  } else if (choice == 10) {
    kdl::fuzz::FeedUdp(g_manager->UdpLink(), input);
  } else {
    Ask(type, input);
  }
  const std::vector<Bytes> after = Results();
  const unsigned may = PartsOf(type);
  for (int part = 0; part < kPartCount; ++part)
    if (!(may & 1u << part) && before[part] != after[part])
      Fail("a result changed that no awaited reply carries", kPartNames[part]);
  if (input.Flags() & 0x10) {
    g_manager->StopServer();
    if (!g_manager->GetListImageInfo().empty() || !g_manager->GetMapSnapInfo().empty())
      Fail("results left after a stop");
    if (!g_manager->StartServer(nullptr)) Fail("the manager does not start again");
  }
  return 0;
}
