// Dotted text of an IPv4 number, both ways.
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

// How ParseIPv4 reads a text. Both split it at its dots; the first piece
// starts at the first character, even when that is a dot.
enum class IPv4Rules {
  // What the transports accept: exactly four pieces, each 1 to 3 decimal
  // digits without a leading zero (but "0") and at most 255, nothing else;
  // so at most 15 characters, and no more than 16 are read.
  kStrict,
  // The manager's StringToIp: empty pieces are skipped and exactly four
  // others must remain, each read as atol reads it (leading white space, a
  // sign, decimal digits up to the first other character, saturated at the
  // 32-bit range) and cut to its low 8 bits. The text is read to its NUL.
  kAtol,
};

// Reads dotted IPv4 text under `rules` into *ip (first octet in the most
// significant byte). False for a null text or one the rules refuse; *ip is
// then untouched.
bool ParseIPv4(const char* text, IPv4Rules rules, uint32_t* ip);

}  // namespace kdl::util
