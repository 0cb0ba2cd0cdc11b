// Writes the fuzzer's seed corpus: for every type code of the packet tables
// one valid little-endian packet, named by its code in hex. Counted arrays
// hold two records (one when nested), numbers count up from 1, texts
// read "seed", raw fields and buffers hold a few patterned bytes. Classes
// that keep data in the stream get their fixed part and eight data bytes.
// Every seed must decode again to a packet of its code that reads all of it;
// a seed that does not is reported and the program fails.
//
//   make_fuzz_corpus DIR
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "describe/PacketDescribe.h"
#include "protocol/AllPackets.h"
#include "protocol/PacketFactory.h"

namespace {

using namespace PacketZVDiskless;  // the tables name classes unqualified

// Gives every field a recognisable non-zero value.
struct FillVisitor {
  uint32_t m_nNext = 1;
  int m_nDepth = 0;

  int U8(const char*, uint8_t& v) { v = static_cast<uint8_t>(m_nNext++); return 0; }
  int U16(const char*, uint16_t& v) { v = static_cast<uint16_t>(m_nNext++); return 0; }
  int U32(const char*, uint32_t& v) { v = m_nNext++; return 0; }
  int IPv4(const char* n, uint32_t& v) { return U32(n, v); }
  int Verbatim32(const char*, uint32_t& v) { v = 0x01020304u + m_nNext++; return 0; }
  template <size_t N>
  int Text(const char*, char (&p)[N]) {
    std::memset(p, 0, N);
    std::memcpy(p, "seed", N < 4 ? N : 4);
    return 0;
  }
  template <size_t N>
  int Raw(const char*, uint8_t (&p)[N]) {
    for (size_t i = 0; i < N; ++i) p[i] = static_cast<uint8_t>(0x10 + i);
    return 0;
  }
  int DateTime(const char* n, DateTimeField& t) { return Raw(n, t); }
  int Buffer(const char*, CPktBuffer& b) { return b.Assign("\x01\x02\x03\x04", 4); }
  template <class F>
  int Array(const char*, F& f) {
    if constexpr (kdl::describe::detail::IsCountedArray<F>::value) {
      if (f.SetCount(m_nDepth == 0 ? 2 : 1)) return -1;
      for (uint32_t i = 0; i < f.Held(); ++i)
        if (Part(*f.GetAt(i))) return -1;
    }
    return 0;
  }
  template <class R>
  int Record(const char*, R& r) { return Part(r); }

  template <class R>
  int Part(R& r) {
    if constexpr (kdl::describe::detail::HasFields<R, FillVisitor>::value) {
      ++m_nDepth;
      int rc = r.Fields(*this);
      --m_nDepth;
      return rc;
    } else {
      return 0;
    }
  }
};

std::vector<uint8_t> Pack(const CPacketHead& p) {
  std::vector<uint8_t> out(p.Size());
  CPktWriteStream w(out.data(), static_cast<uint32_t>(out.size()), false);
  if (p.Pack(w)) return {};
  out.resize(w.m_nPos);
  return out;
}

template <class T>
std::vector<uint8_t> Seed(uint32_t code) {
  CPacketHead head;
  head.Type = code;
  T packet(head);
  if (!kdl::describe::KeepsDataInStream(code)) {
    if constexpr (kdl::describe::detail::HasFields<T, FillVisitor>::value) {
      FillVisitor fill;
      if (packet.Fields(fill)) return {};
    }
  }
  packet.Length = packet.Size();
  std::vector<uint8_t> bytes = Pack(packet);
  if (bytes.empty()) return bytes;
  if (kdl::describe::KeepsDataInStream(code)) {
    // The data travels after the packed part and counts in Length.
    for (uint8_t i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(0xd0 + i));
    uint32_t length = static_cast<uint32_t>(bytes.size());
    for (int i = 0; i < 4; ++i) bytes[8 + i] = static_cast<uint8_t>(length >> (8 * i));
  }
  return bytes;
}

// Empty when the bytes decode to a packet of `code` that reads all of them,
// else what went wrong.
std::string CheckDecodes(uint32_t code, const std::vector<uint8_t>& bytes) {
  CPktReadStream r(bytes.data(), static_cast<uint32_t>(bytes.size()), false);
  std::unique_ptr<CPacketHead> p(CreatePacket(r));
  if (!p) return "does not decode";
  if (p->Type != code) return "decodes as " + kdl::describe::CodeText(p->Type);
  if (!kdl::describe::KeepsDataInStream(code) && r.m_nPos != bytes.size())
    return "decoding reads " + std::to_string(r.m_nPos) + " of " +
           std::to_string(bytes.size()) + " bytes";
  return std::string();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_corpus DIR\n");
    return 2;
  }
  std::string dir = argv[1];
  int written = 0, failed = 0;
  auto write = [&](uint32_t code, const std::vector<uint8_t>& bytes) {
    std::string why = bytes.empty() ? "does not pack" : CheckDecodes(code, bytes);
    if (!why.empty()) {
      std::fprintf(stderr, "make_fuzz_corpus: seed of %s %s\n", kdl::describe::CodeText(code).c_str(),
                   why.c_str());
      ++failed;
      return;
    }
    std::string path = dir + "/" + kdl::describe::CodeText(code);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f.write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()))) {
      std::fprintf(stderr, "make_fuzz_corpus: cannot write %s\n", path.c_str());
      ++failed;
      return;
    }
    ++written;
  };
#define KCORPUS_ROW(code, KIND, arg, TAIL) write(code, Seed<KPKT_TYPE(code, KIND, arg)>(code));
  KELVANE_ALL_PACKETS(KCORPUS_ROW)
#undef KCORPUS_ROW
  std::printf("%d seeds written to %s\n", written, dir.c_str());
  return failed ? 1 : 0;
}
