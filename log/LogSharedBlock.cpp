// Shared-memory ring of published log lines.
#include "log/LogSharedBlock.h"

#include <atomic>
#include <cstring>

#include "log/LogNaming.h"

namespace kdl::log {

namespace {

using kdl::plat::AtomicCompareExchange;
using kdl::plat::AtomicLoad;
using kdl::plat::AtomicStore;

// Keeps the stores before it ahead of the stores after it, for viewers in
// other processes. ThreadSanitizer does not model fences (and warns about
// them); it sees the order through the atomic operations around them.
void StoreFence() {
#if !defined(__SANITIZE_THREAD__)
  std::atomic_thread_fence(std::memory_order_release);  // store-store order
#endif
}

uint64_t Load64(const char* p, size_t n) {
  uint64_t w = 0;
  std::memcpy(&w, p, n);
  return w;
}

}  // namespace

uint32_t CLogSharedBlock::SlotChecksum(uint32_t level, const char* text, size_t length) {
  // Eight bytes a step, each mixed in by a multiply: a change of any byte,
  // or of where the NUL stands, leaves the sum as it was only by a chance
  // of about 2^-32.
  uint64_t h = 0x9e3779b97f4a7c15ull ^ (static_cast<uint64_t>(level) << 32) ^ length;
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    h = (h ^ Load64(text + i, 8)) * 0xff51afd7ed558ccdull;
    h ^= h >> 32;
  }
  h = (h ^ Load64(text + i, length - i)) * 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 32;
  return static_cast<uint32_t>(h);
}

volatile int32_t* CLogSharedBlock::Word(size_t offset) const {
  return reinterpret_cast<volatile int32_t*>(m_pBase + offset);
}

bool CLogSharedBlock::Open(const char* baseName) {
  Close();
  const std::string base = baseName == nullptr ? std::string() : std::string(baseName);
  m_strMemName = SharedMemName(base);  // may throw: no ring then
  m_strEvtName = SharedEventName(base);
  m_Handles = kdl::plat::SharedBlockOpen(m_strMemName, m_strEvtName, kBlockSize);
  m_eStatus = m_Handles.status;
  if (m_Handles.view == nullptr || m_Handles.event == nullptr) {
    Close();
    return false;
  }
  m_pBase = static_cast<unsigned char*>(m_Handles.view);
  Restart();
  m_pCursor = m_pBase;
  return true;
}

void CLogSharedBlock::Restart() {
  ClearRing();
  // A new generation, with the line numbers running on; the restart word
  // keeps where it begins. A tail that no writer of this scheme has used
  // (a new block, or bytes of some other party) starts at line 0. The
  // format word is stored before the claim word changes, so a claim word
  // that some writer made is always seen with it.
  volatile int32_t* claim = Word(kClaimOffset);
  int32_t seen = AtomicLoad(claim);
  for (;;) {
    const uint32_t word = static_cast<uint32_t>(seen);
    const bool used = static_cast<uint32_t>(AtomicLoad(Word(kFormatOffset))) == kFormat &&
                      GenerationOf(word) != 0 && LineOf(word) < kLineModulus;
    const uint32_t line = used ? LineOf(word) : 0;
    const uint32_t generation = NextGeneration(used ? GenerationOf(word) : 0);
    AtomicStore(Word(kRestartOffset),
                static_cast<int32_t>(ClaimWord(PreviousGeneration(generation), line)));
    AtomicStore(Word(kFormatOffset), static_cast<int32_t>(kFormat));
    const int32_t before =
        AtomicCompareExchange(claim, static_cast<int32_t>(ClaimWord(generation, line)), seen);
    if (before == seen) break;
    seen = before;
  }
  StoreIndex();
}

void CLogSharedBlock::ClearRing() {
  // The slots' words first: a viewer's check around its copy then fails
  // before the bytes it copies change.
  for (uint32_t slot = 0; slot < kSlotCount; ++slot) AtomicStore(Word(SequenceOffset(slot)), 0);
  StoreFence();
  std::memset(m_pBase, 0, kTailOffset);
  for (uint32_t slot = 0; slot < kSlotCount; ++slot) AtomicStore(Word(ChecksumOffset(slot)), 0);
  // The tail's unused bytes too, up to the seam's.
  const size_t sequenceEnd = SequenceOffset(kSlotCount), checksumEnd = ChecksumOffset(kSlotCount);
  const size_t ringEnd = kBlockSize - kdl::plat::kSharedBlockSeamBytes;
  std::memset(m_pBase + kFormatOffset + 4, 0, kSequenceOffset - kFormatOffset - 4);
  std::memset(m_pBase + sequenceEnd, 0, kChecksumOffset - sequenceEnd);
  std::memset(m_pBase + checksumEnd, 0, ringEnd - checksumEnd);
}

void CLogSharedBlock::Close() {
  m_pBase = nullptr;
  m_pCursor = nullptr;
  kdl::plat::SharedBlockClose(m_Handles, kBlockSize);
}

void CLogSharedBlock::Publish(const char* line, uint32_t level) {
  if (line == nullptr) line = "";
  Publish(line, std::strlen(line), level);
}

void CLogSharedBlock::Publish(const char* line, size_t length, uint32_t level) {
  if (m_pCursor == nullptr) return;
  uint32_t generation = 0;
  const uint32_t n = ClaimLine(&generation);
  StoreIndex();
  const uint32_t slot = n % kSlotCount, lap = n / kSlotCount;
  if (TakeSlot(slot, generation, lap)) {
    StoreFence();  // the odd word before any byte of the slot
    WriteSlot(slot, line, length, level);
    // Whole. Fails only when a writer a lap ahead took the slot meanwhile.
    AtomicCompareExchange(Word(SequenceOffset(slot)),
                          static_cast<int32_t>(Written(generation, lap)),
                          static_cast<int32_t>(Writing(generation, lap)));
  }
  kdl::plat::SharedBlockSignal(m_Handles);
}

uint32_t CLogSharedBlock::ClaimLine(uint32_t* generation) {
  volatile int32_t* claim = Word(kClaimOffset);
  int32_t seen = AtomicLoad(claim);
  for (;;) {
    // Words that some other party wrote are brought back into range.
    const uint32_t word = static_cast<uint32_t>(seen);
    const uint32_t g = GenerationOf(word) == 0 ? 1 : GenerationOf(word);
    const uint32_t n = LineOf(word) < kLineModulus ? LineOf(word) : 0;
    const uint32_t next = n + 1 == kLineModulus ? 0 : n + 1;
    const int32_t before =
        AtomicCompareExchange(claim, static_cast<int32_t>(ClaimWord(g, next)), seen);
    if (before == seen) {
      *generation = g;
      return n;
    }
    seen = before;
  }
}

void CLogSharedBlock::StoreIndex() {
  // Writers store one after the other; one that stored an older index than
  // another sees the claim word move on and stores again, so the last store
  // names the slot after the newest claim.
  volatile int32_t* claim = Word(kClaimOffset);
  for (int tries = 0; tries < 4; ++tries) {
    const int32_t word = AtomicLoad(claim);
    const uint32_t next = LineOf(static_cast<uint32_t>(word)) % kLineModulus;
    AtomicStore(Word(kIndexOffset), static_cast<int32_t>(next % kSlotCount));
    if (AtomicLoad(claim) == word) return;
  }
}

bool CLogSharedBlock::MayTake(uint32_t sequence, uint32_t generation, uint32_t lap) {
  if (GenerationOf(sequence) == generation) {
    // An older lap, whole or not (a writer a whole lap behind loses its
    // line either way); a newer one means this claim came late.
    if ((sequence & kLowMask) == 0) return true;
    const uint32_t ahead = LapsAhead(LapOf(sequence), lap);
    return ahead != 0 && ahead < kLapCount / 2;
  }
  // Another generation's word, or one cleared by an opening: stale, unless
  // the claim itself is from before an opening.
  return GenerationOf(static_cast<uint32_t>(AtomicLoad(Word(kClaimOffset)))) == generation;
}

bool CLogSharedBlock::TakeSlot(uint32_t slot, uint32_t generation, uint32_t lap) {
  volatile int32_t* sequence = Word(SequenceOffset(slot));
  int32_t seen = AtomicLoad(sequence);
  for (int tries = 0; tries < 4; ++tries) {
    if (!MayTake(static_cast<uint32_t>(seen), generation, lap)) return false;
    const int32_t before =
        AtomicCompareExchange(sequence, static_cast<int32_t>(Writing(generation, lap)), seen);
    if (before == seen) return true;
    seen = before;
  }
  return false;
}

void CLogSharedBlock::WriteSlot(uint32_t slot, const char* line, size_t length, uint32_t level) {
  unsigned char* p = m_pBase + kSlotsOffset + slot * kSlotSize;
  const uint8_t le[4] = {static_cast<uint8_t>(level), static_cast<uint8_t>(level >> 8),
                         static_cast<uint8_t>(level >> 16), static_cast<uint8_t>(level >> 24)};
  std::memcpy(p, le, 4);
  char* text = reinterpret_cast<char*>(p + 4);
  // Cut to fit; a cut line keeps its final line feed. Zero-filled after.
  const size_t keep = length < kSlotTextSize ? length : kSlotTextSize - 1;
  const bool cut = keep < length && line[length - 1] == '\n';
  std::memcpy(text, line, keep);
  if (cut) text[keep - 1] = '\n';
  std::memset(text + keep, 0, kSlotTextSize - keep);
  // The sum of what this writer meant to write, from its own bytes: the
  // slot may already hold a late writer's.
  uint32_t sum;
  if (cut) {
    char copy[kSlotTextSize];
    std::memcpy(copy, line, keep);
    copy[keep - 1] = '\n';
    sum = SlotChecksum(level, copy, keep);
  } else {
    sum = SlotChecksum(level, line, keep);
  }
  AtomicStore(Word(ChecksumOffset(slot)), static_cast<int32_t>(sum));
}

}  // namespace kdl::log
