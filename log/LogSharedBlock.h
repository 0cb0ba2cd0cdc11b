// The named shared-memory ring in which every log line is published for an
// outside viewer, and the event signalled after each record.
//
// Layout (little-endian, 0x20000 bytes): offset 0 reserved, offset 4 the
// index of the next slot to write (0..126), offset 8 reserved, offset 12 127
// slots of 1,020 bytes: the level (u32) and the NUL-terminated line. So a
// viewer that knows only this layout finds the newest slot at index - 1.
//
// Several writers (processes of one host program) share the block, so the
// otherwise unused tail after the last slot holds what they need to agree
// and what a viewer needs to read them safely (native byte order):
//   - the claim word: the generation (7 bits, 1..127, raised by every writer
//     that opens the block and clears the ring) and the number of the next
//     line (25 bits, counted modulo kLineModulus, a multiple of the slot
//     count, so that line n always stands in slot n mod 127). A writer takes
//     a number with a compare-exchange; the index follows it.
//   - the restart word: the claim word that the last opening replaced, so a
//     viewer knows where the new generation's lines begin (line numbers run
//     on across an opening) and how many of the old ones it missed.
//   - the format word, kFormat once a writer of this scheme uses the tail.
//   - one sequence word per slot, a seqlock: odd while a writer copies line
//     n into it, even when the copy is whole; both carry the generation and
//     n's lap (n / 127). A writer takes the slot by compare-exchange from any
//     older lap (so a writer that died in the middle of a copy holds no slot
//     beyond one lap) and gives up its line if a newer lap holds it.
//   - one checksum word per slot, of the level and the text the writer
//     meant to write. A writer overtaken by a whole lap may still be copying
//     into a slot that a newer writer has since filled; the sum shows the
//     mixed bytes to the viewer, which counts the line lost.
// The seam's own bytes (its identity record and, on POSIX, the event's word)
// take the block's last kSharedBlockSeamBytes.
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
  static constexpr size_t kTailOffset = kSlotsOffset + kSlotCount * kSlotSize;  // 129,552
  static constexpr size_t kClaimOffset = kTailOffset;
  static constexpr size_t kRestartOffset = kTailOffset + 4;
  static constexpr size_t kFormatOffset = kTailOffset + 8;
  static constexpr size_t kSequenceOffset = 129600;  // on a cache line of their own
  static constexpr size_t kChecksumOffset = 130112;
  static constexpr uint32_t kFormat = 0x32524c4b;  // "KLR2"

  // Claim and sequence words: the generation in the top 7 bits.
  static constexpr uint32_t kGenerationShift = 25;
  static constexpr uint32_t kLowMask = (1u << kGenerationShift) - 1;
  static constexpr uint32_t kLapCount = 1u << 18;
  static constexpr uint32_t kLineModulus = kSlotCount * kLapCount;  // below 2^25

  static constexpr uint32_t GenerationOf(uint32_t word) { return word >> kGenerationShift; }
  static constexpr uint32_t LineOf(uint32_t claim) { return claim & kLowMask; }
  static constexpr uint32_t ClaimWord(uint32_t generation, uint32_t line) {
    return generation << kGenerationShift | line;
  }
  // Generations run 1..127; 0 is a block no writer has opened.
  static constexpr uint32_t NextGeneration(uint32_t g) { return g % 127 + 1; }
  static constexpr uint32_t PreviousGeneration(uint32_t g) { return g <= 1 ? 127 : g - 1; }
  static constexpr uint32_t Writing(uint32_t generation, uint32_t lap) {
    return generation << kGenerationShift | (2 * lap + 1);
  }
  static constexpr uint32_t Written(uint32_t generation, uint32_t lap) {
    return generation << kGenerationShift | (2 * lap + 2);
  }
  // The lap of a non-zero sequence word.
  static constexpr uint32_t LapOf(uint32_t sequence) { return ((sequence & kLowMask) - 1) / 2; }
  // How many laps `to` is ahead of `from`; more than half the count is behind.
  static constexpr uint32_t LapsAhead(uint32_t from, uint32_t to) {
    return (to - from) & (kLapCount - 1);
  }
  static constexpr uint32_t LinesAhead(uint32_t from, uint32_t to) {
    return (to + kLineModulus - from) % kLineModulus;
  }
  static constexpr size_t SequenceOffset(uint32_t slot) { return kSequenceOffset + 4 * slot; }
  static constexpr size_t ChecksumOffset(uint32_t slot) { return kChecksumOffset + 4 * slot; }
  // The checksum of a slot's level and text (its bytes up to the NUL).
  static uint32_t SlotChecksum(uint32_t level, const char* text, size_t length);

  CLogSharedBlock() = default;
  ~CLogSharedBlock() { Close(); }
  CLogSharedBlock(const CLogSharedBlock&) = delete;
  CLogSharedBlock& operator=(const CLogSharedBlock&) = delete;

  // Creates or opens the block "Global<base>.mem" and its event
  // "Global<base>.evt" (base such as \host) and clears the ring: the index,
  // the slots and their words, while writers in other processes may go on
  // publishing into it. Line numbers run on in a new generation. False when
  // either is unavailable or refused (Status() says why); the block then
  // publishes nothing.
  bool Open(const char* baseName);
  void Close();
  // Writes one record into the next slot and signals the event. A line
  // longer than a slot is cut so that it still ends with a line feed and its
  // NUL. No system call unless a viewer waits on the event.
  void Publish(const char* line, uint32_t level);
  // The same for a line of `length` bytes (its strlen) that the caller knows.
  void Publish(const char* line, size_t length, uint32_t level);

  bool IsReady() const { return m_pCursor != nullptr; }
  // What the last Open found.
  kdl::plat::SharedBlockStatus Status() const { return m_eStatus; }
  const unsigned char* Base() const { return m_pBase; }
  const std::string& MemName() const { return m_strMemName; }
  const std::string& EventName() const { return m_strEvtName; }

 private:
  volatile int32_t* Word(size_t offset) const;
  // Clears the ring and starts a new generation.
  void Restart();
  // Zeroes the index, the slots, their words and the tail's unused bytes.
  void ClearRing();
  // Takes the next line number; sets the generation it belongs to.
  uint32_t ClaimLine(uint32_t* generation);
  // Points the index at the slot after the newest claimed line.
  void StoreIndex();
  // Marks `slot` as being written with the line of `lap`; false when the
  // line is to be given up.
  bool TakeSlot(uint32_t slot, uint32_t generation, uint32_t lap);
  bool MayTake(uint32_t sequence, uint32_t generation, uint32_t lap);
  void WriteSlot(uint32_t slot, const char* line, size_t length, uint32_t level);

  kdl::plat::SharedBlockHandles m_Handles;  // event and mapping
  unsigned char* m_pBase = nullptr;
  unsigned char* m_pCursor = nullptr;
  kdl::plat::SharedBlockStatus m_eStatus = kdl::plat::SharedBlockStatus::kUnavailable;
  std::string m_strMemName;
  std::string m_strEvtName;
};

static_assert(CLogSharedBlock::kLineModulus < (1u << CLogSharedBlock::kGenerationShift),
              "line numbers fit below the generation");
static_assert(CLogSharedBlock::kSequenceOffset >= CLogSharedBlock::kFormatOffset + 4 &&
                  CLogSharedBlock::kSequenceOffset % 64 == 0,
              "sequence words after the tail's first words, on a cache line");
static_assert(CLogSharedBlock::kChecksumOffset >=
                  CLogSharedBlock::SequenceOffset(CLogSharedBlock::kSlotCount),
              "checksums after the sequence words");
static_assert(CLogSharedBlock::ChecksumOffset(CLogSharedBlock::kSlotCount) <=
                  CLogSharedBlock::kBlockSize - kdl::plat::kSharedBlockSeamBytes,
              "the ring's words end before the seam's bytes");

}  // namespace kdl::log
