// Cutting a byte stream (a TCP stream, or bytes given one packet after
// another) into packets by the Length word of each head.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kdl::dump {

// The head of a packet (Type, Length) read from the first 24 bytes of `p`.
struct HeadWords {
  uint32_t type = 0;
  uint32_t length = 0;
};
// False when fewer than 24 bytes are given.
bool ReadHeadWords(const uint8_t* p, size_t n, bool netOrder, HeadWords* head);

// Whether a Length can frame a packet: at least the head, at most the largest
// packet the library accepts on a link.
bool FramableLength(uint32_t length);

// Whether `p` starts with what looks like a packet: a whole head whose Type
// is in the packet tables and whose Length can frame it.
bool PlausibleHead(const uint8_t* p, size_t n, bool netOrder);

// Collects the bytes of a stream and hands out whole packets in order.
class PacketFramer {
 public:
  enum class Result { kPacket, kNeedMore, kBadLength };

  explicit PacketFramer(bool netOrder) : m_bNetOrder(netOrder) {}

  // Adds the next n bytes of the stream.
  void Append(const uint8_t* p, size_t n);

  // kPacket: *packet holds the next whole packet, which started at stream
  // offset *offset. kNeedMore: no whole packet is held. kBadLength: the next
  // head's Length cannot frame a packet; nothing more comes out until
  // Restart().
  Result Next(std::vector<uint8_t>* packet, uint64_t* offset);

  // Bytes held that do not make a whole packet yet, and the stream offset of
  // the first of them.
  size_t Pending() const { return m_buf.size() - m_nStart; }
  uint64_t PendingOffset() const { return m_nOffset; }
  // The held head's Length (0 while fewer than 24 bytes are held).
  uint32_t PendingLength() const;
  // Whether the bytes held start with a plausible head (PlausibleHead).
  bool PendingPlausible() const;

  // Drops everything held; the next byte appended is at stream offset
  // `offset` and starts a packet.
  void Restart(uint64_t offset);

 private:
  bool m_bNetOrder;
  std::vector<uint8_t> m_buf;
  size_t m_nStart = 0;    // first byte not handed out
  uint64_t m_nOffset = 0;  // stream offset of m_buf[m_nStart]
};

}  // namespace kdl::dump
