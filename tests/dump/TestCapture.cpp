#include "tests/dump/TestCapture.h"

#include <filesystem>
#include <iterator>
#include <map>

namespace kdl::test {
namespace {

using Bytes = CaptureBytes;
constexpr uint32_t kTool = 0x0a010002, kServer = 0x0a010001, kBroadcast = 0xffffffff;
constexpr uint16_t kToolPort = 40001, kDiscoverPort = 800;

void Put16(Bytes& b, uint16_t v) { b.push_back(uint8_t(v >> 8)), b.push_back(uint8_t(v)); }
void Put32(Bytes& b, uint32_t v) { Put16(b, uint16_t(v >> 16)), Put16(b, uint16_t(v)); }
void PutLe32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

uint16_t Checksum(const Bytes& b, size_t from, size_t n, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += uint32_t(b[from + i] << 8 | b[from + i + 1]);
  if (n % 2) sum += uint32_t(b[from + n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return uint16_t(~sum);
}

Bytes Slice(const Bytes& b, size_t from, size_t n) {
  return Bytes(b.begin() + long(from), b.begin() + long(std::min(b.size(), from + n)));
}

}  // namespace

PcapFile::PcapFile(const std::string& path) : m_Out(path, std::ios::binary | std::ios::trunc) {
  Bytes h;
  PutLe32(h, 0xa1b2c3d4), PutLe32(h, 0x00040002), PutLe32(h, 0), PutLe32(h, 0);
  PutLe32(h, 65535), PutLe32(h, 1);  // snap length, Ethernet
  Write(h);
}

void PcapFile::Udp(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport,
                   const CaptureBytes& data) {
  Bytes l4;
  Put16(l4, sport), Put16(l4, dport), Put16(l4, uint16_t(8 + data.size())), Put16(l4, 0);
  l4.insert(l4.end(), data.begin(), data.end());
  Frame(src, dst, l4, 17);
}

void PcapFile::Tcp(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport, uint32_t seq,
                   uint32_t ack, uint8_t flags, const CaptureBytes& data) {
  Bytes l4;
  Put16(l4, sport), Put16(l4, dport), Put32(l4, seq), Put32(l4, ack);
  Put16(l4, uint16_t(0x5000 | flags)), Put16(l4, 65535), Put32(l4, 0);
  l4.insert(l4.end(), data.begin(), data.end());
  Frame(src, dst, l4, 6);
}

// Ethernet and IPv4 around a transport header and payload; fills in the
// transport checksum.
void PcapFile::Frame(uint32_t src, uint32_t dst, const CaptureBytes& l4, uint8_t proto) {
  Bytes f = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x08, 0x00};
  const size_t ip = f.size();
  Put16(f, 0x4500), Put16(f, uint16_t(20 + l4.size())), Put32(f, 0), Put16(f, uint16_t(0x4000 | proto));
  Put16(f, 0), Put32(f, src), Put32(f, dst);
  uint16_t ipSum = Checksum(f, ip, 20);
  f[ip + 10] = uint8_t(ipSum >> 8), f[ip + 11] = uint8_t(ipSum);
  const size_t at = f.size();
  f.insert(f.end(), l4.begin(), l4.end());
  uint32_t pseudo = (src >> 16) + (src & 0xffff) + (dst >> 16) + (dst & 0xffff) + proto +
                    uint32_t(l4.size());
  uint16_t sum = Checksum(f, at, l4.size(), pseudo);
  const size_t sumAt = at + (proto == 6 ? 16 : 6);
  f[sumAt] = uint8_t(sum >> 8), f[sumAt + 1] = uint8_t(sum);
  Bytes r;
  m_nMicros += 1000;
  PutLe32(r, 1767601800 + m_nMicros / 1000000), PutLe32(r, m_nMicros % 1000000);
  PutLe32(r, uint32_t(f.size())), PutLe32(r, uint32_t(f.size()));
  Write(r), Write(f);
}

void PcapFile::Write(const CaptureBytes& b) {
  m_Out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

bool WriteTestCapture(const std::string& corpusDir, const std::string& path, TestCapture* info,
                      std::string* why) {
  std::map<uint32_t, Bytes> seeds;  // by code, so the stream goes in code order
  for (const auto& e : std::filesystem::directory_iterator(corpusDir)) {
    if (!e.is_regular_file()) continue;  // the other fuzz targets' seed folders
    std::ifstream f(e.path(), std::ios::binary);
    seeds[uint32_t(std::stoul(e.path().filename().string(), nullptr, 16))] =
        Bytes(std::istreambuf_iterator<char>(f), {});
  }
  Bytes request = seeds[0x00020000], reply = seeds[0x80020000];
  const Bytes& split = seeds[TestCapture::kSplitCode];
  if (seeds.size() < 197 || reply.size() < 32 || split.size() < 3) {
    *why = "the corpus in " + corpusDir + " lacks seeds";
    return false;
  }
  reply[28] = uint8_t(TestCapture::kServicePort);  // the first record's TcpPort
  reply[29] = uint8_t(TestCapture::kServicePort >> 8);
  PcapFile pcap(path);
  pcap.Udp(kTool, kToolPort, kBroadcast, kDiscoverPort, request);
  pcap.Udp(kServer, kDiscoverPort, kTool, kToolPort, reply);
  Bytes stream;
  for (const auto& s : seeds)
    if (s.first != 0x00020000 && s.first != 0x80020000)
      stream.insert(stream.end(), s.second.begin(), s.second.end());
  const uint16_t sp = TestCapture::kServicePort;
  const uint32_t toolIsn = 999, serverIsn = 4999, toolEnd = toolIsn + 1 + uint32_t(stream.size());
  pcap.Tcp(kTool, kToolPort, kServer, sp, toolIsn, 0, PcapFile::kSyn, {});
  pcap.Tcp(kServer, sp, kTool, kToolPort, serverIsn, toolIsn + 1, PcapFile::kSyn | PcapFile::kAck, {});
  for (size_t at = 0; at < stream.size(); at += 1000)
    pcap.Tcp(kTool, kToolPort, kServer, sp, toolIsn + 1 + uint32_t(at), serverIsn + 1,
             PcapFile::kAck | PcapFile::kPsh, Slice(stream, at, 1000));
  // The reply in three pieces: the last first, then the first twice, then the middle.
  size_t third = split.size() / 3;
  for (size_t piece : {2, 0, 0, 1}) {
    size_t from = piece * third, n = piece == 2 ? split.size() - from : third;
    pcap.Tcp(kServer, sp, kTool, kToolPort, serverIsn + 1 + uint32_t(from), toolEnd,
             PcapFile::kAck | PcapFile::kPsh, Slice(split, from, n));
  }
  info->codes = seeds.size();
  if (!pcap.Good()) *why = "cannot write " + path;
  return pcap.Good();
}

}  // namespace kdl::test
