#include "transport/PacketCutter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "transport/Address.h"

namespace Transport {
namespace {

// Head words: Reserved0, Type, Length, Reserved3, ErrCode, Reserved5 (LE).
const std::vector<uint8_t> kHeadOnly = {  // Type 0x00020006, Length 24
    0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x02, 0x00, 0x18, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const std::vector<uint8_t> kWithBody = {  // Type 0x80020000, Length 30, 6-byte body
    0xAA, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x80, 0x1E, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x7F, 0x00, 0x00, 0x01, 0x20, 0x03};

// Feeds `stream` in pieces of `step` bytes and collects every packet.
std::vector<std::vector<uint8_t>> Cut(const std::vector<uint8_t>& stream, size_t step,
                                      bool* bad) {
  CPacketCutter cutter;
  std::vector<std::vector<uint8_t>> packets;
  *bad = false;
  for (size_t pos = 0; pos < stream.size() && !*bad;) {
    const size_t n = std::min({step, stream.size() - pos, cutter.WriteSpace()});
    std::memcpy(cutter.WritePtr(), stream.data() + pos, n);
    cutter.Commit(n);
    pos += n;
    const uint8_t* p = nullptr;
    uint32_t size = 0;
    CPacketCutter::Result r;
    while ((r = cutter.Next(&p, &size)) == CPacketCutter::Result::kPacket) {
      packets.emplace_back(p, p + size);
    }
    *bad = r == CPacketCutter::Result::kBadLength;
  }
  return packets;
}

TEST(PacketCutterTest, DeliversWholePacketsWhateverTheReadSizes) {
  std::vector<uint8_t> big(200000, 0x5C);  // larger than the first buffer
  std::copy(kHeadOnly.begin(), kHeadOnly.end(), big.begin());
  big[8] = 0x40, big[9] = 0x0D, big[10] = 0x03;  // Length 200000 = 0x030D40
  std::vector<uint8_t> stream = kWithBody;
  stream.insert(stream.end(), kHeadOnly.begin(), kHeadOnly.end());
  stream.insert(stream.end(), big.begin(), big.end());
  stream.insert(stream.end(), kWithBody.begin(), kWithBody.end());
  for (size_t step : {size_t(1), size_t(7), size_t(23), size_t(24), size_t(4096), stream.size()}) {
    bool bad = true;
    const auto packets = Cut(stream, step, &bad);
    EXPECT_FALSE(bad) << step;
    ASSERT_EQ(packets.size(), 4u) << step;
    EXPECT_EQ(packets[0], kWithBody);
    EXPECT_EQ(packets[1], kHeadOnly);
    EXPECT_EQ(packets[2], big);
    EXPECT_EQ(packets[3], kWithBody);
  }
}

TEST(PacketCutterTest, LengthOutOfRangeStopsTheStream) {
  struct Case {
    uint8_t length[4];
    uint32_t expect;
  } cases[] = {{{0x17, 0, 0, 0}, 23}, {{0, 0, 0, 0}, 0}, {{0x01, 0, 0, 0x01}, 0x01000001}};
  for (const Case& c : cases) {
    std::vector<uint8_t> stream = kHeadOnly;
    std::vector<uint8_t> badHead = kHeadOnly;
    std::copy(c.length, c.length + 4, badHead.begin() + 8);
    stream.insert(stream.end(), badHead.begin(), badHead.end());
    stream.insert(stream.end(), kHeadOnly.begin(), kHeadOnly.end());
    bool bad = false;
    CPacketCutter cutter;
    const auto packets = Cut(stream, stream.size(), &bad);
    EXPECT_TRUE(bad);
    ASSERT_EQ(packets.size(), 1u);  // the good packet before it only
    std::memcpy(cutter.WritePtr(), badHead.data(), 24);
    cutter.Commit(24);
    const uint8_t* p;
    uint32_t size;
    EXPECT_EQ(cutter.Next(&p, &size), CPacketCutter::Result::kBadLength);
    EXPECT_EQ(cutter.BadLength(), c.expect);
  }
}

TEST(PacketCutterTest, LengthAtTheCapWaitsForTheRest) {
  std::vector<uint8_t> head = kHeadOnly;
  head[8] = 0x00, head[9] = 0x00, head[10] = 0x00, head[11] = 0x01;  // 16 MiB exactly
  CPacketCutter cutter;
  std::memcpy(cutter.WritePtr(), head.data(), head.size());
  cutter.Commit(head.size());
  const uint8_t* p;
  uint32_t size;
  EXPECT_EQ(cutter.Next(&p, &size), CPacketCutter::Result::kNeedMore);
  EXPECT_GE(cutter.WriteSpace(), CPacketCutter::kMaxPacketSize - head.size());
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
  const char unterminated[40] = {'1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1',
                                 '1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1',
                                 '1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1', '1'};
  EXPECT_FALSE(ParseIPv4(unterminated, &a));
  char text[16];
  FormatIPv4(0xC0A80A01u, text);
  EXPECT_STREQ(text, "192.168.10.1");
}

}  // namespace
}  // namespace Transport
