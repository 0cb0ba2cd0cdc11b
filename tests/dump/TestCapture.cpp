#include "tests/dump/TestCapture.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

namespace kdl::test {
namespace {

using Bytes = std::vector<uint8_t>;
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

// Ethernet, IPv4 and the transport header (TCP when `tcp`) around `payload`.
struct Tcp {
  uint32_t seq, ack;
  uint8_t flags;
};
Bytes Frame(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport, const Tcp* tcp,
            const Bytes& payload) {
  Bytes f = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x08, 0x00};
  size_t ip = f.size(), l4len = (tcp ? 20 : 8) + payload.size();
  Put16(f, 0x4500), Put16(f, uint16_t(20 + l4len)), Put32(f, 0), Put16(f, tcp ? 0x4006 : 0x4011);
  Put16(f, 0), Put32(f, src), Put32(f, dst);
  uint16_t ipSum = Checksum(f, ip, 20);
  f[ip + 10] = uint8_t(ipSum >> 8), f[ip + 11] = uint8_t(ipSum);
  size_t l4 = f.size();
  Put16(f, sport), Put16(f, dport);
  if (tcp) {
    Put32(f, tcp->seq), Put32(f, tcp->ack), Put16(f, uint16_t(0x5000 | tcp->flags));
    Put16(f, 65535), Put32(f, 0);
  } else {
    Put16(f, uint16_t(l4len)), Put16(f, 0);
  }
  f.insert(f.end(), payload.begin(), payload.end());
  uint32_t pseudo = (src >> 16) + (src & 0xffff) + (dst >> 16) + (dst & 0xffff) +
                    (tcp ? 6u : 17u) + uint32_t(l4len);
  uint16_t sum = Checksum(f, l4, l4len, pseudo);
  f[l4 + (tcp ? 16 : 6)] = uint8_t(sum >> 8), f[l4 + (tcp ? 17 : 7)] = uint8_t(sum);
  return f;
}

class PcapWriter {
 public:
  explicit PcapWriter(const std::string& path) : m_Out(path, std::ios::binary | std::ios::trunc) {
    Bytes h;
    PutLe32(h, 0xa1b2c3d4), PutLe32(h, 0x00040002), PutLe32(h, 0), PutLe32(h, 0);
    PutLe32(h, 65535), PutLe32(h, 1);  // snap length, Ethernet
    Write(h);
  }
  void Add(const Bytes& frame) {
    Bytes r;
    m_nMicros += 1000;
    PutLe32(r, 1767601800 + m_nMicros / 1000000), PutLe32(r, m_nMicros % 1000000);
    PutLe32(r, uint32_t(frame.size())), PutLe32(r, uint32_t(frame.size()));
    Write(r), Write(frame);
  }
  bool Good() const { return bool(m_Out); }

 private:
  void Write(const Bytes& b) { m_Out.write(reinterpret_cast<const char*>(b.data()), b.size()); }
  std::ofstream m_Out;
  uint32_t m_nMicros = 0;
};

Bytes Slice(const Bytes& b, size_t from, size_t n) {
  return Bytes(b.begin() + long(from), b.begin() + long(std::min(b.size(), from + n)));
}

}  // namespace

bool WriteTestCapture(const std::string& corpusDir, const std::string& path, TestCapture* info,
                      std::string* why) {
  std::map<uint32_t, Bytes> seeds;  // by code, so the streams go in code order
  for (const auto& e : std::filesystem::directory_iterator(corpusDir)) {
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
  PcapWriter pcap(path);
  pcap.Add(Frame(kTool, kBroadcast, kToolPort, kDiscoverPort, nullptr, request));
  pcap.Add(Frame(kServer, kTool, kDiscoverPort, kToolPort, nullptr, reply));
  const uint16_t sp = TestCapture::kServicePort;
  const uint8_t kSyn = 0x02, kAck = 0x10, kPsh = 0x08;
  Bytes stream;
  for (const auto& s : seeds)
    if (s.first != 0x00020000 && s.first != 0x80020000)
      stream.insert(stream.end(), s.second.begin(), s.second.end());
  const uint32_t toolIsn = 999, serverIsn = 4999, toolEnd = toolIsn + 1 + uint32_t(stream.size());
  Tcp syn{toolIsn, 0, kSyn}, synAck{serverIsn, toolIsn + 1, kSyn | kAck};
  pcap.Add(Frame(kTool, kServer, kToolPort, sp, &syn, {}));
  pcap.Add(Frame(kServer, kTool, sp, kToolPort, &synAck, {}));
  for (size_t at = 0; at < stream.size(); at += 1000) {
    Tcp t{toolIsn + 1 + uint32_t(at), serverIsn + 1, kAck | kPsh};
    pcap.Add(Frame(kTool, kServer, kToolPort, sp, &t, Slice(stream, at, 1000)));
  }
  // The reply in three pieces: the last first, then the first twice, then the middle.
  size_t third = split.size() / 3;
  for (size_t piece : {2, 0, 0, 1}) {
    size_t from = piece * third, n = piece == 2 ? split.size() - from : third;
    Tcp t{serverIsn + 1 + uint32_t(from), toolEnd, kAck | kPsh};
    pcap.Add(Frame(kServer, kTool, sp, kToolPort, &t, Slice(split, from, n)));
  }
  info->codes = seeds.size();
  if (!pcap.Good()) *why = "cannot write " + path;
  return pcap.Good();
}

}  // namespace kdl::test
