// Cutting a received TCP byte stream into whole packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kdl::transport {

// Collects the bytes of a TCP stream and hands them out again one whole
// packet at a time. A packet starts with the 24-byte head whose third word,
// Length (little-endian, at offset 8), counts the whole packet.
class CPacketCutter {
 public:
  static constexpr uint32_t kHeadSize = 24;
  // The largest packet accepted. Nothing the library exchanges comes near it;
  // a larger Length means the stream is out of step or hostile.
  static constexpr uint32_t kMaxPacketSize = 16u * 1024 * 1024;
  static constexpr size_t kInitialBuffer = 64 * 1024;

  enum class Result { kPacket, kNeedMore, kBadLength };

  CPacketCutter();

  // Room for the next received bytes (never empty); fill it, then Commit.
  uint8_t* WritePtr() { return m_buf.data() + m_nEnd; }
  size_t WriteSpace();
  void Commit(size_t n) { m_nEnd += n; }

  // The next whole packet, if the buffer holds one. `data` stays valid until
  // the next call of any member. kBadLength: the next head's Length is below
  // the head size or above kMaxPacketSize (see BadLength()); the stream
  // cannot be read any further.
  Result Next(const uint8_t** data, uint32_t* size);
  uint32_t BadLength() const { return m_nBadLength; }

  // Bytes received but not yet handed out.
  size_t Pending() const { return m_nEnd - m_nBegin; }

 private:
  void Compact();

  std::vector<uint8_t> m_buf;
  size_t m_nBegin = 0;
  size_t m_nEnd = 0;
  size_t m_nNeed = kHeadSize;  // bytes the next packet needs in one piece
  uint32_t m_nBadLength = 0;
};

}  // namespace kdl::transport
