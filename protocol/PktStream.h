// Byte streams through which every packet and record encodes and decodes
// itself, and the counted byte buffer carried inside some packets.
//
// Every operation checks the remaining room first and fails with -1 without
// touching the stream; on success it converts (integers only), copies and
// advances. Streams never grow, never allocate (except a CPktBuffer read)
// and never log.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/ByteOrder.h"

namespace PacketZVDiskless {

// The stream order flag under which integers are stored as the host holds
// them: clear (little-endian) on a little-endian host.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kHostBigEndian = true;
#else
constexpr bool kHostBigEndian = false;
#endif

// KPKT_OUT_OF_LINE keeps a helper a real call whose arguments the compiler
// cannot see through; KPKT_INLINE always inlines.
#if defined(__GNUC__) && !defined(__clang__)
#define KPKT_OUT_OF_LINE __attribute__((noipa))
#elif defined(__GNUC__)
#define KPKT_OUT_OF_LINE __attribute__((noinline))
#else
#define KPKT_OUT_OF_LINE
#endif
#if defined(__GNUC__)
#define KPKT_INLINE __attribute__((always_inline)) inline
#else
#define KPKT_INLINE inline
#endif

// Copies and zero-fills raw blocks of more than 128 bytes through the
// library's memcpy and memset. Kept out of line on purpose: for a block of
// known size (a 256- or 260-byte text field) the compiler would otherwise
// expand the copy into `rep movs` and the fill into `rep stos`, which take
// several times as long as the library's vector code.
KPKT_OUT_OF_LINE inline void CopyLongBlock(void* dst, const void* src, uint32_t n) {
  std::memcpy(dst, src, n);
}
KPKT_OUT_OF_LINE inline void ZeroLongBlock(void* dst, uint32_t n) { std::memset(dst, 0, n); }

// Copies n raw bytes; short blocks stay inline moves.
inline void CopyBlock(void* dst, const void* src, uint32_t n) {
  if (n > 128) {
    CopyLongBlock(dst, src, n);
  } else if (n) {
    std::memcpy(dst, src, n);
  }
}

// Reads integers and raw blocks from a received buffer.
class CPktReadStream {
 public:
  uint32_t m_nPos = 0;        // bytes consumed so far
  bool m_bNetOrder = false;   // set: integers are big-endian in the buffer
  const uint8_t* m_pData = nullptr;
  uint32_t m_nSize = 0;       // valid bytes in the buffer
  int32_t m_bOwner = 0;       // set: the stream frees m_pData on destruction

  CPktReadStream() = default;
  // A null buffer reads as an empty one.
  CPktReadStream(const void* data, uint32_t size, bool netOrder, bool owner = false)
      : m_bNetOrder(netOrder),
        m_pData(static_cast<const uint8_t*>(data)),
        m_nSize(data ? size : 0),
        m_bOwner(owner ? 1 : 0) {}
  ~CPktReadStream() {
    if (m_bOwner) std::free(const_cast<uint8_t*>(m_pData));
  }
  CPktReadStream(const CPktReadStream&) = delete;
  CPktReadStream& operator=(const CPktReadStream&) = delete;

  uint32_t Remaining() const { return m_nPos < m_nSize ? m_nSize - m_nPos : 0; }
  const uint8_t* Current() const { return m_pData + m_nPos; }

  int ReadU8(uint8_t& out) {
    if (Remaining() < 1) return -1;
    out = m_pData[m_nPos];
    m_nPos += 1;
    return 0;
  }
  int ReadU16(uint16_t& out) {
    if (Remaining() < 2) return -1;
    uint16_t v;
    std::memcpy(&v, m_pData + m_nPos, 2);
    out = m_bNetOrder ? kdl::plat::NetToHost16(v) : kdl::plat::LeToHost16(v);
    m_nPos += 2;
    return 0;
  }
  int ReadU32(uint32_t& out) {
    if (Remaining() < 4) return -1;
    uint32_t v;
    std::memcpy(&v, m_pData + m_nPos, 4);
    out = m_bNetOrder ? kdl::plat::NetToHost32(v) : kdl::plat::LeToHost32(v);
    m_nPos += 4;
    return 0;
  }
  // Always inline, so that a field's constant size reaches CopyBlock: a
  // short text becomes a few vector moves instead of a call.
  KPKT_INLINE int ReadBytes(void* dst, uint32_t n) {
    if (Remaining() < n) return -1;
    CopyBlock(dst, m_pData + m_nPos, n);
    m_nPos += n;
    return 0;
  }
};

// Writes integers and raw blocks into a caller-sized buffer.
class CPktWriteStream {
 public:
  uint32_t m_nPos = 0;        // bytes written so far
  bool m_bNetOrder = false;   // set: integers are written big-endian
  uint8_t* m_pData = nullptr;
  uint32_t m_nSize = 0;       // capacity of the buffer
  int32_t m_bOwner = 0;       // set: the stream frees m_pData on destruction

  CPktWriteStream() = default;
  // Writes into the caller's buffer; a null buffer has no room at all.
  CPktWriteStream(void* data, uint32_t size, bool netOrder, bool owner = false)
      : m_bNetOrder(netOrder),
        m_pData(static_cast<uint8_t*>(data)),
        m_nSize(data ? size : 0),
        m_bOwner(owner ? 1 : 0) {}
  ~CPktWriteStream() {
    if (m_bOwner) std::free(m_pData);
  }
  CPktWriteStream(const CPktWriteStream&) = delete;
  CPktWriteStream& operator=(const CPktWriteStream&) = delete;

  uint32_t Remaining() const { return m_nPos < m_nSize ? m_nSize - m_nPos : 0; }

  int WriteU8(uint8_t v) {
    if (Remaining() < 1) return -1;
    m_pData[m_nPos] = v;
    m_nPos += 1;
    return 0;
  }
  int WriteU16(uint16_t v) {
    if (Remaining() < 2) return -1;
    uint16_t w = m_bNetOrder ? kdl::plat::HostToNet16(v) : kdl::plat::HostToLe16(v);
    std::memcpy(m_pData + m_nPos, &w, 2);
    m_nPos += 2;
    return 0;
  }
  int WriteU32(uint32_t v) {
    if (Remaining() < 4) return -1;
    uint32_t w = m_bNetOrder ? kdl::plat::HostToNet32(v) : kdl::plat::HostToLe32(v);
    std::memcpy(m_pData + m_nPos, &w, 4);
    m_nPos += 4;
    return 0;
  }
  int WriteBytes(const void* src, uint32_t n) {
    if (Remaining() < n) return -1;
    CopyBlock(m_pData + m_nPos, src, n);
    m_nPos += n;
    return 0;
  }
};

// A counted byte buffer: u32 count, then that many raw bytes.
class CPktBuffer {
 public:
  uint32_t m_nLen = 0;
  uint8_t* m_pBuf = nullptr;  // owned; null until something was allocated

  CPktBuffer() = default;
  ~CPktBuffer() { std::free(m_pBuf); }
  CPktBuffer(const CPktBuffer&) = delete;
  CPktBuffer& operator=(const CPktBuffer&) = delete;

  uint32_t Size() const { return 4 + m_nLen; }

  // Replaces the contents with a copy of `n` bytes. Returns 0 or -1.
  int Assign(const void* data, uint32_t n) {
    uint8_t* p = static_cast<uint8_t*>(std::malloc(n ? n : 1));
    if (!p) return -1;
    if (n) std::memcpy(p, data, n);
    std::free(m_pBuf);
    m_pBuf = p;
    m_nLen = n;
    return 0;
  }

  // The count is checked against the remaining bytes before anything is
  // allocated, so a received count can never ask for more than the message.
  // m_nLen only changes together with m_pBuf, so the pair always agrees.
  int Unpack(CPktReadStream& r) {
    uint32_t n;
    if (r.ReadU32(n)) return -1;
    if (r.Remaining() < n) return -1;
    uint8_t* p = static_cast<uint8_t*>(std::malloc(n ? n : 1));
    if (!p) return -1;
    std::free(m_pBuf);
    m_pBuf = p;
    m_nLen = n;
    return r.ReadBytes(m_pBuf, m_nLen);
  }
  int Pack(CPktWriteStream& w) const {
    if (m_nLen && !m_pBuf) return -1;
    if (w.WriteU32(m_nLen)) return -1;
    return w.WriteBytes(m_pBuf, m_nLen);
  }
};

}  // namespace PacketZVDiskless
