// CS and local-tools families: main-server declarations, the four-array
// configuration sync, the I/O report twin of the console's, and the detail
// report's verbatim words.
#include <cstring>
#include <type_traits>

#include <gtest/gtest.h>

#include "protocol/CSPackets.h"
#include "protocol/LocalToolsPackets.h"
#include "tests/protocol/ServerPacketChecks.h"

namespace PacketZVDiskless {
namespace {

using kdl::test::Bytes;
using kdl::test::Chars;
using kdl::test::Hex;
using kdl::test::ExpectFreshIsZero;
using kdl::test::Zeros;

TEST(CSPackets, FreshPacketsAreZeroAtTheirMinimumLength) {
  ExpectFreshIsZero<CPktCSDeclareMainServer>(44);
  ExpectFreshIsZero<CPktCSSynchronousConfigData>(48);
  ExpectFreshIsZero<CPktCSDeclareSetMainServer>(40);
  ExpectFreshIsZero<CPktCSDeclareMainServerAck>(40);
  ExpectFreshIsZero<CPktCSAskReportIOInformationAck>(40);
  ExpectFreshIsZero<CPktCSSynchronousConfigDataAck>(288);
  ExpectFreshIsZero<CPktServerDetailReportToMCSAck>(40);
  ExpectFreshIsZero<CPktLocalToolsSetServerIP>(28);
  ExpectFreshIsZero<CPktLocalToolsGetLocalServerStateAck>(32);
}

// CCSServerBaseInfo, little-endian: words 1..4, name, words 5..8.
Bytes LeServer(const char* name) {
  return Hex("01 00 00 00  02 00 00 00  03 00 00 00  04 00 00 00") + Chars(name, 260) +
         Hex("05 00 00 00  06 00 00 00  07 00 00 00  08 00 00 00");
}

TEST(CSPackets, MainServerDeclarations) {
  Bytes declare = Hex("00 00 00 00  01 00 07 00  2C 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                      "01 00 00 00  02 00 00 00  03 00 00 00  04 00 00 00  05 00 00 00");
  auto a = kdl::test::ExpectRoundTrip<CPktCSDeclareMainServer>(declare);
  ASSERT_NE(a.packet, nullptr);
  EXPECT_EQ(a.As<CPktCSDeclareMainServer>()->Word1, 1u);
  EXPECT_EQ(a.As<CPktCSDeclareMainServer>()->Word5, 5u);

  Bytes withList =
      Hex("00 00 00 00  06 00 07 00  4C 01 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
          "0A 00 00 00  0B 00 00 00  0C 00 00 00  01 00 00 00") +
      LeServer("cs-main");
  ASSERT_EQ(withList.size(), 332u);
  auto b = kdl::test::ExpectRoundTrip<CPktCSDeclareSetMainServer>(withList);
  ASSERT_NE(b.packet, nullptr);
  auto* p = b.As<CPktCSDeclareSetMainServer>();
  EXPECT_EQ(p->Word3, 0xCu);
  ASSERT_EQ(p->Servers.m_nCount, 1u);
  EXPECT_STREQ(p->Servers.GetAt(0)->Bytes1, "cs-main");
  EXPECT_EQ(p->Servers.GetAt(0)->Word8, 8u);

  Bytes ack = Hex("00 00 00 00  80 07 00 01  00 00 00 28  00 00 00 00  00 00 00 00  00 00 00 00"
                  "00 00 00 01  00 00 00 02  00 00 00 03  00 00 00 04");
  auto c = kdl::test::ExpectRoundTrip<CPktCSDeclareMainServerAck>(ack, true);
  ASSERT_NE(c.packet, nullptr);
  EXPECT_EQ(c.As<CPktCSDeclareMainServerAck>()->Word4, 4u);
}

TEST(CSPackets, ConfigSyncCarriesFourArraysInOrder) {
  Bytes group = Hex("09 00 00 00") + Chars("grp", 260) + Chars("desc", 260);
  Bytes client = Chars("pc01", 64) + Zeros(60) + Hex("10 00 00 00") + Hex("00 0C 29 AA BB CC");
  Bytes io = Hex("01 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  05 00 00 00") +
             Chars("io", 32);
  Bytes wire = Hex("00 00 00 00  04 00 07 00  1A 04 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                   "21 00 00 00  22 00 00 00") +
               Hex("01 00 00 00") + LeServer("cs-main") + Hex("01 00 00 00") + group +
               Hex("01 00 00 00") + client + Hex("01 00 00 00") + io;
  ASSERT_EQ(wire.size(), 1050u);
  auto d = kdl::test::ExpectRoundTrip<CPktCSSynchronousConfigData>(wire);
  ASSERT_NE(d.packet, nullptr);
  auto* p = d.As<CPktCSSynchronousConfigData>();
  EXPECT_EQ(p->Word1, 0x21u);
  EXPECT_EQ(p->Word2, 0x22u);
  ASSERT_EQ(p->Servers.m_nCount, 1u);
  EXPECT_STREQ(p->Servers.GetAt(0)->Bytes1, "cs-main");
  ASSERT_EQ(p->Groups.m_nCount, 1u);
  EXPECT_EQ(p->Groups.GetAt(0)->Word1, 9u);
  EXPECT_STREQ(p->Groups.GetAt(0)->Bytes2, "desc");
  ASSERT_EQ(p->Clients.m_nCount, 1u);
  EXPECT_STREQ(p->Clients.GetAt(0)->Bytes1, "pc01");
  EXPECT_EQ(p->Clients.GetAt(0)->Word16, 0x10u);
  EXPECT_EQ(p->Clients.GetAt(0)->Bytes2[5], 0xCC);
  ASSERT_EQ(p->IOConfigs.m_nCount, 1u);
  EXPECT_EQ(p->IOConfigs.GetAt(0)->Word5, 5u);
  EXPECT_STREQ(p->IOConfigs.GetAt(0)->Bytes1, "io");

  // The last array cut short.
  Bytes cut(wire.begin(), wire.end() - 1);
  EXPECT_TRUE(kdl::test::Refused(cut));
}

TEST(CSPackets, IOReportHasTheConsoleLayoutUnderItsOwnType) {
  static_assert(!std::is_base_of<CPktServerIOInformationAck, CPktCSAskReportIOInformationAck>::value,
                "the CS report is a type of its own");
  Bytes body = Hex("01 00 00 00") + Zeros(56) + Hex("0F 00 00 00") +   // a: 15 words
               Hex("01 00 00 00") + Zeros(68) + Hex("12 00 00 00") +   // b: 18 words
               Hex("01 00 00 00") + Zeros(44) + Hex("0C 00 00 00") +   // c: 12 words
               Hex("01 00 00 00") + Zeros(24) + Hex("07 00 00 00");    // d: 7 words
  Bytes wire = Hex("00 00 00 00  03 00 07 80  F8 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
               body;
  ASSERT_EQ(wire.size(), 248u);
  auto d = kdl::test::ExpectRoundTrip<CPktCSAskReportIOInformationAck>(wire);
  ASSERT_NE(d.packet, nullptr);
  auto* p = d.As<CPktCSAskReportIOInformationAck>();
  EXPECT_EQ(p->RecordsA.GetAt(0)->Word15, 15u);
  EXPECT_EQ(p->RecordsB.GetAt(0)->Word18, 18u);
  EXPECT_EQ(p->RecordsC.GetAt(0)->Word12, 12u);
  EXPECT_EQ(p->RecordsD.GetAt(0)->Word7, 7u);
  EXPECT_EQ(d.As<CPktServerIOInformationAck>(), nullptr);

  // The console reply reads the same body the same way.
  Bytes console = Hex("00 00 00 00  0B 00 01 80  F8 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
                  body;
  auto c = kdl::test::ExpectRoundTrip<CPktServerIOInformationAck>(console);
  ASSERT_NE(c.packet, nullptr);

  // One A record, no others: 100 bytes.
  Bytes oneA = Hex("00 00 00 00  03 00 07 80  64 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                   "01 00 00 00") +
               Zeros(60) + Zeros(12);
  auto e = kdl::test::ExpectRoundTrip<CPktCSAskReportIOInformationAck>(oneA);
  ASSERT_NE(e.packet, nullptr);
  EXPECT_EQ(e.As<CPktCSAskReportIOInformationAck>()->RecordsD.m_nCount, 0u);
}

TEST(CSPackets, ConfigSyncReply) {
  Bytes wire = Hex("00 00 00 00  04 00 07 80  20 01 00 00  00 00 00 00  01 00 00 00  00 00 00 00"
                   "02 00 00 00") +
               Chars("config is older", 260);
  auto d = kdl::test::ExpectRoundTrip<CPktCSSynchronousConfigDataAck>(wire);
  ASSERT_NE(d.packet, nullptr);
  EXPECT_EQ(d.packet->ErrCode, 1u);
  EXPECT_EQ(d.As<CPktCSSynchronousConfigDataAck>()->Word1, 2u);
  EXPECT_STREQ(d.As<CPktCSSynchronousConfigDataAck>()->Bytes1, "config is older");
}

TEST(CSPackets, DetailReportWordsThreeAndFourIgnoreByteOrder) {
  Bytes le = Hex("00 00 00 00  09 00 07 80  28 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                 "01 00 00 00  02 00 00 00  0A 0B 0C 0D  11 22 33 44");
  Bytes be = Hex("00 00 00 00  80 07 00 09  00 00 00 28  00 00 00 00  00 00 00 00  00 00 00 00"
                 "00 00 00 01  00 00 00 02  0A 0B 0C 0D  11 22 33 44");
  const uint8_t word3[4] = {0x0A, 0x0B, 0x0C, 0x0D};
  const uint8_t word4[4] = {0x11, 0x22, 0x33, 0x44};
  for (bool net : {false, true}) {
    auto d = kdl::test::ExpectRoundTrip<CPktServerDetailReportToMCSAck>(net ? be : le, net);
    ASSERT_NE(d.packet, nullptr) << net;
    auto* p = d.As<CPktServerDetailReportToMCSAck>();
    EXPECT_EQ(p->Word1, 1u);
    EXPECT_EQ(p->Word2, 2u);
    EXPECT_EQ(std::memcmp(&p->Word3, word3, 4), 0);
    EXPECT_EQ(std::memcmp(&p->Word4, word4, 4), 0);
  }
  // Sent big-endian, the verbatim words still go out in memory order.
  CPktServerDetailReportToMCSAck out;
  out.Word1 = 1;
  out.Word2 = 2;
  std::memcpy(&out.Word3, word3, 4);
  std::memcpy(&out.Word4, word4, 4);
  EXPECT_EQ(kdl::test::ToHex(kdl::test::PackWire(out, true)), kdl::test::ToHex(be));
}

TEST(LocalToolsPackets, SetAddressStateReplyAndServerList) {
  Bytes set = Hex("00 00 00 00  03 00 06 00  1C 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                  "01 00 A8 C0");
  auto a = kdl::test::ExpectRoundTrip<CPktLocalToolsSetServerIP>(set);
  ASSERT_NE(a.packet, nullptr);
  EXPECT_EQ(a.As<CPktLocalToolsSetServerIP>()->Word1, 0xC0A80001u);

  Bytes state = Hex("00 00 00 00  80 06 00 02  00 00 00 20  00 00 00 00  00 00 00 00  00 00 00 00"
                    "00 00 00 01  FF FF FF FE");
  auto b = kdl::test::ExpectRoundTrip<CPktLocalToolsGetLocalServerStateAck>(state, true);
  ASSERT_NE(b.packet, nullptr);
  EXPECT_EQ(b.As<CPktLocalToolsGetLocalServerStateAck>()->Word2, 0xFFFFFFFEu);

  using ServerList = KPKT_TYPE(0x80060001, VLF, CCSServerBaseInfo);
  Bytes list = Hex("00 00 00 00  01 00 06 80  40 01 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                   "01 00 00 00") +
               LeServer("local");
  auto c = kdl::test::ExpectRoundTrip<ServerList>(list);
  ASSERT_NE(c.packet, nullptr);
  EXPECT_STREQ(c.As<ServerList>()->m_Field.GetAt(0)->Bytes1, "local");
  Bytes headOnly(set.begin(), set.begin() + 24);
  EXPECT_TRUE(kdl::test::Refused(headOnly));
}

}  // namespace
}  // namespace PacketZVDiskless
