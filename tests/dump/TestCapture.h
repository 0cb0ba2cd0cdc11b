// Captures for the dump and dissector tests: a pcap writer, and a synthetic
// capture written from the fuzzer's seed corpus with one valid packet of
// every type code.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace kdl::test {

using CaptureBytes = std::vector<uint8_t>;

// A pcap file of Ethernet frames carrying IPv4 UDP datagrams and TCP
// segments (with their checksums), one millisecond apart.
class PcapFile {
 public:
  static constexpr uint8_t kSyn = 0x02, kAck = 0x10, kPsh = 0x08;
  explicit PcapFile(const std::string& path);
  void Udp(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport, const CaptureBytes& data);
  void Tcp(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport, uint32_t seq, uint32_t ack,
           uint8_t flags, const CaptureBytes& data);
  bool Good() const { return bool(m_Out); }

 private:
  void Frame(uint32_t src, uint32_t dst, const CaptureBytes& l4, uint8_t proto);
  void Write(const CaptureBytes& b);
  std::ofstream m_Out;
  uint32_t m_nMicros = 0;
};

// What the synthetic capture holds, for the checks.
struct TestCapture {
  static constexpr uint16_t kServicePort = 8000;  // the discovery reply announces it
  static constexpr uint32_t kSplitCode = 0x80020006;  // the one server-to-tool packet
  size_t codes = 0;  // seeds written (one per code)
};

// Writes the synthetic capture to `path`: the discover request and reply
// seeds in UDP datagrams on port 800 (the reply announcing kServicePort),
// every other seed in one TCP connection from the tool to kServicePort,
// several packets to a segment and packets across segments, and in the
// other direction the seed of kSplitCode cut into three segments sent out
// of order, the first twice. False (with a reason) when the corpus cannot
// be read.
bool WriteTestCapture(const std::string& corpusDir, const std::string& path, TestCapture* info,
                      std::string* why);

}  // namespace kdl::test
