// Turns one request frame into the simulator's reply: decodes it with the
// packet factory, serves it from the image store and applies the fault modes.
// No sockets here, so every answer can be checked byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/PacketHead.h"
#include "simulator/ImageStore.h"
#include "simulator/ReplyTagger.h"
#include "simulator/RequestKind.h"
#include "simulator/ServerConfig.h"

namespace kdl::sim {

// Where a frame came from and what the simulator's own address is there.
struct PeerContext {
  bool udp = false;
  std::string peer;       // "10.77.0.2:41234"
  uint32_t serverIp = 0;  // local address of the link, first octet most significant
  uint16_t tcpPort = 0;   // the simulator's TCP port
  bool loggedIn = false;  // a login has succeeded on this TCP link
  LinkTags tags;          // with --tag-replies: the link's session and serial
};

// What to do with one request.
struct Reply {
  RequestKind kind = RequestKind::kUnknown;
  bool send = false;           // bytes are to be sent
  std::vector<uint8_t> bytes;  // the whole reply frame
  uint32_t delayMs = 0;        // send after this delay
  std::string logLine;         // one line for the request log
  bool loggedIn = false;       // a login succeeded: the link is logged in from now on
  LinkTags tags;               // the link's tags from now on
};

// Serves requests from an image store; one per simulator, used on one thread.
class CRequestHandler {
 public:
  CRequestHandler(ImageStore& store, const ServerConfig& config);

  // Serves one request frame. On TCP every request but login is refused
  // (ErrCode kErrNotLoggedIn, no change) until a login succeeded, which the
  // caller learns from Reply::loggedIn and keeps in ctx.loggedIn.
  Reply Handle(const uint8_t* data, size_t size, const PeerContext& ctx);

 private:
  struct Served;

  // The serving of each request: its reply before the fault modes apply.
  Served ServeDiscover(const PeerContext& ctx) const;
  Served ServeLogin(const PacketZVDiskless::CPacketHead& request) const;
  Served ServeImages(const PeerContext& ctx) const;
  Served ServeSnapshots() const;
  Served ServeCreate(const PacketZVDiskless::CPacketHead& request, bool refuse);
  Served ServeSelect(const PacketZVDiskless::CPacketHead& request) const;
  Served ServeSetAdmin(const PacketZVDiskless::CPacketHead& request) const;
  Served ServeCancelAdmin(const PacketZVDiskless::CPacketHead& request) const;
  Served Serve(RequestKind kind, const PacketZVDiskless::CPacketHead& request,
               const PeerContext& ctx, const FaultPlan& fault);

  // Applies the fault modes of the request's kind to what was served and
  // fills the reply's bytes, delay and log line (`line` names the request).
  void ApplyFaults(Served& served, const FaultPlan& fault, bool udp, std::string line,
                   Reply* reply) const;

  ImageStore& m_store;
  const ServerConfig& m_config;
  uint32_t m_served[kRequestKindCount] = {};  // requests served so far, per kind
};

// Printable form of a text for the request log: quoted, other bytes as \xNN.
std::string QuoteText(const std::string& s);

}  // namespace kdl::sim
