#include "transport/PacketCutter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "transport/Address.h"
#include "util/IPv4Text.h"

namespace kdl::transport {
namespace {

using kdl::util::FormatIPv4;

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
CPacketCutter::Result Cut(const std::vector<uint8_t>& stream, size_t step,
                          std::vector<std::vector<uint8_t>>* packets, CPacketCutter* cutter) {
  CPacketCutter::Result r = CPacketCutter::Result::kNeedMore;
  for (size_t pos = 0; pos < stream.size() && r != CPacketCutter::Result::kBadLength;) {
    const size_t n = std::min({step, stream.size() - pos, cutter->WriteSpace()});
    std::memcpy(cutter->WritePtr(), stream.data() + pos, n);
    cutter->Commit(n);
    pos += n;
    const uint8_t* p = nullptr;
    uint32_t size = 0;
    while ((r = cutter->Next(&p, &size)) == CPacketCutter::Result::kPacket) {
      packets->emplace_back(p, p + size);
    }
  }
  return r;
}

TEST(PacketCutterTest, DeliversWholePacketsWhateverTheReadSizes) {
  std::vector<uint8_t> big(200000, 0x5C);  // larger than the first buffer
  std::copy(kHeadOnly.begin(), kHeadOnly.end(), big.begin());
  big[8] = 0x40, big[9] = 0x0D, big[10] = 0x03;  // Length 200000 = 0x030D40
  std::vector<uint8_t> stream = kWithBody;
  const std::vector<uint8_t>* parts[] = {&kHeadOnly, &big, &kWithBody};
  for (const auto* p : parts) {
    stream.insert(stream.end(), p->begin(), p->end());
  }
  for (size_t step : {size_t(1), size_t(7), size_t(23), size_t(24), size_t(4096), stream.size()}) {
    CPacketCutter cutter;
    std::vector<std::vector<uint8_t>> packets;
    EXPECT_EQ(Cut(stream, step, &packets, &cutter), CPacketCutter::Result::kNeedMore);
    ASSERT_EQ(packets.size(), 4u) << step;
    EXPECT_EQ(packets[0], kWithBody);
    EXPECT_EQ(packets[1], kHeadOnly);
    EXPECT_EQ(packets[2], big);
    EXPECT_EQ(packets[3], kWithBody);
    EXPECT_EQ(cutter.Pending(), 0u);
  }
}

TEST(PacketCutterTest, LengthOutOfRangeStopsTheStreamAndTheCapItselfWaits) {
  const struct {
    uint32_t length;
    CPacketCutter::Result result;
  } cases[] = {{23, CPacketCutter::Result::kBadLength},
               {0, CPacketCutter::Result::kBadLength},
               {0x01000001, CPacketCutter::Result::kBadLength},  // 16 MiB + 1
               {0x01000000, CPacketCutter::Result::kNeedMore}};  // 16 MiB
  for (const auto& c : cases) {
    std::vector<uint8_t> stream = kHeadOnly;
    stream.insert(stream.end(), kHeadOnly.begin(), kHeadOnly.end());
    for (int i = 0; i < 4; ++i) stream[24 + 8 + i] = uint8_t(c.length >> (8 * i));
    CPacketCutter cutter;
    std::vector<std::vector<uint8_t>> packets;
    EXPECT_EQ(Cut(stream, stream.size(), &packets, &cutter), c.result);
    EXPECT_EQ(packets.size(), 1u);  // the good packet before it
    if (c.result == CPacketCutter::Result::kNeedMore) {
      EXPECT_GE(cutter.WriteSpace(), CPacketCutter::kMaxPacketSize - 24);
    } else {
      EXPECT_EQ(cutter.BadLength(), c.length);
    }
  }
}

TEST(AddressTest, ParsesStrictDottedTextOnly) {
  uint32_t a = 0;
  ASSERT_TRUE(ParseIPv4("127.0.0.1", &a));
  EXPECT_EQ(a, 0x7F000001u);
  ASSERT_TRUE(ParseIPv4("255.255.255.255", &a));
  EXPECT_EQ(a, 0xFFFFFFFFu);
  for (const char* bad : {"", "1.2.3", "256.1.1.1", "1.2.3.4 ", "a.b.c.d", "1.2.3.4.5"}) {
    EXPECT_FALSE(ParseIPv4(bad, &a)) << bad;
  }
  EXPECT_FALSE(ParseIPv4(nullptr, &a));
  char unterminated[40];
  std::memset(unterminated, '1', sizeof unterminated);  // no NUL: must not read past 32
  EXPECT_FALSE(ParseIPv4(unterminated, &a));
  char text[16];
  FormatIPv4(0xC0A80A01u, text);
  EXPECT_STREQ(text, "192.168.10.1");
}

}  // namespace
}  // namespace kdl::transport
