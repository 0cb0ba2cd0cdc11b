#include "tools/server/FrameSplitter.h"

namespace kdl::sim {

CFrameSplitter::Status CFrameSplitter::Next(std::vector<uint8_t>* frame, uint32_t* length) {
  constexpr size_t kHead = 24;
  if (Buffered() < kHead) return Status::kNeedMore;
  const uint8_t* p = m_buf.data() + m_start;
  uint32_t len = uint32_t(p[8]) | uint32_t(p[9]) << 8 | uint32_t(p[10]) << 16 |
                 uint32_t(p[11]) << 24;
  *length = len;
  if (len < kHead || len > m_maxLength) return Status::kBadLength;
  if (Buffered() < len) return Status::kNeedMore;
  frame->assign(p, p + len);
  m_start += len;
  // Drop consumed bytes once they make up most of the buffer.
  if (m_start == m_buf.size()) {
    m_buf.clear();
    m_start = 0;
  } else if (m_start > 65536 && m_start * 2 > m_buf.size()) {
    m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(m_start));
    m_start = 0;
  }
  return Status::kFrame;
}

}  // namespace kdl::sim
