// The named shared-memory ring in which every log line is published for an
// outside viewer, and the event signalled after each record.
//
// Layout (little-endian, 0x20000 bytes): offset 0 reserved, offset 4 the
// index of the next slot to write (0..126), offset 8 reserved, offset 12 127
// slots of 1,020 bytes: the level (u32) and the NUL-terminated line.
//
// For viewers the writer also keeps two words in the otherwise unused tail
// after the last slot (native byte order): the number of lines published
// since the block was zeroed, counted modulo kCountModulus, and a non-zero
// stamp that a writer stores before the first line after the block was
// zeroed (zero: no line yet). The count and the index
// start at zero together and advance together, so line n stands in slot
// n mod 127. The index moves past a slot before the slot is written and the
// count is raised only after, so a viewer that reads them before and after
// copying a slot can tell whether the copy is whole and how many lines it
// missed, and a new stamp tells it that another writer (a restart) zeroed
// the block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace kdl::log {

class CLogSharedBlock {
 public:
  static constexpr size_t kBlockSize = 0x20000;
  static constexpr size_t kIndexOffset = 4;
  static constexpr size_t kSlotsOffset = 12;
  static constexpr uint32_t kSlotCount = 127;
  static constexpr size_t kSlotSize = 1020;
  static constexpr size_t kSlotTextSize = kSlotSize - 4;
  static constexpr size_t kCountOffset = kSlotsOffset + kSlotCount * kSlotSize;  // 129,552
  static constexpr size_t kStampOffset = kCountOffset + 4;
  // A multiple of the slot count, so that line n stays in slot n mod 127 when
  // the count wraps; below 2^31.
  static constexpr uint32_t kCountModulus = kSlotCount << 24;

  CLogSharedBlock() = default;
  ~CLogSharedBlock() { Close(); }
  CLogSharedBlock(const CLogSharedBlock&) = delete;
  CLogSharedBlock& operator=(const CLogSharedBlock&) = delete;

  // Creates or opens the block "Global<base>.mem" and its event
  // "Global<base>.evt" (base such as \host) and zeroes the block (count and
  // stamp first, so a viewer never takes the zeroed slots for lines). False
  // when either is unavailable; the block then publishes nothing.
  bool Open(const char* baseName);
  void Close();
  // Writes one record into the next slot, counts it and signals the event. A
  // line longer than a slot is cut so that it still ends with a line feed and
  // its NUL.
  void Publish(const char* line, uint32_t level);
  // The same for a line of `length` bytes (its strlen) that the caller knows.
  void Publish(const char* line, size_t length, uint32_t level);

  bool IsReady() const { return m_pCursor != nullptr; }
  const unsigned char* Base() const { return m_pBase; }
  const std::string& MemName() const { return m_strMemName; }
  const std::string& EventName() const { return m_strEvtName; }

 private:
  kdl::plat::SharedBlockHandles m_Handles;  // event and mapping
  unsigned char* m_pBase = nullptr;
  unsigned char* m_pCursor = nullptr;
  uint32_t m_nStamp = 0;  // this writer's stamp, stored with its first line
  std::string m_strMemName;
  std::string m_strEvtName;
};

}  // namespace kdl::log
