#include "protocol/PacketFramer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/protocol/TestBytes.h"

namespace PacketZVDiskless {
namespace {

using kdl::test::Bytes;
using kdl::test::Zeros;

// Head words: Reserved0, Type, Length, Reserved3, ErrCode, Reserved5 (LE).
const std::vector<uint8_t> kHeadOnly = {  // Type 0x00020006, Length 24
    0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x02, 0x00, 0x18, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const std::vector<uint8_t> kWithBody = {  // Type 0x80020000, Length 30, 6-byte body
    0xAA, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x80, 0x1E, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x7F, 0x00, 0x00, 0x01, 0x20, 0x03};

// Feeds `stream` in pieces of `step` bytes; collects the packets and the
// result that ended the last look.
CPacketFramer::Result Cut(const std::vector<uint8_t>& stream, size_t step,
                          std::vector<std::vector<uint8_t>>* packets, CPacketFramer* cutter) {
  CPacketFramer::Result r = CPacketFramer::Result::kNeedMore;
  for (size_t pos = 0; pos < stream.size() && r != CPacketFramer::Result::kBadLength;) {
    const size_t n = std::min({step, stream.size() - pos, cutter->WriteSpace()});
    std::memcpy(cutter->WritePtr(), stream.data() + pos, n);
    cutter->Commit(n);
    pos += n;
    const uint8_t* p = nullptr;
    uint32_t size = 0;
    while ((r = cutter->Next(&p, &size)) == CPacketFramer::Result::kPacket) {
      packets->emplace_back(p, p + size);
    }
  }
  return r;
}

Bytes U32(uint32_t v) { return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// Head of a packet: type and length; other words 0.
Bytes Head(uint32_t type, uint32_t length) {
  return Zeros(4) + U32(type) + U32(length) + Zeros(12);
}

TEST(PacketFramerTest, DeliversWholePacketsWhateverTheReadSizes) {
  std::vector<uint8_t> big(200000, 0x5C);  // larger than the first buffer
  std::copy(kHeadOnly.begin(), kHeadOnly.end(), big.begin());
  big[8] = 0x40, big[9] = 0x0D, big[10] = 0x03;  // Length 200000 = 0x030D40
  std::vector<uint8_t> stream = kWithBody;
  const std::vector<uint8_t>* parts[] = {&kHeadOnly, &big, &kWithBody};
  for (const auto* p : parts) {
    stream.insert(stream.end(), p->begin(), p->end());
  }
  for (size_t step : {size_t(1), size_t(7), size_t(23), size_t(24), size_t(4096), stream.size()}) {
    CPacketFramer cutter;
    std::vector<std::vector<uint8_t>> packets;
    EXPECT_EQ(Cut(stream, step, &packets, &cutter), CPacketFramer::Result::kNeedMore);
    ASSERT_EQ(packets.size(), 4u) << step;
    EXPECT_EQ(packets[0], kWithBody);
    EXPECT_EQ(packets[1], kHeadOnly);
    EXPECT_EQ(packets[2], big);
    EXPECT_EQ(packets[3], kWithBody);
    EXPECT_EQ(cutter.Pending(), 0u);
  }
}

TEST(PacketFramerTest, LengthOutOfRangeStopsTheStreamAndTheCapItselfWaits) {
  const struct {
    uint32_t length;
    CPacketFramer::Result result;
  } cases[] = {{23, CPacketFramer::Result::kBadLength},
               {0, CPacketFramer::Result::kBadLength},
               {0x01000001, CPacketFramer::Result::kBadLength},  // 16 MiB + 1
               {0x01000000, CPacketFramer::Result::kNeedMore}};  // 16 MiB
  for (const auto& c : cases) {
    std::vector<uint8_t> stream = kHeadOnly;
    stream.insert(stream.end(), kHeadOnly.begin(), kHeadOnly.end());
    for (int i = 0; i < 4; ++i) stream[24 + 8 + i] = uint8_t(c.length >> (8 * i));
    CPacketFramer cutter;
    std::vector<std::vector<uint8_t>> packets;
    EXPECT_EQ(Cut(stream, stream.size(), &packets, &cutter), c.result);
    EXPECT_EQ(packets.size(), 1u);  // the good packet before it
    if (c.result == CPacketFramer::Result::kNeedMore) {
      EXPECT_GE(cutter.WriteSpace(), kMaxPacketSize - 24);
    } else {
      EXPECT_EQ(cutter.PendingLength(), c.length);
    }
  }
}

TEST(PacketFramerTest, CutsByLengthAcrossChunks) {
  CPacketFramer s(1024);
  Bytes a = Head(0x00020006, 24);
  Bytes b = Head(0x00020005, 32) + U32(0) + U32(2);
  Bytes stream = a + b;
  std::vector<uint8_t> frame;
  uint32_t len = 0;
  // One byte at a time: nothing before a whole frame is there.
  for (size_t i = 0; i < a.size() - 1; ++i) {
    s.Append(&stream[i], 1);
    ASSERT_EQ(s.Next(&frame, &len), CPacketFramer::Result::kNeedMore);
  }
  s.Append(&stream[a.size() - 1], stream.size() - a.size() + 1);
  ASSERT_EQ(s.Next(&frame, &len), CPacketFramer::Result::kPacket);
  EXPECT_EQ(Bytes(frame), a);
  ASSERT_EQ(s.Next(&frame, &len), CPacketFramer::Result::kPacket);
  EXPECT_EQ(Bytes(frame), b);
  EXPECT_EQ(s.Next(&frame, &len), CPacketFramer::Result::kNeedMore);
  EXPECT_EQ(s.Pending(), 0u);
}

TEST(PacketFramerTest, RefusesLengthsOutsideTheLimits) {
  for (uint32_t bad : {0u, 23u, 1025u}) {
    CPacketFramer s(1024);
    Bytes h = Head(0x00020006, bad);
    s.Append(h.data(), h.size());
    std::vector<uint8_t> frame;
    uint32_t len = 0;
    EXPECT_EQ(s.Next(&frame, &len), CPacketFramer::Result::kBadLength);
    EXPECT_EQ(len, bad);
  }
}

}  // namespace
}  // namespace PacketZVDiskless
