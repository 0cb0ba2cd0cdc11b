// Reading rules of the shared log ring.
#include "tools/logview/LogRingReader.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "log/LogSharedBlock.h"

namespace kdl::logview {

namespace {

using Block = kdl::log::CLogSharedBlock;
constexpr uint32_t kModulus = Block::kCountModulus;

// How far line `to` is ahead of line `from`, counting modulo the modulus.
uint32_t Ahead(uint32_t from, uint32_t to) { return (to + kModulus - from) % kModulus; }
uint32_t Back(uint32_t n, uint32_t by) { return (n + kModulus - by) % kModulus; }
// A count more than half the modulus "ahead" went back: the block was zeroed.
bool WentBack(uint32_t from, uint32_t to) { return Ahead(from, to) > kModulus / 2; }

// An aligned word that the writer changes atomically. A plain atomic load:
// the view is mapped read-only, so no read-modify-write may touch it.
uint32_t LoadWord(const unsigned char* p) {
  return __atomic_load_n(reinterpret_cast<const uint32_t*>(p), __ATOMIC_ACQUIRE);
}

}  // namespace

uint32_t CLogRingReader::LoadStamp() const { return LoadWord(m_pBlock + Block::kStampOffset); }
uint32_t CLogRingReader::LoadCount() const {
  return LoadWord(m_pBlock + Block::kCountOffset) % kModulus;
}
uint32_t CLogRingReader::Published() const { return LoadCount(); }

bool CLogRingReader::Snapshot(uint32_t* stamp, uint32_t* count) const {
  // The stamp is stored before the first line is counted and cleared before
  // the count, so a count read between two equal non-zero stamps is that
  // writer's.
  *stamp = LoadStamp();
  *count = LoadCount();
  return *stamp != 0 && LoadStamp() == *stamp;
}

void CLogRingReader::Start(uint32_t backlog) {
  uint32_t stamp = 0, count = 0;
  m_bReattached = false;
  m_bAttached = Snapshot(&stamp, &count);
  m_nStamp = stamp;
  m_nNext = m_bAttached ? Back(count, std::min({count, Block::kSlotCount, backlog})) : 0;
}

void CLogRingReader::Reattach(const unsigned char* block) {
  m_pBlock = block;
  m_bReattached = m_bAttached;
}

bool CLogRingReader::CopyLine(uint32_t n, RingEvent* line) const {
  unsigned char copy[Block::kSlotSize];
  std::memcpy(copy, m_pBlock + Block::kSlotsOffset + (n % Block::kSlotCount) * Block::kSlotSize,
              sizeof(copy));
  // The copy happens before the second look at the block. The writer claims
  // a slot (moves the index past it) before it writes there and counts the
  // line after, so the copy of line n is whole when fewer than 127 lines
  // have been counted since, or exactly 127 and the index still names n's
  // slot as the next to write (line n + 127 not claimed yet; the index is
  // read first, so a full lap in between shows in the count). Another
  // writer zeroing the block shows in the stamp.
  std::atomic_thread_fence(std::memory_order_acquire);
  if (LoadStamp() != m_nStamp) return false;
  const uint32_t index = LoadWord(m_pBlock + Block::kIndexOffset);
  const uint32_t ahead = Ahead(n, LoadCount());
  if (ahead == 0 || ahead > Block::kSlotCount) return false;
  if (ahead == Block::kSlotCount && index != n % Block::kSlotCount) return false;

  line->kind = RingEvent::kLine;
  line->level = static_cast<uint32_t>(copy[0]) | static_cast<uint32_t>(copy[1]) << 8 |
                static_cast<uint32_t>(copy[2]) << 16 | static_cast<uint32_t>(copy[3]) << 24;
  const char* text = reinterpret_cast<const char*>(copy + 4);
  const void* nul = std::memchr(text, 0, Block::kSlotTextSize);
  line->terminated = nul != nullptr;
  line->text.assign(text, nul != nullptr ? static_cast<const char*>(nul) - text
                                         : Block::kSlotTextSize);
  return true;
}

void CLogRingReader::Read(std::vector<RingEvent>& out) {
  uint32_t stamp = 0, count = 0;
  if (!Snapshot(&stamp, &count)) return;  // no line yet, or a writer zeroing the block
  if (!m_bAttached) {
    m_bAttached = true;
    m_nStamp = stamp;
    m_nNext = 0;
  } else if (m_bReattached || stamp != m_nStamp || WentBack(m_nNext, count)) {
    RingEvent restart;
    restart.kind = RingEvent::kRestart;
    out.push_back(restart);
    m_bReattached = false;
    m_nStamp = stamp;
    m_nNext = 0;
  }

  uint32_t lost = 0;
  auto flushLost = [&] {
    if (lost == 0) return;
    RingEvent e;
    e.kind = RingEvent::kLost;
    e.lost = lost;
    out.push_back(e);
    lost = 0;
  };
  // At most two rings' worth per call, so that a writer faster than the
  // reader cannot keep it here for ever.
  for (uint32_t budget = 2 * Block::kSlotCount; m_nNext != count && budget > 0; --budget) {
    const uint32_t behind = Ahead(m_nNext, count);
    if (behind > Block::kSlotCount) {
      lost += behind - Block::kSlotCount;
      m_nNext = Back(count, Block::kSlotCount);
    }
    RingEvent line;
    if (CopyLine(m_nNext, &line)) {
      flushLost();
      out.push_back(std::move(line));
    } else {
      if (LoadStamp() != m_nStamp) break;  // the next call reports the restart
      const uint32_t now = LoadCount();
      if (WentBack(count, now)) break;
      ++lost;  // overwritten while it was copied
      count = now;
    }
    m_nNext = (m_nNext + 1) % kModulus;
  }
  flushLost();
}

}  // namespace kdl::logview
