// Puts the segments of one direction of a TCP connection back into the
// order of their sequence numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace kdl::dump {

// Receives the bytes of a stream in order.
class StreamSink {
 public:
  virtual ~StreamSink() = default;
  // The next bytes of the stream, from stream offset `offset` on;
  // `segmentStart` is true when they begin where a captured segment began
  // (not after an overlap that was cut off).
  virtual void Bytes(uint64_t offset, const uint8_t* p, size_t n, bool segmentStart) = 0;
  // `missing` bytes of the stream were never captured; what follows comes
  // after them.
  virtual void Gap(uint64_t missing) = 0;
};

// One direction of a connection. Segments may come in any order and more
// than once: each stream byte reaches the sink once, in order. The first
// byte is the one after the SYN's sequence number, or, when the capture
// holds no SYN, the first byte of the first segment seen.
class TcpDirection {
 public:
  // Bytes held beyond a gap before the gap is given up as lost.
  static constexpr size_t kMaxHeld = 32u << 20;

  void Add(uint32_t seq, bool syn, const uint8_t* p, size_t n, StreamSink& sink);
  // The capture has ended: what is held beyond gaps goes out after them.
  void Finish(StreamSink& sink);

  bool Started() const { return m_bStarted; }
  // Sequence number of stream offset 0 (once started).
  uint32_t Base() const { return m_nBase; }
  // Stream offset of the next byte the sink expects.
  uint64_t Next() const { return m_nNext; }

 private:
  void Deliver(uint64_t offset, const uint8_t* p, size_t n, StreamSink& sink);
  void Drain(StreamSink& sink);
  void SkipGap(StreamSink& sink);

  bool m_bStarted = false;
  uint32_t m_nBase = 0;    // sequence number of stream offset 0
  uint64_t m_nNext = 0;    // stream offset of the next byte to deliver
  std::map<uint64_t, std::vector<uint8_t>> m_Held;  // ahead of m_nNext, by offset
  size_t m_nHeldBytes = 0;
};

}  // namespace kdl::dump
