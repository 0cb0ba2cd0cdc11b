// Helpers for writing expected wire bytes as readable text in tests.
//
//   Bytes head = Hex("00 00 00 00  01 00 00 00  18 00 00 00") + Zeros(12);
//   Bytes name = Chars("abc", 260);   // 'a' 'b' 'c' then 257 zero bytes
//
// Hex() takes pairs of hex digits; spaces, tabs, newlines, '|' and '_' are
// ignored so long vectors can be grouped by field. Anything else (an odd
// digit, a stray letter) throws std::invalid_argument, which fails the test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/PktStream.h"

namespace kdl::test {

// A byte vector of its own type, so that `+` below is found from any namespace.
struct Bytes : std::vector<uint8_t> {
  using std::vector<uint8_t>::vector;
  Bytes() = default;
  Bytes(const std::vector<uint8_t>& v) : std::vector<uint8_t>(v) {}  // NOLINT
};

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "01 00 02 00" -> {0x01, 0x00, 0x02, 0x00}.
inline Bytes Hex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '|' || c == '_') {
      if (high >= 0) throw std::invalid_argument("Hex: lone digit in \"" + text + "\"");
      continue;
    }
    int d = HexDigit(c);
    if (d < 0) throw std::invalid_argument("Hex: bad character in \"" + text + "\"");
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("Hex: odd number of digits in \"" + text + "\"");
  return out;
}

// n bytes of value `b` (zero by default).
inline Bytes Zeros(size_t n, uint8_t b = 0) { return Bytes(n, b); }

// A fixed-width character array: the characters of `s` (at most `width` of
// them) followed by zero bytes up to `width`.
inline Bytes Chars(const char* s, size_t width) {
  Bytes out(width, 0);
  size_t n = std::strlen(s);
  if (n > width) n = width;
  std::memcpy(out.data(), s, n);
  return out;
}

// Concatenation, so a packet reads as head + field + field.
inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// "01 00 02 00" form of some bytes, for failure messages.
inline std::string ToHex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }

// A little-endian writer over a buffer of `capacity` bytes that it
// allocates and frees itself, as the send path packs a packet.
inline PacketZVDiskless::CPktWriteStream OwningWriter(uint32_t capacity) {
  return PacketZVDiskless::CPktWriteStream(std::malloc(capacity ? capacity : 1), capacity,
                                           /*netOrder=*/false, /*owner=*/true);
}

}  // namespace kdl::test
