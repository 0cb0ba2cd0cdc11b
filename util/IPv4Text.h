// Dotted text of an IPv4 number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kdl::util {

// Room for the longest dotted text with its NUL ("255.255.255.255").
constexpr size_t kIPv4TextSize = 16;

// Writes "a.b.c.d" for an IPv4 number whose most significant byte is the
// first octet into `out`, which holds at least kIPv4TextSize bytes; the text
// is NUL-terminated.
void FormatIPv4(uint32_t ip, char* out);

// The same text as a string.
std::string IPv4Text(uint32_t ip);

}  // namespace kdl::util
