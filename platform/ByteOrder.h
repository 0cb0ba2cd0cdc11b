// Byte-order conversions used by the packet streams.
//
// The network-order conversions come from the platform's socket layer
// (htons/htonl on POSIX, Winsock on Windows); the little-endian helpers are
// plain byte copies so they cost nothing on little-endian hosts.
#pragma once

#include <cstdint>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif

namespace kdl::plat {

inline uint16_t HostToNet16(uint16_t v) { return htons(v); }
inline uint32_t HostToNet32(uint32_t v) { return htonl(v); }
inline uint16_t NetToHost16(uint16_t v) { return ntohs(v); }
inline uint32_t NetToHost32(uint32_t v) { return ntohl(v); }

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
inline uint16_t HostToLe16(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t HostToLe32(uint32_t v) { return __builtin_bswap32(v); }
#else
inline uint16_t HostToLe16(uint16_t v) { return v; }
inline uint32_t HostToLe32(uint32_t v) { return v; }
#endif
inline uint16_t LeToHost16(uint16_t v) { return HostToLe16(v); }
inline uint32_t LeToHost32(uint32_t v) { return HostToLe32(v); }

// Reads a little-endian u32 from unaligned memory.
inline uint32_t LoadLe32(const void* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return LeToHost32(v);
}

}  // namespace kdl::plat
