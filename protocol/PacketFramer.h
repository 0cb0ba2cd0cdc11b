// Cutting a byte stream (a TCP link, or packets stored one after another)
// into whole packets by the Length word of each head.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/PacketHead.h"

namespace PacketZVDiskless {

// The largest packet a link accepts. Nothing the protocol exchanges comes
// near it; a larger Length means the stream is out of step or hostile.
constexpr uint32_t kMaxPacketSize = 16u * 1024 * 1024;

// Collects the bytes of a stream and hands them out again one whole packet
// at a time, in order. A packet starts with the 24-byte head whose third
// word, Length (at offset 8, in the stream's byte order), counts the whole
// packet. A Length below the head or above the framer's limit cannot frame a
// packet: the stream stops there (kBadLength, again on every call) until
// Restart().
//
// Bytes come in copied (Append) or are read straight into the framer
// (WritePtr, WriteSpace, Commit). Either way it holds no more than it was
// given, and the packet being collected lies in one piece.
class CPacketFramer {
 public:
  enum class Result { kPacket, kNeedMore, kBadLength };

  // `maxLength`: the longest packet accepted. `netOrder`: heads are
  // big-endian (links run little-endian).
  explicit CPacketFramer(uint32_t maxLength = kMaxPacketSize, bool netOrder = false)
      : m_nMaxLength(maxLength), m_bNetOrder(netOrder) {}

  // Adds the next n bytes of the stream.
  void Append(const uint8_t* p, size_t n);

  // Room for the next bytes, read in place: never empty, and enough for the
  // whole packet being collected. Fill it, then Commit the bytes written.
  size_t WriteSpace();
  uint8_t* WritePtr() { return m_buf.data() + m_nEnd; }
  void Commit(size_t n) { m_nEnd += n; }

  // The next whole packet, if the bytes held start with one: *data points to
  // it (valid until the next call of any member). *length is the head's
  // Length as soon as the head is whole, whatever the result: with
  // kBadLength it is the Length that cannot frame a packet.
  Result Next(const uint8_t** data, uint32_t* length);
  // The same, with the packet copied into *packet.
  Result Next(std::vector<uint8_t>* packet, uint32_t* length);

  // Bytes held that do not make a whole packet yet (or follow a bad head),
  // the first of them, and its offset in the stream.
  size_t Pending() const { return m_nEnd - m_nBegin; }
  const uint8_t* PendingData() const { return m_buf.data() + m_nBegin; }
  uint64_t PendingOffset() const { return m_nOffset; }
  // The held head's Length; 0 while fewer than 24 bytes are held.
  uint32_t PendingLength() const;

  // Whether a Length can frame a packet: at least the head, at most the limit.
  bool Frames(uint32_t length) const;

  // Drops everything held; the next byte added is at stream offset `offset`
  // and starts a packet.
  void Restart(uint64_t offset);

 private:
  void Compact();

  uint32_t m_nMaxLength;
  bool m_bNetOrder;
  std::vector<uint8_t> m_buf;  // its size is the room; bytes held lie in [begin, end)
  size_t m_nBegin = 0;
  size_t m_nEnd = 0;
  size_t m_nNeed = kPacketHeadSize;  // bytes the next packet needs in one piece
  uint64_t m_nOffset = 0;  // stream offset of m_buf[m_nBegin]
};

}  // namespace PacketZVDiskless
