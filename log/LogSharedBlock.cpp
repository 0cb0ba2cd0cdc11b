// Shared-memory ring of published log lines.
#include "log/LogSharedBlock.h"

#include <cstring>

#include "log/LogNaming.h"

bool CLogSharedBlock::Open(const char* baseName) {
  Close();
  const std::string base = baseName == nullptr ? std::string() : std::string(baseName);
  m_strMemName = klog::SharedMemName(base);  // may throw: no ring then
  m_strEvtName = klog::SharedEventName(base);
  m_Handles = kplat::SharedBlockOpen(m_strMemName, m_strEvtName, kBlockSize);
  if (m_Handles.view == nullptr || m_Handles.event == nullptr) {
    Close();
    return false;
  }
  m_pBase = static_cast<unsigned char*>(m_Handles.view);
  std::memset(m_pBase, 0, kBlockSize);
  m_pCursor = m_pBase;
  return true;
}

void CLogSharedBlock::Close() {
  m_pBase = nullptr;
  m_pCursor = nullptr;
  kplat::SharedBlockClose(m_Handles, kBlockSize);
}

void CLogSharedBlock::Publish(const char* line, uint32_t level) {
  if (m_pCursor == nullptr) return;
  // Another process may have shrunk the block under the mapping; writing
  // there would kill the process. The ring turns off if it cannot be grown
  // back.
  if (!kplat::SharedBlockIntact(m_Handles, kBlockSize)) {
    Close();
    return;
  }
  // Claim a slot with a compare-exchange, so that writers in two processes
  // sharing the block never get the same slot or lose an update. An index
  // outside the ring (written by some other party) restarts it at 0.
  auto* index = reinterpret_cast<volatile int32_t*>(m_pCursor + kIndexOffset);
  int32_t seen = kplat::AtomicLoad(index);
  uint32_t slot;
  for (;;) {
    slot = static_cast<uint32_t>(seen) < kSlotCount ? static_cast<uint32_t>(seen) : 0;
    int32_t next = slot + 1 >= kSlotCount ? 0 : static_cast<int32_t>(slot + 1);
    int32_t before = kplat::AtomicCompareExchange(index, next, seen);
    if (before == seen) break;
    seen = before;
  }

  unsigned char* p = m_pCursor + kSlotsOffset + slot * kSlotSize;
  std::memset(p, 0, kSlotSize);
  const uint8_t le[4] = {static_cast<uint8_t>(level), static_cast<uint8_t>(level >> 8),
                         static_cast<uint8_t>(level >> 16), static_cast<uint8_t>(level >> 24)};
  std::memcpy(p, le, 4);
  char* text = reinterpret_cast<char*>(p + 4);
  const char* src = line == nullptr ? "" : line;
  size_t len = std::strlen(src);
  if (len < kSlotTextSize) {
    std::memcpy(text, src, len);
  } else {
    // Cut to fit; a cut line keeps its final line feed.
    size_t keep = kSlotTextSize - 1;
    std::memcpy(text, src, keep);
    if (src[len - 1] == '\n') text[keep - 1] = '\n';
  }
  kplat::SharedBlockSignal(m_Handles);
}
