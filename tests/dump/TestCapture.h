// A synthetic capture for the dump and dissector tests, written from the
// fuzzer's seed corpus: one valid packet of every type code.
#pragma once

#include <cstdint>
#include <string>

namespace kdl::test {

// What the capture holds, for the checks.
struct TestCapture {
  static constexpr uint16_t kServicePort = 8000;  // the discovery reply announces it
  static constexpr uint32_t kSplitCode = 0x80020006;  // the one server-to-tool packet
  size_t codes = 0;  // seeds written (one per code)
};

// Writes an Ethernet pcap to `path`: the discover request and reply seeds in
// UDP datagrams on port 800 (the reply announcing kServicePort), every other
// seed in one TCP connection from the tool to kServicePort, several packets
// to a segment and packets across segments, and in the other direction the
// seed of kSplitCode cut into three segments sent out of order, the first
// twice. False (with a reason) when the corpus cannot be read.
bool WriteTestCapture(const std::string& corpusDir, const std::string& path, TestCapture* info,
                      std::string* why);

}  // namespace kdl::test
