// IPv4 addresses as the components' callers write them.
#pragma once

#include <cstdint>

#include "util/IPv4Text.h"

namespace kdl::transport {

// Parses the address texts that TcpCreate, TcpConnect, UdpCreate and
// UdpSendTo accept: strict dotted IPv4 ("a.b.c.d", decimal; the rules of
// util::IPv4Rules::kStrict) into a number whose most significant byte is the
// first octet. False for null, empty, too long or malformed text.
inline bool ParseIPv4(const char* text, uint32_t* address) {
  return util::ParseIPv4(text, util::IPv4Rules::kStrict, address);
}

}  // namespace kdl::transport
