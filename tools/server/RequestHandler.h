// Turns one request frame into the simulator's reply: decodes it with the
// packet factory, serves it from the image store and applies the fault modes.
// No sockets here, so every answer can be checked byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/server/ImageStore.h"
#include "tools/server/RequestKind.h"
#include "tools/server/ServerConfig.h"

namespace kelvane_sim {

// Where a frame came from and what the simulator's own address is there.
struct PeerContext {
  bool udp = false;
  std::string peer;       // "10.77.0.2:41234"
  uint32_t serverIp = 0;  // local address of the link, first octet most significant
  uint16_t tcpPort = 0;   // the simulator's TCP port
};

// What to do with one request.
struct Reply {
  RequestKind kind = RequestKind::kUnknown;
  bool send = false;           // bytes are to be sent
  std::vector<uint8_t> bytes;  // the whole reply frame
  uint32_t delayMs = 0;        // send after this delay
  std::string logLine;         // one line for the request log
};

// Serves requests from an image store; one per simulator, used on one thread.
class CRequestHandler {
 public:
  CRequestHandler(ImageStore& store, const ServerConfig& config);

  Reply Handle(const uint8_t* data, size_t size, const PeerContext& ctx);

 private:
  ImageStore& m_store;
  const ServerConfig& m_config;
};

// Text of at most `n` bytes of a fixed wire field, up to its first NUL.
std::string FieldText(const char* p, size_t n);
// Printable form of a text for the request log: quoted, other bytes as \xNN.
std::string QuoteText(const std::string& s);
// Dotted text of an IPv4 number whose most significant byte is the first octet.
std::string DottedIp(uint32_t ip);

}  // namespace kelvane_sim
