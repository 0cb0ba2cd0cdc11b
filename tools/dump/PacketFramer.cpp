#include "tools/dump/PacketFramer.h"

#include "protocol/PacketHead.h"
#include "tools/dump/PacketDescribe.h"
#include "protocol/PacketFramer.h"

namespace kdl::dump {

using PacketZVDiskless::kPacketHeadSize;

bool ReadHeadWords(const uint8_t* p, size_t n, bool netOrder, HeadWords* head) {
  if (n < kPacketHeadSize) return false;
  PacketZVDiskless::CPacketHead h;
  PacketZVDiskless::CPktReadStream r(p, kPacketHeadSize, netOrder);
  if (h.UnpackHead(r)) return false;
  head->type = h.Type;
  head->length = h.Length;
  return true;
}

bool FramableLength(uint32_t length) {
  return length >= kPacketHeadSize && length <= PacketZVDiskless::kMaxPacketSize;
}

bool PlausibleHead(const uint8_t* p, size_t n, bool netOrder) {
  HeadWords head;
  return ReadHeadWords(p, n, netOrder, &head) && PacketClassName(head.type) != nullptr &&
         FramableLength(head.length);
}

void PacketFramer::Append(const uint8_t* p, size_t n) {
  if (m_nStart > 0 && m_nStart >= m_buf.size() / 2) {
    m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(m_nStart));
    m_nStart = 0;
  }
  m_buf.insert(m_buf.end(), p, p + n);
}

PacketFramer::Result PacketFramer::Next(std::vector<uint8_t>* packet, uint64_t* offset) {
  HeadWords head;
  if (!ReadHeadWords(m_buf.data() + m_nStart, Pending(), m_bNetOrder, &head))
    return Result::kNeedMore;
  if (!FramableLength(head.length)) return Result::kBadLength;
  if (Pending() < head.length) return Result::kNeedMore;
  const uint8_t* begin = m_buf.data() + m_nStart;
  packet->assign(begin, begin + head.length);
  *offset = m_nOffset;
  m_nStart += head.length;
  m_nOffset += head.length;
  return Result::kPacket;
}

uint32_t PacketFramer::PendingLength() const {
  HeadWords head;
  return ReadHeadWords(m_buf.data() + m_nStart, Pending(), m_bNetOrder, &head) ? head.length : 0;
}

bool PacketFramer::PendingPlausible() const {
  return PlausibleHead(m_buf.data() + m_nStart, Pending(), m_bNetOrder);
}

void PacketFramer::Restart(uint64_t offset) {
  m_buf.clear();
  m_nStart = 0;
  m_nOffset = offset;
}

}  // namespace kdl::dump
