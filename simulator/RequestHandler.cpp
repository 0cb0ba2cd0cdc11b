#include "simulator/RequestHandler.h"

#include <cstdio>
#include <memory>

#include "protocol/PacketBytes.h"
#include "protocol/PacketFactory.h"
#include "protocol/ToolPackets.h"
#include "util/IPv4Text.h"
#include "util/Text.h"

namespace kdl::sim {
namespace {

using namespace PacketZVDiskless;
using kdl::util::CopyTerminated;
using kdl::util::FieldText;

// Offset of the head's Length word.
constexpr size_t kLengthOffset = 8;

std::string Hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// A reply's bytes with its result code.
std::vector<uint8_t> Encode(CPacketHead& packet, uint32_t errCode) {
  packet.ErrCode = errCode;
  return PacketBytes(packet);
}

void PutU32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A frame that no packet table knows: a head and 16 bytes of a pattern.
std::vector<uint8_t> UnknownFrame(uint32_t code) {
  std::vector<uint8_t> out(kPacketHeadSize + 16, 0);
  PutU32(out, 4, code);
  PutU32(out, kLengthOffset, static_cast<uint32_t>(out.size()));
  for (size_t i = 0; i < 16; ++i) out[kPacketHeadSize + i] = static_cast<uint8_t>(0xA0 + i);
  return out;
}

// The request as its class, or null when it was built as another one.
template <class P>
const P* As(const CPacketHead& request) {
  return dynamic_cast<const P*>(&request);
}

void FillSnapshot(const SnapshotEntry& entry, CImgSnapshotInfo* record) {
  record->SnapshotId = entry.id;
  record->Param2 = entry.param[0];
  record->Param3 = entry.param[1];
  record->Param4 = entry.param[2];
  record->Param5 = entry.param[3];
  record->Param6 = entry.param[4];
  CopyTerminated(record->Text, entry.text);
  for (int t = 0; t < 6; ++t) record->SetTimeField(t, entry.time[t]);
}

// Fills one image record with its snapshots; returns the number of snapshots.
size_t FillImage(const ImageEntry& img, CImgInfoEx* record) {
  record->ImageId = img.id;
  record->Param2 = img.param2;
  record->Param3 = img.param3;
  CopyTerminated(record->Text1, img.text1);
  record->Param4 = img.param4;
  CopyTerminated(record->Text2, img.text2);
  record->Param5 = img.param5;
  record->Param6 = img.param6;
  record->Snapshots.SetCount(static_cast<uint32_t>(img.snapshots.size()));
  for (size_t k = 0; k < img.snapshots.size(); ++k) {
    FillSnapshot(img.snapshots[k], record->Snapshots.GetAt(static_cast<uint32_t>(k)));
  }
  return img.snapshots.size();
}

// The reply of a request, with no records; null for the keep-alive, which
// has no reply.
std::unique_ptr<CPacketHead> EmptyReply(RequestKind kind) {
  switch (kind) {
    case RequestKind::kImages:
      return std::make_unique<CPktToolQueryImgInfoListAck>();
    case RequestKind::kSnapshots:
      return std::make_unique<CPktToolQueryImgInfoAck>();
    case RequestKind::kCreate:
      return std::make_unique<CPktToolCreateImageAck>();
    case RequestKind::kSelect:
      return std::make_unique<CPktToolSelectImgAck>();
    case RequestKind::kSetAdmin:
      return std::make_unique<CPktToolSetAdminAck>();
    case RequestKind::kCancelAdmin:
      return std::make_unique<CPktToolCancelAdminAck>();
    default:
      return nullptr;
  }
}

// Answers a request that came before a login: its reply without records
// and ErrCode kErrNotLoggedIn; the fault modes do not apply.
void RefuseNotLoggedIn(RequestKind kind, const std::string& line, Reply* r) {
  std::unique_ptr<CPacketHead> reply = EmptyReply(kind);
  if (!reply) {
    r->logLine = line + " -> not logged in, ignored";
    return;
  }
  r->bytes = Encode(*reply, kErrNotLoggedIn);
  r->send = !r->bytes.empty();
  r->logLine = line + " -> err=" + std::to_string(kErrNotLoggedIn) + " (not logged in)";
}

// The tool service's port as replies announce it: --announce-port (a proxy
// in front of the simulator), else the simulator's own.
uint32_t ServicePort(const ServerConfig& config, const PeerContext& ctx) {
  return config.announcePort ? config.announcePort : ctx.tcpPort;
}

}  // namespace

// The outcome of serving one request before the fault modes apply.
struct CRequestHandler::Served {
  std::unique_ptr<CPacketHead> reply;  // null: the request has no reply
  uint32_t err = kErrNone;
  std::string request;                 // what was asked
  std::string outcome;                 // what the reply says
  bool tagged = false;                 // --tag-replies: the result carries `tags`
  LinkTags tags;
};

std::string QuoteText(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out + "\"";
}

CRequestHandler::CRequestHandler(ImageStore& store, const ServerConfig& config)
    : m_store(store), m_config(config) {}

Reply CRequestHandler::Handle(const uint8_t* data, size_t size, const PeerContext& ctx) {
  Reply r;
  r.tags = ctx.tags;
  std::string where = std::string(ctx.udp ? "udp " : "tcp ") + ctx.peer + " ";
  if (size < kPacketHeadSize) {
    r.logLine = where + "frame of " + std::to_string(size) + " bytes is shorter than a head, ignored";
    return r;
  }
  CPktReadStream head(data, static_cast<uint32_t>(size), false);
  CPacketHead h;
  h.UnpackHead(head);
  r.kind = RequestOfCode(h.Type);
  const char* name = RequestName(r.kind);

  CPktReadStream in(data, static_cast<uint32_t>(size), false);
  std::unique_ptr<CPacketHead> pkt(CreatePacket(in));
  if (r.kind == RequestKind::kUnknown) {
    r.logLine = where + "type " + Hex32(h.Type) + " (" + std::to_string(size) +
                " bytes) is no request of the tool family, ignored";
    return r;
  }
  if ((r.kind == RequestKind::kDiscover) != ctx.udp) {
    r.logLine = where + name + " does not belong on " + (ctx.udp ? "udp" : "tcp") + ", ignored";
    return r;
  }
  if (!pkt) {
    r.logLine = where + name + " request of " + std::to_string(size) +
                " bytes does not decode, ignored";
    return r;
  }
  if (!ctx.udp && !ctx.loggedIn && r.kind != RequestKind::kLogin) {
    RefuseNotLoggedIn(r.kind, where + name, &r);
    return r;
  }
  // Counted per kind over the run, for faults of the Nth request.
  const FaultPlan fault = m_config.FaultFor(r.kind, ++m_served[static_cast<int>(r.kind)]);
  Served s = Serve(r.kind, *pkt, ctx, fault);
  if (m_config.tagReplies && !ctx.udp) {
    r.tags = s.tags = CountRequest(r.kind, *pkt, ctx.tags);
    s.tagged = AddTagRecords(s.tags, &s.reply);
  }
  ApplyFaults(s, fault, ctx.udp, where + name + s.request, &r);
  // A login answered with an error (a forced one) leaves the link as it was.
  r.loggedIn = r.kind == RequestKind::kLogin && !(fault.forceErr && fault.errCode != kErrNone);
  return r;
}

CRequestHandler::Served CRequestHandler::Serve(RequestKind kind, const CPacketHead& request,
                                               const PeerContext& ctx, const FaultPlan& fault) {
  switch (kind) {
    case RequestKind::kDiscover:
      return ServeDiscover(ctx);
    case RequestKind::kLogin:
      return ServeLogin(request);
    case RequestKind::kImages:
      return ServeImages(ctx);
    case RequestKind::kSnapshots:
      return ServeSnapshots();
    case RequestKind::kCreate:
      // A forced error refuses the request: the store stays as it was.
      return ServeCreate(request, fault.forceErr);
    case RequestKind::kSelect:
      return ServeSelect(request);
    case RequestKind::kSetAdmin:
      return ServeSetAdmin(request);
    case RequestKind::kCancelAdmin:
      return ServeCancelAdmin(request);
    case RequestKind::kHeartbeat:
    case RequestKind::kUnknown:
      break;
  }
  return Served();
}

CRequestHandler::Served CRequestHandler::ServeDiscover(const PeerContext& ctx) const {
  Served s;
  auto ack = std::make_unique<CPktToolDiscoverAck>();
  ack->m_Field.SetCount(1);
  const uint32_t port = ServicePort(m_config, ctx);
  ack->m_Field.GetAt(0)->TcpPort = port;
  s.outcome = " tcp_port=" + std::to_string(port);
  s.reply = std::move(ack);
  return s;
}

CRequestHandler::Served CRequestHandler::ServeLogin(const CPacketHead& request) const {
  Served s;
  const auto* req = As<CPktToolLogin>(request);
  auto ack = std::make_unique<CPktToolLoginAck>();
  ack->ClientType = m_config.clientType;
  ack->ManagerEnable = m_config.managerEnable;
  ack->ExtInfo = m_config.extInfo;
  s.request = " name=" + QuoteText(req ? FieldText(req->ToolName, sizeof req->ToolName) : "");
  s.outcome = " client_type=" + std::to_string(ack->ClientType) +
              " manager_enable=" + std::to_string(ack->ManagerEnable) +
              " ext_info=" + std::to_string(ack->ExtInfo);
  s.reply = std::move(ack);
  return s;
}

CRequestHandler::Served CRequestHandler::ServeImages(const PeerContext& ctx) const {
  Served s;
  auto ack = std::make_unique<CPktToolQueryImgInfoListAck>();
  const auto& images = m_store.Images();
  ack->ServerIP = ctx.serverIp;
  ack->ServerPort = ServicePort(m_config, ctx);
  ack->Images.SetCount(static_cast<uint32_t>(images.size()));
  for (size_t i = 0; i < images.size(); ++i) {
    CPImageBaseInfor* rec = ack->Images.GetAt(static_cast<uint32_t>(i));
    rec->ImageId = images[i].id;
    CopyTerminated(rec->Name, images[i].name);
    rec->Param1 = images[i].param1;
    rec->Param2 = images[i].param2;
  }
  s.outcome = " server=" + kdl::util::IPv4Text(ctx.serverIp) + ":" +
              std::to_string(ack->ServerPort) + " images=" + std::to_string(images.size());
  s.reply = std::move(ack);
  return s;
}

CRequestHandler::Served CRequestHandler::ServeSnapshots() const {
  Served s;
  auto ack = std::make_unique<CPktToolQueryImgInfoAck>();
  const auto& images = m_store.Images();
  size_t snaps = 0;
  ack->m_Field.SetCount(static_cast<uint32_t>(images.size()));
  for (size_t i = 0; i < images.size(); ++i) {
    snaps += FillImage(images[i], ack->m_Field.GetAt(static_cast<uint32_t>(i)));
  }
  s.outcome = " images=" + std::to_string(images.size()) + " snapshots=" + std::to_string(snaps);
  s.reply = std::move(ack);
  return s;
}

CRequestHandler::Served CRequestHandler::ServeCreate(const CPacketHead& request, bool refuse) {
  Served s;
  const auto* req = As<CPktToolCreateImage>(request);
  const CPImageBaseInfor* rec = req ? req->m_Field.GetAt(0) : nullptr;
  if (!rec) {
    s.request = " without a record";
    s.err = kErrInvalidRequest;
  } else {
    std::string nm = FieldText(rec->Name, sizeof rec->Name);
    s.request = " name=" + QuoteText(nm) + " param1=" + std::to_string(rec->Param1) +
                " param2=" + std::to_string(rec->Param2);
    uint32_t id = 0;
    if (!refuse) s.err = m_store.Create(nm, rec->Param1, rec->Param2, &id, m_config.maxImages);
    if (!refuse && s.err == kErrNone) s.outcome = " image_id=" + std::to_string(id);
  }
  s.reply = std::make_unique<CPktToolCreateImageAck>();
  return s;
}

CRequestHandler::Served CRequestHandler::ServeSelect(const CPacketHead& request) const {
  Served s;
  const auto* req = As<CPktToolSelectImg>(request);
  auto ack = std::make_unique<CPktToolSelectImgAck>();
  uint32_t id = req ? req->ImageId : 0;
  s.request = " image_id=" + std::to_string(id);
  const ImageEntry* img = m_store.Find(id);
  if (!img) {
    s.err = kErrUnknownImage;
  } else {
    std::string path =
        img->path.empty() ? m_config.imageRoot + "/" + img->name + ".img" : img->path;
    if (path.size() > kMaxSelectPath) path.resize(kMaxSelectPath);
    ack->bSucc = 1;
    CopyTerminated(ack->Path, path);
    s.outcome = " succ=1 path=" + QuoteText(path);
  }
  s.reply = std::move(ack);
  return s;
}

CRequestHandler::Served CRequestHandler::ServeSetAdmin(const CPacketHead& request) const {
  Served s;
  const auto* req = As<CPktToolSetAdmin>(request);
  const CPSetClientPowerBaseInfor* rec = req ? req->m_Field.GetAt(0) : nullptr;
  if (!rec) {
    s.request = " without a record";
    s.err = kErrInvalidRequest;
  } else {
    s.request =
        " param1=" + std::to_string(rec->Param1) + " param2=" + std::to_string(rec->Param2);
  }
  s.reply = std::make_unique<CPktToolSetAdminAck>();
  return s;
}

CRequestHandler::Served CRequestHandler::ServeCancelAdmin(const CPacketHead& request) const {
  Served s;
  const auto* req = As<CPktToolCancelAdmin>(request);
  const CPCancelAdministratorBaseInfor* rec = req ? req->m_Field.GetAt(0) : nullptr;
  if (!rec) {
    s.request = " without a record";
    s.err = kErrInvalidRequest;
  } else {
    s.request = " flags=" + std::to_string(rec->Param3) + "," + std::to_string(rec->Param4) +
                " text=" + QuoteText(FieldText(rec->Text, sizeof rec->Text));
  }
  s.reply = std::make_unique<CPktToolCancelAdminAck>();
  return s;
}

void CRequestHandler::ApplyFaults(Served& s, const FaultPlan& fault, bool udp, std::string line,
                                  Reply* r) const {
  if (!s.reply) {
    r->logLine = line + " -> no reply expected";
    return;
  }
  const uint32_t err = fault.forceErr ? fault.errCode : s.err;
  line += udp ? " -> reply" : " -> err=" + std::to_string(err);
  if (err == kErrNone || udp) line += s.outcome;
  if (fault.forceErr) line += " (forced error)";
  if (fault.noReply) {
    r->logLine = line + " [fault: not sent]";
    return;
  }
  if (fault.unknownType) {
    r->bytes = UnknownFrame(m_config.unknownCode);
    line += " [fault: sent type " + Hex32(m_config.unknownCode) + " instead]";
  } else {
    r->bytes = Encode(*s.reply, s.tagged ? TaggedResult(s.tags, err) : err);
    if (s.tagged) line += " [tag " + TagText({s.tags.session, s.tags.serial, 0}, false) + "]";
    if (fault.badLength && r->bytes.size() >= kPacketHeadSize) {
      const int64_t size = static_cast<int64_t>(r->bytes.size());
      const uint32_t wire =
          static_cast<uint32_t>(fault.lengthRelative ? size + fault.lengthValue : fault.lengthValue);
      PutU32(r->bytes, kLengthOffset, wire);
      line += " [fault: Length " + std::to_string(wire) + " for " + std::to_string(size) +
              " bytes]";
    }
  }
  r->send = !r->bytes.empty();
  r->delayMs = fault.delayMs;
  if (r->delayMs) line += " [delayed " + std::to_string(r->delayMs) + " ms]";
  r->logLine = line;
}

}  // namespace kdl::sim
