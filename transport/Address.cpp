#include "transport/Address.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <cstring>

namespace kdl::transport {

bool ParseIPv4(const char* text, uint32_t* address) {
  if (text == nullptr) return false;
  // The caller's buffer need not end in a NUL within bounds: look no further
  // than a valid address can be long.
  char copy[kMaxAddressText + 1];
  size_t n = 0;
  while (n <= kMaxAddressText && text[n] != '\0') ++n;
  if (n == 0 || n > kMaxAddressText) return false;
  std::memcpy(copy, text, n);
  copy[n] = '\0';
  in_addr a;
  if (inet_pton(AF_INET, copy, &a) != 1) return false;
  *address = ntohl(a.s_addr);
  return true;
}

}  // namespace kdl::transport
