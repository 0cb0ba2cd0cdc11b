#include "tools/server/RequestHandler.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "protocol/PacketFactory.h"
#include "protocol/ToolPackets.h"

namespace kelvane_sim {
namespace {

using namespace PacketZVDiskless;

std::string Hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// Packs a reply with Length = Size() into a zero-filled buffer.
std::vector<uint8_t> Encode(CPacketHead& packet, uint32_t errCode) {
  packet.ErrCode = errCode;
  packet.Length = packet.Size();
  std::vector<uint8_t> out(packet.Length, 0);
  CPktWriteStream w(out.data(), static_cast<uint32_t>(out.size()), false);
  if (packet.Pack(w)) out.clear();
  return out;
}

// Copies a text into a fixed field, zero-padded; the field keeps a NUL.
void PutText(char* field, size_t n, const std::string& text) {
  std::memset(field, 0, n);
  std::memcpy(field, text.data(), text.size() < n ? text.size() : n - 1);
}

void PutU32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A frame that no packet table knows: a head and 16 bytes of a pattern.
std::vector<uint8_t> UnknownFrame(uint32_t code) {
  std::vector<uint8_t> out(kPacketHeadSize + 16, 0);
  PutU32(out, 4, code);
  PutU32(out, 8, static_cast<uint32_t>(out.size()));
  for (size_t i = 0; i < 16; ++i) out[kPacketHeadSize + i] = static_cast<uint8_t>(0xA0 + i);
  return out;
}

// The outcome of serving one request before faults are applied.
struct Served {
  std::unique_ptr<CPacketHead> reply;  // null: the request has no reply
  uint32_t err = kErrNone;
  std::string request;                 // what was asked
  std::string outcome;                 // what the reply says
};

}  // namespace

std::string FieldText(const char* p, size_t n) { return std::string(p, strnlen(p, n)); }

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

std::string DottedIp(uint32_t ip) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF,
                ip & 0xFF);
  return buf;
}

CRequestHandler::CRequestHandler(ImageStore& store, const ServerConfig& config)
    : m_store(store), m_config(config) {}

Reply CRequestHandler::Handle(const uint8_t* data, size_t size, const PeerContext& ctx) {
  Reply r;
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

  const FaultPlan& fault = m_config.Fault(r.kind);
  Served s;
  switch (r.kind) {
    case RequestKind::kDiscover: {
      auto ack = std::make_unique<CPktToolDiscoverAck>();
      ack->m_Field.SetCount(1);
      ack->m_Field.GetAt(0)->TcpPort = ctx.tcpPort;
      s.outcome = " tcp_port=" + std::to_string(ctx.tcpPort);
      s.reply = std::move(ack);
      break;
    }
    case RequestKind::kLogin: {
      auto* req = dynamic_cast<CPktToolLogin*>(pkt.get());
      auto ack = std::make_unique<CPktToolLoginAck>();
      ack->ClientType = m_config.clientType;
      ack->ManagerEnable = m_config.managerEnable;
      ack->ExtInfo = m_config.extInfo;
      s.request = " name=" + QuoteText(req ? FieldText(req->ToolName, 32) : "");
      s.outcome = " client_type=" + std::to_string(ack->ClientType) +
                  " manager_enable=" + std::to_string(ack->ManagerEnable) +
                  " ext_info=" + std::to_string(ack->ExtInfo);
      s.reply = std::move(ack);
      break;
    }
    case RequestKind::kImages: {
      auto ack = std::make_unique<CPktToolQueryImgInfoListAck>();
      const auto& images = m_store.Images();
      ack->ServerIP = ctx.serverIp;
      ack->ServerPort = ctx.tcpPort;
      ack->Images.SetCount(static_cast<uint32_t>(images.size()));
      for (size_t i = 0; i < images.size(); ++i) {
        CPImageBaseInfor* rec = ack->Images.GetAt(static_cast<uint32_t>(i));
        rec->ImageId = images[i].id;
        PutText(rec->Name, sizeof rec->Name, images[i].name);
        rec->Param1 = images[i].param1;
        rec->Param2 = images[i].param2;
      }
      s.outcome = " server=" + DottedIp(ctx.serverIp) + ":" + std::to_string(ctx.tcpPort) +
                  " images=" + std::to_string(images.size());
      s.reply = std::move(ack);
      break;
    }
    case RequestKind::kSnapshots: {
      auto ack = std::make_unique<CPktToolQueryImgInfoAck>();
      const auto& images = m_store.Images();
      size_t snaps = 0;
      ack->m_Field.SetCount(static_cast<uint32_t>(images.size()));
      for (size_t i = 0; i < images.size(); ++i) {
        const ImageEntry& img = images[i];
        CImgInfoEx* rec = ack->m_Field.GetAt(static_cast<uint32_t>(i));
        rec->ImageId = img.id;
        rec->Param2 = img.param2;
        rec->Param3 = img.param3;
        PutText(rec->Text1, sizeof rec->Text1, img.text1);
        rec->Param4 = img.param4;
        PutText(rec->Text2, sizeof rec->Text2, img.text2);
        rec->Param5 = img.param5;
        rec->Param6 = img.param6;
        rec->Snapshots.SetCount(static_cast<uint32_t>(img.snapshots.size()));
        for (size_t k = 0; k < img.snapshots.size(); ++k) {
          const SnapshotEntry& se = img.snapshots[k];
          CImgSnapshotInfo* sr = rec->Snapshots.GetAt(static_cast<uint32_t>(k));
          sr->SnapshotId = se.id;
          sr->Param2 = se.param[0];
          sr->Param3 = se.param[1];
          sr->Param4 = se.param[2];
          sr->Param5 = se.param[3];
          sr->Param6 = se.param[4];
          PutText(sr->Text, sizeof sr->Text, se.text);
          for (int t = 0; t < 6; ++t) sr->SetTimeField(t, se.time[t]);
          ++snaps;
        }
      }
      s.outcome = " images=" + std::to_string(images.size()) +
                  " snapshots=" + std::to_string(snaps);
      s.reply = std::move(ack);
      break;
    }
    case RequestKind::kCreate: {
      auto* req = dynamic_cast<CPktToolCreateImage*>(pkt.get());
      const CPImageBaseInfor* rec = req ? req->m_Field.GetAt(0) : nullptr;
      if (!rec) {
        s.request = " without a record";
        s.err = kErrInvalidRequest;
      } else {
        std::string nm = FieldText(rec->Name, sizeof rec->Name);
        s.request = " name=" + QuoteText(nm) + " param1=" + std::to_string(rec->Param1) +
                    " param2=" + std::to_string(rec->Param2);
        uint32_t id = 0;
        // A forced error refuses the request: the store stays as it was.
        if (!fault.forceErr) s.err = m_store.Create(nm, rec->Param1, rec->Param2, &id);
        if (!fault.forceErr && s.err == kErrNone) s.outcome = " image_id=" + std::to_string(id);
      }
      s.reply = std::make_unique<CSimplePacketHead<kCodeCreate | kReplyBit>>();
      break;
    }
    case RequestKind::kSelect: {
      auto* req = dynamic_cast<CPktToolSelectImg*>(pkt.get());
      auto ack = std::make_unique<CPktToolSelectImgAck>();
      uint32_t id = req ? req->ImageId : 0;
      s.request = " image_id=" + std::to_string(id);
      const ImageEntry* img = m_store.Find(id);
      if (!img) {
        s.err = kErrUnknownImage;
      } else {
        std::string path = img->path.empty() ? m_config.imageRoot + "/" + img->name + ".img"
                                             : img->path;
        if (path.size() > kMaxSelectPath) path.resize(kMaxSelectPath);
        ack->bSucc = 1;
        PutText(ack->Path, sizeof ack->Path, path);
        s.outcome = " succ=1 path=" + QuoteText(path);
      }
      s.reply = std::move(ack);
      break;
    }
    case RequestKind::kSetAdmin: {
      auto* req = dynamic_cast<CPktToolSetAdmin*>(pkt.get());
      const CPSetClientPowerBaseInfor* rec = req ? req->m_Field.GetAt(0) : nullptr;
      if (!rec) {
        s.request = " without a record";
        s.err = kErrInvalidRequest;
      } else {
        s.request = " param1=" + std::to_string(rec->Param1) +
                    " param2=" + std::to_string(rec->Param2);
      }
      s.reply = std::make_unique<CSimplePacketHead<kCodeSetAdmin | kReplyBit>>();
      break;
    }
    case RequestKind::kCancelAdmin: {
      auto* req = dynamic_cast<CPktToolCancelAdmin*>(pkt.get());
      const CPCancelAdministratorBaseInfor* rec = req ? req->m_Field.GetAt(0) : nullptr;
      if (!rec) {
        s.request = " without a record";
        s.err = kErrInvalidRequest;
      } else {
        s.request = " flags=" + std::to_string(rec->Param3) + "," + std::to_string(rec->Param4) +
                    " text=" + QuoteText(FieldText(rec->Text, sizeof rec->Text));
      }
      s.reply = std::make_unique<CSimplePacketHead<kCodeCancelAdmin | kReplyBit>>();
      break;
    }
    case RequestKind::kHeartbeat:
    case RequestKind::kUnknown:
      break;
  }

  std::string line = where + name + s.request;
  if (!s.reply) {
    r.logLine = line + " -> no reply expected";
    return r;
  }
  uint32_t err = fault.forceErr ? fault.errCode : s.err;
  if (ctx.udp) {
    line += " -> reply";
  } else {
    line += " -> err=" + std::to_string(err);
  }
  if (err == kErrNone || ctx.udp) line += s.outcome;
  if (fault.forceErr) line += " (forced error)";

  if (fault.noReply) {
    r.logLine = line + " [fault: not sent]";
    return r;
  }
  if (fault.unknownType) {
    r.bytes = UnknownFrame(m_config.unknownCode);
    line += " [fault: sent type " + Hex32(m_config.unknownCode) + " instead]";
  } else {
    r.bytes = Encode(*s.reply, err);
    if (fault.badLength && r.bytes.size() >= kPacketHeadSize) {
      int64_t len = fault.lengthRelative ? int64_t(r.bytes.size()) + fault.lengthValue
                                         : fault.lengthValue;
      uint32_t wire = static_cast<uint32_t>(len);
      PutU32(r.bytes, 8, wire);
      line += " [fault: Length " + std::to_string(wire) + " for " +
              std::to_string(r.bytes.size()) + " bytes]";
    }
  }
  r.send = !r.bytes.empty();
  r.delayMs = fault.delayMs;
  if (r.delayMs) line += " [delayed " + std::to_string(r.delayMs) + " ms]";
  r.logLine = line;
  return r;
}

}  // namespace kelvane_sim
