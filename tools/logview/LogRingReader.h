// Reads the log writers' shared ring from outside, without writing to it:
// which lines are new, whether a copied slot is whole, how many lines went
// by unread, and when a writer opened the block anew (a restart).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdl::logview {

// One thing the reader found, in the order it happened.
struct RingEvent {
  enum Kind { kLine, kLost, kRestart };
  Kind kind = kLine;
  uint32_t level = 0;      // kLine: the slot's level word
  std::string text;        // kLine: the slot's bytes up to its NUL
  bool terminated = true;  // kLine: false when the slot held no NUL
  uint32_t lost = 0;       // kLost: lines that went by unread
};

class CLogRingReader {
 public:
  // How long a line that a writer has taken a number for may stay unwritten
  // before the reader counts it lost and goes on: its writer ended, or was
  // stopped, in the middle of it.
  static constexpr uint32_t kGiveUpMs = 500;

  // `block` is a read-only view of the whole block; it must stay mapped
  // while the reader uses it.
  explicit CLogRingReader(const unsigned char* block) : m_pBlock(block) {}

  // Positions the reader at the lines the ring holds now: all of them, or
  // only the last `backlog`.
  void Start(uint32_t backlog);
  // Appends to `out` everything published since the last call, in the order
  // the lines were numbered, so never a line older than one given before
  // from the same writer. A line is given only when its copy was whole;
  // every other line is counted in a kLost: overwritten before it was read,
  // mixed by two writers, or not written within kGiveUpMs of `nowMs` (a
  // steady clock in milliseconds) while it was the next to read. An opening
  // of the block is given as kRestart after the count of the old lines that
  // went unread, followed by the new generation's lines from its first.
  void Read(std::vector<RingEvent>& out, uint64_t nowMs);
  // Reads from another view of the block (the name now refers to a new
  // block); its lines are new, so it counts as a restart.
  void Reattach(const unsigned char* block);

  // The number of lines published since the block was last opened.
  uint32_t Published() const;
  // True while the reader waits for a line that a writer has taken a number
  // for but not yet written (at most kGiveUpMs).
  bool Waiting() const { return m_bPending; }

 private:
  enum class Copy { kLine, kLost, kPending };

  uint32_t LoadWord(size_t offset) const;
  // The generation and the number of the next line; false when no writer
  // of this scheme has opened the block.
  bool LoadClaim(uint32_t* generation, uint32_t* next) const;
  // The first line of `generation`; false when the restart word does not
  // belong to it (an opening in progress, or some other party's bytes).
  bool GenerationStart(uint32_t generation, uint32_t* first) const;
  // Follows an opening of the block: counts the old lines that went by
  // unread and moves to the new generation's first line.
  void FollowRestart(uint32_t generation, uint32_t next, std::vector<RingEvent>& out);
  // Copies line `n` of the reader's generation if it is whole.
  Copy CopyLine(uint32_t n, RingEvent* line) const;
  // Whether to wait for line n, still unwritten, or give it up.
  bool StillWaiting(uint32_t n, uint64_t nowMs);

  const unsigned char* m_pBlock;
  bool m_bAttached = false;    // a generation has been seen
  bool m_bReattached = false;  // a new view: its lines count as a restart
  uint32_t m_nGeneration = 0;
  uint32_t m_nNext = 0;     // number of the next line to read
  bool m_bPending = false;  // m_nPendingLine was found unwritten ...
  uint32_t m_nPendingLine = 0;
  uint64_t m_nPendingSince = 0;  // ... at this time
};

}  // namespace kdl::logview
