#include "util/IPv4Text.h"

#include <cstdio>
#include <cstring>

namespace kdl::util {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A piece under kAtol: as atol reads it, saturating at the 32-bit range of
// the platform's long; its low 8 bits. Always a value.
uint32_t AtolPiece(const char* p, size_t n) {
  size_t i = 0;
  while (i < n && IsSpace(p[i])) ++i;
  bool negative = false;
  if (i < n && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
  int64_t value = 0;
  for (; i < n && IsDigit(p[i]); ++i) {
    value = value * 10 + (p[i] - '0');
    if (value > 0x80000000LL) value = 0x80000000LL;  // clamp early, as strtol does
  }
  if (negative) {
    value = -value;
  } else if (value > 0x7FFFFFFFLL) {
    value = 0x7FFFFFFFLL;
  }
  return static_cast<uint32_t>(value) & 0xFF;
}

// A piece under kStrict: 1 to 3 digits, no leading zero, at most 255.
bool StrictPiece(const char* p, size_t n, uint32_t* value) {
  if (n == 0 || n > 3 || (n > 1 && p[0] == '0')) return false;
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!IsDigit(p[i])) return false;
    v = v * 10 + static_cast<uint32_t>(p[i] - '0');
  }
  if (v > 255) return false;
  *value = v;
  return true;
}

// The text's length; under kStrict no further than one past the longest
// address, so that a text without a NUL nearby is not read on.
size_t TextLength(const char* text, IPv4Rules rules) {
  if (rules == IPv4Rules::kAtol) return std::strlen(text);
  size_t n = 0;
  while (n < kIPv4TextSize && text[n] != '\0') ++n;
  return n;
}

}  // namespace

void FormatIPv4(uint32_t ip, char* out) {
  std::snprintf(out, kIPv4TextSize, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF,
                ip & 0xFF);
}

std::string IPv4Text(uint32_t ip) {
  char text[kIPv4TextSize];
  FormatIPv4(ip, text);
  return text;
}

bool ParseIPv4(const char* text, IPv4Rules rules, uint32_t* ip) {
  if (text == nullptr) return false;
  const bool strict = rules == IPv4Rules::kStrict;
  const size_t len = TextLength(text, rules);
  if (strict && len >= kIPv4TextSize) return false;
  uint32_t pieces[4] = {};
  int count = 0;
  size_t start = 0;
  // The first piece starts at the first character even when that is a '.',
  // so its end is searched from the second character on.
  size_t end = len ? 1 : 0;
  for (;;) {
    while (end < len && text[end] != '.') ++end;
    if (strict || end > start) {  // kAtol skips empty pieces
      if (count == 4) return false;
      if (!strict) {
        pieces[count] = AtolPiece(text + start, end - start);
      } else if (!StrictPiece(text + start, end - start, &pieces[count])) {
        return false;
      }
      ++count;
    }
    if (end >= len) break;
    start = ++end;
  }
  if (count != 4) return false;
  *ip = pieces[0] << 24 | pieces[1] << 16 | pieces[2] << 8 | pieces[3];
  return true;
}

}  // namespace kdl::util
