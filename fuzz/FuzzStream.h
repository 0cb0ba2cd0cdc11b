// The input layout of the stream fuzz targets: a byte stream and the sizes
// of the pieces it arrives in, both taken from the fuzzer's input, so that
// every way of cutting a stream into reads (or datagrams) is reachable.
//
//   byte 0          flags, read by each target in its own way
//   byte 1          n: the number of chunk-size bytes that follow (mod 17)
//   bytes 2..n+1    chunk sizes, used in turn; none: the stream in one piece
//   the rest        the stream
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kdl::fuzz {

class CStreamInput {
 public:
  static constexpr size_t kMaxPlan = 16;

  // Splits an input; false when it is too short for the two header bytes.
  bool Parse(const uint8_t* data, size_t size) {
    if (size < 2) return false;
    m_flags = data[0];
    m_planSize = data[1] % (kMaxPlan + 1);
    if (m_planSize > size - 2) m_planSize = size - 2;
    m_plan = data + 2;
    m_stream = m_plan + m_planSize;
    m_streamSize = size - 2 - m_planSize;
    return true;
  }

  uint8_t Flags() const { return m_flags; }
  const uint8_t* Stream() const { return m_stream; }
  size_t StreamSize() const { return m_streamSize; }

  // Calls fn(data, size) for each piece of the stream in order, while fn
  // returns true. A plan byte v gives a piece of 1 + v*v/8 bytes (1 to 8129).
  template <class Fn>
  void ForEachChunk(Fn&& fn) const {
    size_t at = 0;
    for (size_t i = 0; at < m_streamSize; ++i) {
      size_t n = m_streamSize - at;
      if (m_planSize) {
        const size_t v = m_plan[i % m_planSize];
        if (1 + v * v / 8 < n) n = 1 + v * v / 8;
      }
      if (!fn(m_stream + at, n)) return;
      at += n;
    }
  }

  // An input of this layout, for writing seeds.
  static std::vector<uint8_t> Make(uint8_t flags, const std::vector<uint8_t>& plan,
                                   const std::vector<uint8_t>& stream) {
    std::vector<uint8_t> out{flags, static_cast<uint8_t>(plan.size())};
    out.insert(out.end(), plan.begin(), plan.end());
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
  }

 private:
  uint8_t m_flags = 0;
  const uint8_t* m_plan = nullptr;
  size_t m_planSize = 0;
  const uint8_t* m_stream = nullptr;
  size_t m_streamSize = 0;
};

}  // namespace kdl::fuzz
