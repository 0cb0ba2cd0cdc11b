// Cuts a TCP byte stream into packets by the Length word of each 24-byte head.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kdl::sim {

// Collects received bytes and hands out whole frames in arrival order.
class CFrameSplitter {
 public:
  enum class Status { kFrame, kNeedMore, kBadLength };

  explicit CFrameSplitter(uint32_t maxLength) : m_maxLength(maxLength) {}

  void Append(const uint8_t* data, size_t size) { m_buf.insert(m_buf.end(), data, data + size); }

  // kFrame: `frame` holds the next packet. kNeedMore: no whole packet yet.
  // kBadLength: the next head's Length is below 24 or above the limit
  // (*length tells it); the stream cannot be followed any further.
  Status Next(std::vector<uint8_t>* frame, uint32_t* length);

  size_t Buffered() const { return m_buf.size() - m_start; }

 private:
  uint32_t m_maxLength;
  std::vector<uint8_t> m_buf;
  size_t m_start = 0;  // first byte not yet handed out
};

}  // namespace kdl::sim
