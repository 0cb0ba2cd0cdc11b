// Shared-memory ring of published log lines.
#include "log/LogSharedBlock.h"

#include <atomic>
#include <cstring>

#include "log/LogNaming.h"

namespace kdl::log {

namespace {

volatile int32_t* Word(unsigned char* base, size_t offset) {
  return reinterpret_cast<volatile int32_t*>(base + offset);
}

// A stamp that differs from one opening to the next, in this process and in
// any other: the time, the thread, the object's address and a counter mixed.
uint32_t NewStamp(const void* self) {
  static std::atomic<uint32_t> s_opens{0};
  const kdl::plat::LocalTime t = kdl::plat::GetLocalTimeNow();
  uint64_t x = (static_cast<uint64_t>(t.day) << 40) ^ (static_cast<uint64_t>(t.hour) << 32) ^
               (static_cast<uint64_t>(t.minute * 60000u + t.second * 1000u + t.milliseconds)) ^
               (static_cast<uint64_t>(kdl::plat::CurrentThreadId()) << 20) ^
               reinterpret_cast<uintptr_t>(self) ^ (static_cast<uint64_t>(++s_opens) << 52);
  // splitmix64 finaliser
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  x ^= x >> 31;
  const uint32_t stamp = static_cast<uint32_t>(x ^ (x >> 32));
  return stamp == 0 ? 1 : stamp;
}

// Keeps the stores before it ahead of the stores after it, for viewers in
// other processes. ThreadSanitizer does not model fences (and warns about
// them); it sees the order through the atomic operations around them.
void StoreFence() {
#if !defined(__SANITIZE_THREAD__)
  std::atomic_thread_fence(std::memory_order_release);  // store-store order
#endif
}

}  // namespace

bool CLogSharedBlock::Open(const char* baseName) {
  Close();
  const std::string base = baseName == nullptr ? std::string() : std::string(baseName);
  m_strMemName = SharedMemName(base);  // may throw: no ring then
  m_strEvtName = SharedEventName(base);
  m_Handles = kdl::plat::SharedBlockOpen(m_strMemName, m_strEvtName, kBlockSize);
  if (m_Handles.view == nullptr || m_Handles.event == nullptr) {
    Close();
    return false;
  }
  m_pBase = static_cast<unsigned char*>(m_Handles.view);
  // Stamp and count first: a viewer that sees them drop stops trusting the
  // slots before they are cleared.
  kdl::plat::AtomicStore(Word(m_pBase, kStampOffset), 0);
  kdl::plat::AtomicStore(Word(m_pBase, kCountOffset), 0);
  StoreFence();
  std::memset(m_pBase, 0, kBlockSize);
  m_pCursor = m_pBase;
  m_nStamp = NewStamp(this);
  return true;
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
  // Another process may have shrunk the block under the mapping; writing
  // there would kill the process. The ring turns off if it cannot be grown
  // back.
  if (!kdl::plat::SharedBlockIntact(m_Handles, kBlockSize)) {
    Close();
    return;
  }
  // Claim a slot with a compare-exchange, so that writers in two processes
  // sharing the block never get the same slot or lose an update. An index
  // outside the ring (written by some other party) restarts it at 0.
  auto* index = reinterpret_cast<volatile int32_t*>(m_pCursor + kIndexOffset);
  int32_t seen = kdl::plat::AtomicLoad(index);
  uint32_t slot;
  for (;;) {
    slot = static_cast<uint32_t>(seen) < kSlotCount ? static_cast<uint32_t>(seen) : 0;
    int32_t next = slot + 1 >= kSlotCount ? 0 : static_cast<int32_t>(slot + 1);
    int32_t before = kdl::plat::AtomicCompareExchange(index, next, seen);
    if (before == seen) break;
    seen = before;
  }

  // The claim and the count reached before it must be visible before any
  // byte of the slot changes: a viewer's check after its copy relies on it.
  StoreFence();
  // The block is stamped before its first line, and again after another
  // writer zeroed it: whoever writes first then stamps it.
  volatile int32_t* stamp = Word(m_pCursor, kStampOffset);
  if (kdl::plat::AtomicLoad(stamp) == 0) {
    kdl::plat::AtomicCompareExchange(stamp, static_cast<int32_t>(m_nStamp), 0);
  }

  unsigned char* p = m_pCursor + kSlotsOffset + slot * kSlotSize;
  const uint8_t le[4] = {static_cast<uint8_t>(level), static_cast<uint8_t>(level >> 8),
                         static_cast<uint8_t>(level >> 16), static_cast<uint8_t>(level >> 24)};
  std::memcpy(p, le, 4);
  char* text = reinterpret_cast<char*>(p + 4);
  // Cut to fit; a cut line keeps its final line feed. Zero-filled after.
  const size_t keep = length < kSlotTextSize ? length : kSlotTextSize - 1;
  std::memcpy(text, line, keep);
  if (keep < length && line[length - 1] == '\n') text[keep - 1] = '\n';
  std::memset(text + keep, 0, kSlotTextSize - keep);
  // Counted once whole; the count wraps at a multiple of the slot count.
  const int32_t count = kdl::plat::AtomicIncrement(Word(m_pCursor, kCountOffset));
  if (static_cast<uint32_t>(count) >= kCountModulus) {
    kdl::plat::AtomicCompareExchange(Word(m_pCursor, kCountOffset),
                                 count - static_cast<int32_t>(kCountModulus), count);
  }
  kdl::plat::SharedBlockSignal(m_Handles);
}

}  // namespace kdl::log
