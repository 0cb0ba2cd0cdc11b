// Reads the log writer's shared ring from outside, without ever writing to
// it: which lines are new, whether a copied slot is whole, how many lines
// went by unread, and when another writer took the block over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdl::logview {

// One thing the reader found, in the order it happened.
struct RingEvent {
  enum Kind { kLine, kLost, kRestart };
  Kind kind = kLine;
  uint32_t level = 0;       // kLine: the slot's level word
  std::string text;         // kLine: the slot's bytes up to its NUL
  bool terminated = true;   // kLine: false when the slot held no NUL
  uint32_t lost = 0;        // kLost: lines overwritten before they were read
};

class CLogRingReader {
 public:
  // `block` is a read-only view of the whole block; it must stay mapped
  // while the reader uses it.
  explicit CLogRingReader(const unsigned char* block) : m_pBlock(block) {}

  // Positions the reader at the lines the ring holds now: all of them, or
  // only the last `backlog`.
  void Start(uint32_t backlog);
  // Appends to `out` everything published since the last call. A line is
  // given only when its copy was whole; lines overwritten before they could
  // be copied are given as one kLost; a writer that zeroed the block (a new
  // stamp, or the count going back) is given as kRestart, followed by its
  // lines from the first.
  void Read(std::vector<RingEvent>& out);
  // Reads from another view of the block (the name now refers to a new
  // object); its lines are new, so it counts as a restart.
  void Reattach(const unsigned char* block);

  // The writer's line count now (modulo the count's modulus).
  uint32_t Published() const;

 private:
  // The stamp and the count of one writer; false when there is no line yet
  // or the block is being zeroed.
  bool Snapshot(uint32_t* stamp, uint32_t* count) const;
  uint32_t LoadStamp() const;
  uint32_t LoadCount() const;
  // Copies line `n` if it is still whole; false when it was overwritten.
  bool CopyLine(uint32_t n, RingEvent* line) const;

  const unsigned char* m_pBlock;
  uint32_t m_nStamp = 0;
  uint32_t m_nNext = 0;    // number of the next line to read
  bool m_bAttached = false;  // a writer's stamp has been seen
  bool m_bReattached = false;  // a new view: its lines count as a restart
};

}  // namespace kdl::logview
