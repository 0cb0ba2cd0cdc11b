// IPv4 addresses as the components' callers write them.
#pragma once

#include <cstdint>

namespace kdl::transport {

// Longest dotted text accepted, without its NUL ("255.255.255.255" is 15).
constexpr unsigned kMaxAddressText = 31;

// Parses strict dotted IPv4 text ("a.b.c.d", decimal) into a number whose
// most significant byte is the first octet. False for null, empty, too long
// or malformed text.
bool ParseIPv4(const char* text, uint32_t* address);

}  // namespace kdl::transport
