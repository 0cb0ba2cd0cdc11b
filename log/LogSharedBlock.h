// The named shared-memory ring in which every log line is published for an
// outside viewer, and the event signalled after each record.
//
// Layout (little-endian, 0x20000 bytes): offset 0 reserved, offset 4 the
// index of the next slot to write (0..126), offset 8 reserved, offset 12 127
// slots of 1,020 bytes: the level (u32) and the NUL-terminated line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Platform.h"

class CLogSharedBlock {
 public:
  static constexpr size_t kBlockSize = 0x20000;
  static constexpr size_t kIndexOffset = 4;
  static constexpr size_t kSlotsOffset = 12;
  static constexpr uint32_t kSlotCount = 127;
  static constexpr size_t kSlotSize = 1020;
  static constexpr size_t kSlotTextSize = kSlotSize - 4;

  CLogSharedBlock() = default;
  ~CLogSharedBlock() { Close(); }
  CLogSharedBlock(const CLogSharedBlock&) = delete;
  CLogSharedBlock& operator=(const CLogSharedBlock&) = delete;

  // Creates or opens the block "Global<base>.mem" and its event
  // "Global<base>.evt" (base such as \host) and zeroes the block. False when
  // either is unavailable; the block then publishes nothing.
  bool Open(const char* baseName);
  void Close();
  // Writes one record into the next slot and signals the event. A line longer
  // than a slot is cut so that it still ends with a line feed and its NUL.
  void Publish(const char* line, uint32_t level);

  bool IsReady() const { return m_pCursor != nullptr; }
  const unsigned char* Base() const { return m_pBase; }
  const std::string& MemName() const { return m_strMemName; }
  const std::string& EventName() const { return m_strEvtName; }

 private:
  kplat::SharedBlockHandles m_Handles;  // event and mapping
  unsigned char* m_pBase = nullptr;
  unsigned char* m_pCursor = nullptr;
  std::string m_strMemName;
  std::string m_strEvtName;
};
