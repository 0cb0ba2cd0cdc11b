// Fuzzes the simulator's request side: arbitrary bytes, in arbitrary chunk
// sizes (fuzz/FuzzStream.h), through its stream framer into its request
// handler, as one TCP link would bring them (or as datagrams), over a small
// image store with a low image limit.
//
// Flags byte: bit 0 datagrams instead of a TCP link; bit 1 the link starts
// logged in; bits 2-5 pick a request kind (mod the number of kinds) and bits
// 6-7 the fault it gets: none, a forced error, a wrong Length, an unknown type.
//
// Aborts when the framer loses or makes up bytes, a reply does not decode
// as the reply to its request with a Length equal to its size (faults that
// break that aside), a request before a login is answered with anything but
// the refusal or changes the store, or the store grows past its limit.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/FuzzStream.h"
#include "protocol/PacketFactory.h"
#include "protocol/PacketFramer.h"
#include "simulator/ImageStore.h"
#include "simulator/RequestHandler.h"

namespace {

using namespace kdl::sim;
using PacketZVDiskless::CPacketFramer;
using PacketZVDiskless::CPacketHead;

constexpr uint32_t kMaxImages = 6;

const char kImages[] = R"({"images": [
  {"id": 1, "name": "base", "param1": 1, "snapshots": [
     {"id": 7, "text": "seven", "time": "2026-03-04 05:06:07"}, {"id": 8}]},
  {"id": 5, "name": "Classroom", "param1": 2, "path": "/img/class.img"}]})";

[[noreturn]] void Fail(const std::string& what, const std::string& line) {
  std::fprintf(stderr, "server_fuzzer: %s\n  request log: %s\n", what.c_str(), line.c_str());
  std::abort();
}

uint32_t WordAt(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

ServerConfig ConfigOf(uint8_t flags) {
  ServerConfig config;
  config.maxImages = kMaxImages;
  FaultPlan& fault = config.faults[(flags >> 2 & 0x0F) % kRequestKindCount];
  switch (flags >> 6) {
    case 1:
      fault.forceErr = true;
      fault.errCode = 5;
      break;
    case 2:
      fault.badLength = true;
      fault.lengthRelative = true;
      fault.lengthValue = 4;
      break;
    case 3:
      fault.unknownType = true;
      break;
  }
  return config;
}

// Checks the reply to one frame against the rules above.
void CheckReply(const uint8_t* frame, size_t size, const Reply& r, const PeerContext& ctx,
                const ServerConfig& config, size_t imagesBefore, const ImageStore& store) {
  if (store.Images().size() > kMaxImages && store.Images().size() > imagesBefore)
    Fail("the store grew past its limit", r.logLine);
  const bool refused = !ctx.udp && !ctx.loggedIn && r.kind != RequestKind::kLogin;
  if (refused && store.Images().size() != imagesBefore)
    Fail("a request before the login changed the store", r.logLine);
  if (!r.send) return;
  if (size < PacketZVDiskless::kPacketHeadSize) Fail("a reply to a frame without a head", r.logLine);
  const FaultPlan& fault = config.Fault(r.kind);
  if (fault.badLength || fault.unknownType) return;
  PacketZVDiskless::CPktReadStream in(r.bytes.data(), static_cast<uint32_t>(r.bytes.size()),
                                      false);
  std::unique_ptr<CPacketHead> reply(PacketZVDiskless::CreatePacket(in));
  if (!reply || reply->Length != r.bytes.size() || in.m_nPos != r.bytes.size())
    Fail("a reply that does not decode to its own Length", r.logLine);
  if (reply->Type != PacketZVDiskless::ReplyCodeOf(WordAt(frame + 4)))
    Fail("a reply of another type than the request's", r.logLine);
  if (refused && reply->ErrCode != kErrNotLoggedIn)
    Fail("a request before the login was served", r.logLine);
}

// Serves each whole frame of `input` as the simulator's link does.
void ServeStream(const kdl::fuzz::CStreamInput& input, CRequestHandler& handler,
                 const ServerConfig& config, ImageStore& store, PeerContext& ctx) {
  CPacketFramer framer(config.maxFrameLength);
  size_t appended = 0, served = 0;
  input.ForEachChunk([&](const uint8_t* data, size_t n) {
    framer.Append(data, n);
    appended += n;
    std::vector<uint8_t> frame;
    uint32_t length = 0;
    for (;;) {
      const CPacketFramer::Result st = framer.Next(&frame, &length);
      if (st == CPacketFramer::Result::kBadLength) return false;  // the link closes
      if (st == CPacketFramer::Result::kNeedMore) break;
      if (frame.size() != length || WordAt(frame.data() + 8) != length)
        Fail("a frame that is not its Length", std::to_string(length));
      served += frame.size();
      const size_t imagesBefore = store.Images().size();
      const Reply r = handler.Handle(frame.data(), frame.size(), ctx);
      CheckReply(frame.data(), frame.size(), r, ctx, config, imagesBefore, store);
      if (r.loggedIn) ctx.loggedIn = true;
    }
    if (served + framer.Pending() != appended)
      Fail("the framer lost or made up bytes", std::to_string(appended));
    return true;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ImageStore s_base;
  static bool s_loaded = false;
  std::string error;
  if (!s_loaded && !(s_loaded = s_base.LoadJson(kImages, &error))) Fail("images: " + error, "");
  kdl::fuzz::CStreamInput input;
  if (size > (1u << 20) || !input.Parse(data, size)) return 0;

  const ServerConfig config = ConfigOf(input.Flags());
  ImageStore store = s_base;
  CRequestHandler handler(store, config);
  PeerContext ctx;
  ctx.udp = input.Flags() & 1;
  ctx.loggedIn = input.Flags() & 2;
  ctx.peer = "10.0.0.2:40000";
  ctx.serverIp = 0x0A000001;
  ctx.tcpPort = 8000;
  if (!ctx.udp) {
    ServeStream(input, handler, config, store, ctx);
    return 0;
  }
  input.ForEachChunk([&](const uint8_t* datagram, size_t n) {
    const size_t imagesBefore = store.Images().size();
    CheckReply(datagram, n, handler.Handle(datagram, n, ctx), ctx, config, imagesBefore, store);
    return true;
  });
  return 0;
}
