// Fuzzes the packet factory with arbitrary bytes, read in both byte orders.
//
// Whatever decodes must describe without fault, report a Size() equal to the
// bytes its Unpack read and, for every class whose Pack mirrors its Unpack,
// re-pack into exactly Size() bytes equal to the input it was read from.
// Any difference aborts, so libFuzzer keeps the input as a crash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "describe/PacketDescribe.h"
#include "protocol/PacketFactory.h"

namespace {

using PacketZVDiskless::CPacketHead;
using PacketZVDiskless::CPktReadStream;
using PacketZVDiskless::CPktWriteStream;

[[noreturn]] void Fail(const char* what, const CPacketHead& p, bool net, const std::string& more) {
  std::fprintf(stderr, "packet_fuzzer: %s: type %s (%s), byte order %s %s\n", what,
               kdl::describe::CodeText(p.Type).c_str(),
               kdl::describe::PacketClassName(p.Type) ? kdl::describe::PacketClassName(p.Type) : "?",
               net ? "big-endian" : "little-endian", more.c_str());
  std::abort();
}

void CheckOne(const uint8_t* data, size_t size, bool net) {
  CPktReadStream reader(data, static_cast<uint32_t>(size), net);
  std::unique_ptr<CPacketHead> packet(PacketZVDiskless::CreatePacket(reader));
  if (!packet) return;
  const CPacketHead& p = *packet;
  uint32_t consumed = reader.m_nPos;
  if (consumed > size || consumed < PacketZVDiskless::kPacketHeadSize)
    Fail("reader position outside the input", p, net, std::to_string(consumed));

  // The description must build and print as valid JSON.
  kdl::describe::Json d = kdl::describe::DescribeDecoded(p, data, size, consumed, net);
  std::string text = d.dump();
  if (text.empty()) Fail("empty description", p, net, "");

  uint32_t n = p.Size();
  if (kdl::describe::KeepsDataInStream(p.Type)) return;  // data stays in the stream
  if (n != consumed)
    Fail("Size() differs from the bytes Unpack read", p, net,
         std::to_string(n) + " != " + std::to_string(consumed));

  std::vector<uint8_t> out(n);
  CPktWriteStream writer(out.data(), n, net);
  if (p.Pack(writer) != 0) Fail("Pack into Size() bytes failed", p, net, "");
  if (writer.m_nPos != n)
    Fail("Pack wrote fewer bytes than Size()", p, net, std::to_string(writer.m_nPos));
  for (uint32_t i = 0; i < n; ++i)
    if (out[i] != data[i])
      Fail("re-packed bytes differ from the input", p, net,
           "at offset " + std::to_string(i) + ": " + kdl::describe::HexOf(&out[i], 1) + " != " +
               kdl::describe::HexOf(&data[i], 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;  // streams count in 32 bits; no packet is this large
  CheckOne(data, size, /*net=*/false);
  CheckOne(data, size, /*net=*/true);
  return 0;
}
