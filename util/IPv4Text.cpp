#include "util/IPv4Text.h"

#include <cstdio>

namespace kdl::util {

void FormatIPv4(uint32_t ip, char* out) {
  std::snprintf(out, kIPv4TextSize, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF,
                ip & 0xFF);
}

std::string IPv4Text(uint32_t ip) {
  char text[kIPv4TextSize];
  FormatIPv4(ip, text);
  return text;
}

}  // namespace kdl::util
