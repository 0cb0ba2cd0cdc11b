#include "protocol/PacketFramer.h"

#include <algorithm>
#include <cstring>

namespace PacketZVDiskless {
namespace {

// Length is the head's third word.
constexpr size_t kLengthOffset = 8;
// Room offered to a reader while the packet being collected needs less.
constexpr size_t kReadRoom = 64 * 1024;

}  // namespace

void CPacketFramer::Compact() {
  if (m_nBegin == 0) return;
  const size_t n = Pending();
  if (n > 0) std::memmove(m_buf.data(), m_buf.data() + m_nBegin, n);
  m_nBegin = 0;
  m_nEnd = n;
}

void CPacketFramer::Append(const uint8_t* p, size_t n) {
  if (n == 0) return;
  if (m_buf.size() - m_nEnd < n) {
    Compact();
    if (m_buf.size() - m_nEnd < n) m_buf.resize(m_nEnd + n);
  }
  std::memcpy(m_buf.data() + m_nEnd, p, n);
  m_nEnd += n;
}

size_t CPacketFramer::WriteSpace() {
  // Keep the packet being collected in one piece: make room for all of it.
  if (m_buf.size() - m_nBegin < m_nNeed || m_nEnd == m_buf.size()) Compact();
  if (m_buf.size() < std::max(m_nNeed, kReadRoom)) {
    m_buf.resize(std::max(m_nNeed, kReadRoom));
  } else if (m_nEnd == 0 && m_nNeed <= kReadRoom && m_buf.size() > 4 * kReadRoom) {
    // A large packet has passed; give its memory back.
    std::vector<uint8_t>(kReadRoom).swap(m_buf);
  }
  if (m_nEnd == m_buf.size()) m_buf.resize(m_buf.size() * 2);
  return m_buf.size() - m_nEnd;
}

CPacketFramer::Result CPacketFramer::Next(const uint8_t** data, uint32_t* length) {
  const size_t held = Pending();
  if (held < kPacketHeadSize) {
    m_nNeed = kPacketHeadSize;
    return Result::kNeedMore;
  }
  const uint32_t len = PendingLength();
  *length = len;
  if (!Frames(len)) return Result::kBadLength;
  if (held < len) {
    m_nNeed = len;
    return Result::kNeedMore;
  }
  *data = m_buf.data() + m_nBegin;
  m_nBegin += len;
  m_nOffset += len;
  // The packet's bytes stay where they are until the next call.
  if (m_nBegin == m_nEnd) m_nBegin = m_nEnd = 0;
  m_nNeed = kPacketHeadSize;
  return Result::kPacket;
}

CPacketFramer::Result CPacketFramer::Next(std::vector<uint8_t>* packet, uint32_t* length) {
  const uint8_t* data = nullptr;
  const Result r = Next(&data, length);
  if (r == Result::kPacket) packet->assign(data, data + *length);
  return r;
}

uint32_t CPacketFramer::PendingLength() const {
  if (Pending() < kPacketHeadSize) return 0;
  CPktReadStream r(PendingData() + kLengthOffset, 4, m_bNetOrder);
  uint32_t length = 0;
  r.ReadU32(length);
  return length;
}

bool CPacketFramer::Frames(uint32_t length) const {
  return length >= kPacketHeadSize && length <= m_nMaxLength;
}

void CPacketFramer::Restart(uint64_t offset) {
  m_nBegin = m_nEnd = 0;
  m_nNeed = kPacketHeadSize;
  m_nOffset = offset;
}

}  // namespace PacketZVDiskless
