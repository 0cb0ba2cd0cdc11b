#include "transport/PacketCutter.h"

#include <cstring>

namespace kdl::transport {
namespace {

uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

CPacketCutter::CPacketCutter() : m_buf(kInitialBuffer) {}

void CPacketCutter::Compact() {
  if (m_nBegin == 0) return;
  const size_t n = m_nEnd - m_nBegin;
  if (n > 0) std::memmove(m_buf.data(), m_buf.data() + m_nBegin, n);
  m_nBegin = 0;
  m_nEnd = n;
}

size_t CPacketCutter::WriteSpace() {
  // Keep the packet being collected in one piece: make room for all of it.
  if (m_buf.size() - m_nBegin < m_nNeed || m_nEnd == m_buf.size()) Compact();
  if (m_buf.size() < m_nNeed) {
    m_buf.resize(m_nNeed);
  } else if (m_nEnd == 0 && m_nNeed <= kInitialBuffer && m_buf.size() > 4 * kInitialBuffer) {
    // A large packet has passed; give its memory back.
    std::vector<uint8_t>(kInitialBuffer).swap(m_buf);
  }
  if (m_nEnd == m_buf.size()) m_buf.resize(m_buf.size() * 2);
  return m_buf.size() - m_nEnd;
}

CPacketCutter::Result CPacketCutter::Next(const uint8_t** data, uint32_t* size) {
  const size_t avail = m_nEnd - m_nBegin;
  if (avail < kHeadSize) {
    m_nNeed = kHeadSize;
    return Result::kNeedMore;
  }
  const uint32_t length = ReadLe32(m_buf.data() + m_nBegin + 8);
  if (length < kHeadSize || length > kMaxPacketSize) {
    m_nBadLength = length;
    return Result::kBadLength;
  }
  if (avail < length) {
    m_nNeed = length;
    return Result::kNeedMore;
  }
  *data = m_buf.data() + m_nBegin;
  *size = length;
  m_nBegin += length;
  if (m_nBegin == m_nEnd) m_nBegin = m_nEnd = 0;
  m_nNeed = kHeadSize;
  return Result::kPacket;
}

}  // namespace kdl::transport
