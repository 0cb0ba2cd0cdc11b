#include "util/TerminalText.h"

#include <cstdio>

namespace kdl::util {
namespace {

// Length of the well-formed UTF-8 sequence at s[i] that is no C1 control,
// or 0.
size_t Utf8Length(const std::string& s, size_t i) {
  const auto at = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = at(i);
  const size_t len = b >= 0xC2 && b <= 0xDF   ? 2
                     : b >= 0xE0 && b <= 0xEF ? 3
                     : b >= 0xF0 && b <= 0xF4 ? 4
                                              : 0;
  if (len == 0 || i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((at(i + k) & 0xC0) != 0x80) return 0;
  }
  const unsigned char b1 = at(i + 1);
  if ((b == 0xE0 && b1 < 0xA0) || (b == 0xED && b1 > 0x9F) ||  // overlong, surrogate
      (b == 0xF0 && b1 < 0x90) || (b == 0xF4 && b1 > 0x8F) ||  // overlong, past U+10FFFF
      (b == 0xC2 && b1 < 0xA0)) {                               // C1 control
    return 0;
  }
  return len;
}

}  // namespace

std::string EscapeForTerminal(const std::string& text, bool keepTabs) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if ((b >= 0x20 && b < 0x7F) || (b == '\t' && keepTabs)) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    const size_t len = b >= 0x80 ? Utf8Length(text, i) : 0;
    if (len > 0) {
      out.append(text, i, len);
      i += len;
      continue;
    }
    char hex[5];
    std::snprintf(hex, sizeof(hex), "\\x%02X", b);
    out += hex;
    ++i;
  }
  return out;
}

size_t DisplayWidth(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;  // continuation bytes add nothing
  return n;
}

}  // namespace kdl::util
