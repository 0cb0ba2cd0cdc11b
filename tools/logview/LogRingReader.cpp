// Reading rules of the shared log ring.
#include "tools/logview/LogRingReader.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "log/LogSharedBlock.h"

namespace kdl::logview {

namespace {

using Block = kdl::log::CLogSharedBlock;
constexpr uint32_t kModulus = Block::kLineModulus;

uint32_t Back(uint32_t n, uint32_t by) { return (n + kModulus - by) % kModulus; }
// A count more than half the modulus ahead is behind.
bool IsAhead(uint32_t ahead) { return ahead < kModulus / 2; }

}  // namespace

// An aligned word that writers change atomically. A plain atomic load: the
// view is mapped read-only, so no read-modify-write may touch it.
uint32_t CLogRingReader::LoadWord(size_t offset) const {
  return __atomic_load_n(reinterpret_cast<const uint32_t*>(m_pBlock + offset), __ATOMIC_ACQUIRE);
}

bool CLogRingReader::LoadClaim(uint32_t* generation, uint32_t* next) const {
  if (LoadWord(Block::kFormatOffset) != Block::kFormat) return false;
  const uint32_t claim = LoadWord(Block::kClaimOffset);
  *generation = Block::GenerationOf(claim);
  *next = Block::LineOf(claim);
  return *generation != 0 && *next < kModulus;
}

bool CLogRingReader::GenerationStart(uint32_t generation, uint32_t* first) const {
  // An opening stores the restart word before it raises the generation.
  const uint32_t restart = LoadWord(Block::kRestartOffset);
  *first = Block::LineOf(restart);
  return Block::GenerationOf(restart) == Block::PreviousGeneration(generation) && *first < kModulus;
}

uint32_t CLogRingReader::Published() const {
  uint32_t generation = 0, next = 0, first = 0;
  if (!LoadClaim(&generation, &next) || !GenerationStart(generation, &first)) return 0;
  return Block::LinesAhead(first, next);
}

void CLogRingReader::Start(uint32_t backlog) {
  m_bReattached = false;
  m_bPending = false;
  uint32_t generation = 0, next = 0, first = 0;
  m_bAttached = LoadClaim(&generation, &next);
  if (!m_bAttached) return;
  if (!GenerationStart(generation, &first)) first = next;
  m_nGeneration = generation;
  m_nNext = Back(next, std::min({Block::LinesAhead(first, next), Block::kSlotCount, backlog}));
}

void CLogRingReader::Reattach(const unsigned char* block) {
  m_pBlock = block;
  m_bReattached = m_bAttached;
}

void CLogRingReader::FollowRestart(uint32_t generation, uint32_t next,
                                   std::vector<RingEvent>& out) {
  // Where the new generation begins cannot be told when a second opening
  // is between its two stores (or some other party wrote the words): every
  // line up to the newest then counts as gone by unread.
  uint32_t first = 0;
  if (!GenerationStart(generation, &first)) first = next;
  const uint32_t unread = Block::LinesAhead(m_nNext, first);
  if (!m_bReattached && unread != 0 && IsAhead(unread)) {
    RingEvent lost;
    lost.kind = RingEvent::kLost;
    lost.lost = unread;
    out.push_back(lost);
  }
  RingEvent restart;
  restart.kind = RingEvent::kRestart;
  out.push_back(restart);
  m_bReattached = false;
  m_bPending = false;
  m_nGeneration = generation;
  m_nNext = first;
}

bool CLogRingReader::StillWaiting(uint32_t n, uint64_t nowMs) {
  if (!m_bPending || m_nPendingLine != n) {
    m_bPending = true;
    m_nPendingLine = n;
    m_nPendingSince = nowMs;
    return true;
  }
  if (nowMs - m_nPendingSince < kGiveUpMs) return true;
  m_bPending = false;
  return false;
}

CLogRingReader::Copy CLogRingReader::CopyLine(uint32_t n, RingEvent* line) const {
  const uint32_t slot = n % Block::kSlotCount, lap = n / Block::kSlotCount;
  const uint32_t whole = Block::Written(m_nGeneration, lap);
  const uint32_t seen = LoadWord(Block::SequenceOffset(slot));
  if (seen != whole) {
    // A later lap of this generation in the slot: n is gone. Anything else
    // (n being copied, an older lap, a word of another generation or one
    // cleared by an opening) may still become n.
    const bool later = Block::GenerationOf(seen) == m_nGeneration &&
                       (seen & Block::kLowMask) != 0 &&
                       Block::LapsAhead(lap, Block::LapOf(seen)) != 0 &&
                       Block::LapsAhead(lap, Block::LapOf(seen)) < Block::kLapCount / 2;
    return later ? Copy::kLost : Copy::kPending;
  }
  unsigned char copy[Block::kSlotSize];
  std::memcpy(copy, m_pBlock + Block::kSlotsOffset + slot * Block::kSlotSize, sizeof(copy));
  const uint32_t sum = LoadWord(Block::ChecksumOffset(slot));
  // The copy happens before the second look at the word: a writer that took
  // the slot meanwhile changed it before it wrote a byte.
  std::atomic_thread_fence(std::memory_order_acquire);
  if (LoadWord(Block::SequenceOffset(slot)) != whole) return Copy::kLost;

  line->kind = RingEvent::kLine;
  line->level = static_cast<uint32_t>(copy[0]) | static_cast<uint32_t>(copy[1]) << 8 |
                static_cast<uint32_t>(copy[2]) << 16 | static_cast<uint32_t>(copy[3]) << 24;
  const char* text = reinterpret_cast<const char*>(copy + 4);
  const void* nul = std::memchr(text, 0, Block::kSlotTextSize);
  line->terminated = nul != nullptr;
  line->text.assign(text,
                    nul != nullptr ? static_cast<const char*>(nul) - text : Block::kSlotTextSize);
  // Mixed bytes: a writer a lap behind was still copying into the slot.
  if (Block::SlotChecksum(line->level, line->text.data(), line->text.size()) != sum) {
    return Copy::kLost;
  }
  return Copy::kLine;
}

void CLogRingReader::Read(std::vector<RingEvent>& out, uint64_t nowMs) {
  uint32_t generation = 0, next = 0;
  if (!LoadClaim(&generation, &next)) return;  // no writer has opened the block
  if (!m_bAttached) {
    uint32_t first = 0;
    m_bAttached = true;
    m_nGeneration = generation;
    m_nNext = GenerationStart(generation, &first) ? first : next;
  } else if (m_bReattached || generation != m_nGeneration) {
    FollowRestart(generation, next, out);
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
  // At most two rings' worth per call, so that writers faster than the
  // reader cannot keep it here for ever.
  for (uint32_t budget = 2 * Block::kSlotCount; budget > 0; --budget) {
    // An opening shows in the generation; the next call follows it.
    if (!LoadClaim(&generation, &next) || generation != m_nGeneration || m_nNext == next) break;
    const uint32_t behind = Block::LinesAhead(m_nNext, next);
    if (!IsAhead(behind)) {  // only some other party moves the count back
      m_nNext = next;
      break;
    }
    if (behind > Block::kSlotCount) {
      lost += behind - Block::kSlotCount;
      m_nNext = Back(next, Block::kSlotCount);
    }
    RingEvent line;
    const Copy copy = CopyLine(m_nNext, &line);
    if (copy == Copy::kPending && StillWaiting(m_nNext, nowMs)) break;
    if (copy == Copy::kLine) {
      flushLost();
      out.push_back(std::move(line));
    } else {
      ++lost;
    }
    m_bPending = false;
    m_nNext = (m_nNext + 1) % kModulus;
  }
  flushLost();
}

}  // namespace kdl::logview
