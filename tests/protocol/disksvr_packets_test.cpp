// Disk-server family: login with its nested block and verbatim bytes, the
// fixed requests, server I/O, and the summary reports with odd offsets.
#include <cstring>

#include <gtest/gtest.h>

#include "protocol/DiskSvrPackets.h"
#include "tests/protocol/ServerPacketChecks.h"

namespace PacketZVDiskless {
namespace {

using kdl::test::Bytes;
using kdl::test::Chars;
using kdl::test::Hex;
using kdl::test::ExpectFreshIsZero;
using kdl::test::Zeros;

TEST(DiskSvrPackets, FreshPacketsAreZeroAtTheirMinimumLength) {
  ExpectFreshIsZero<CPktDiskSvrLogin>(120);
  ExpectFreshIsZero<CPktDiskSvrNotifyAccess>(25);
  ExpectFreshIsZero<CPktDiskSvrSync>(36);
  ExpectFreshIsZero<CPktDiskSvrSynchronousState>(32);
  ExpectFreshIsZero<CPktSvrIOInformation>(52);
  ExpectFreshIsZero<CPktSetImageSererTempDataPath>(50);
  ExpectFreshIsZero<CPktSummaryInfomation>(817);
  ExpectFreshIsZero<CPktReportAskDSDataAck>(291);
}

TEST(DiskSvrPackets, EmptyLoginIs120Bytes) {
  Bytes wire = Hex("00 00 00 00  01 00 03 00  78 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
               Hex("00 00 00 00") + Chars("DS-01", 64) +
               Hex("11 00 00 00  12 00 00 00  13 00 00 00  14 00 00 00") +
               Hex("00 00 00 00  00 00 00 00  99 00 00 00");
  ASSERT_EQ(wire.size(), 120u);
  auto d = kdl::test::ExpectRoundTrip<CPktDiskSvrLogin>(wire);
  ASSERT_NE(d.packet, nullptr);
  auto* p = d.As<CPktDiskSvrLogin>();
  EXPECT_EQ(p->ItemsA.m_nCount, 0u);
  EXPECT_STREQ(p->Bytes1, "DS-01");
  EXPECT_EQ(p->Detail.Word1, 0x11u);
  EXPECT_EQ(p->Detail.Word4, 0x14u);
  EXPECT_EQ(p->Detail.ItemsB.m_nCount, 0u);
  EXPECT_EQ(p->Detail.ItemsC.m_nCount, 0u);
  EXPECT_EQ(p->Word1, 0x99u);
  EXPECT_EQ(p->Detail.Size(), 24u);

  Bytes noLastWord(wire.begin(), wire.end() - 1);
  EXPECT_TRUE(kdl::test::Refused(noLastWord));
}

// Login with one entry of each kind, in both byte orders. The six bytes at
// the end of the A entry are the same in both.
const char* kLoginLe =
    "00 00 00 00  01 00 03 00  9F 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
    "01 00 00 00  01 00 A8 C0  20 03  01 00  00 1A 2B 3C 4D 5E";
const char* kLoginLeTail =
    "11 00 00 00  12 00 00 00  13 00 00 00  14 00 00 00"
    "01 00 00 00  04 03 02 01  7F"
    "01 00 00 00  01 00 00 00  02 00 00 00  03 00 00 00  04 00 00 00  05 00 00 00"
    "99 00 00 00";
const char* kLoginBe =
    "00 00 00 00  00 03 00 01  00 00 00 9F  00 00 00 00  00 00 00 00  00 00 00 00"
    "00 00 00 01  C0 A8 00 01  03 20  00 01  00 1A 2B 3C 4D 5E";
const char* kLoginBeTail =
    "00 00 00 11  00 00 00 12  00 00 00 13  00 00 00 14"
    "00 00 00 01  01 02 03 04  7F"
    "00 00 00 01  00 00 00 01  00 00 00 02  00 00 00 03  00 00 00 04  00 00 00 05"
    "00 00 00 99";

TEST(DiskSvrPackets, LoginWithOneOfEachIs159BytesAndKeepsVerbatimBytes) {
  for (bool net : {false, true}) {
    Bytes wire = Hex(net ? kLoginBe : kLoginLe) + Chars("DS-01", 64) +
                 Hex(net ? kLoginBeTail : kLoginLeTail);
    ASSERT_EQ(wire.size(), 159u);
    auto d = kdl::test::ExpectRoundTrip<CPktDiskSvrLogin>(wire, net);
    ASSERT_NE(d.packet, nullptr) << net;
    auto* p = d.As<CPktDiskSvrLogin>();
    const CDiskSvrLoginItemA* a = p->ItemsA.GetAt(0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Word1, 0xC0A80001u);
    EXPECT_EQ(a->Word2, 0x0320u);
    EXPECT_EQ(a->Word3, 1u);
    EXPECT_EQ(kdl::test::ToHex(a->Bytes1, 6), "00 1a 2b 3c 4d 5e");
    const CDiskSvrLoginItemB* b = p->Detail.ItemsB.GetAt(0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->Word1, 0x01020304u);
    EXPECT_EQ(b->Byte1, 0x7F);
    const CDiskSvrLoginItemC* c = p->Detail.ItemsC.GetAt(0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->Word1, 1u);
    EXPECT_EQ(c->Word5, 5u);
    EXPECT_EQ(p->Word1, 0x99u);
  }
}

TEST(DiskSvrPackets, LoginRefusesShortEntries) {
  Bytes wire = Hex(kLoginLe) + Chars("DS-01", 64) + Hex(kLoginLeTail);
  // A B count of 2 reads the C count as the second entry; the rest of the
  // message no longer decodes.
  Bytes twoB = wire;
  twoB[122] = 2;
  EXPECT_TRUE(kdl::test::Refused(twoB));
  // Cut inside the A entry's verbatim bytes.
  Bytes cutA(wire.begin(), wire.begin() + 40);
  EXPECT_TRUE(kdl::test::Refused(cutA));
  // Cut inside the B entry's byte.
  Bytes cutB(wire.begin(), wire.begin() + 130);
  EXPECT_TRUE(kdl::test::Refused(cutB));
}

TEST(DiskSvrPackets, NotifyAccessNeedsItsByte) {
  Bytes wire = Hex("00 00 00 00  02 00 03 00  19 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                   "01");
  auto d = kdl::test::ExpectRoundTrip<CPktDiskSvrNotifyAccess>(wire);
  ASSERT_NE(d.packet, nullptr);
  EXPECT_EQ(d.As<CPktDiskSvrNotifyAccess>()->Byte1, 1);
  Bytes headOnly(wire.begin(), wire.begin() + 24);
  EXPECT_TRUE(kdl::test::Refused(headOnly));
}

TEST(DiskSvrPackets, SyncStateAndTempPath) {
  Bytes sync = Hex("00 00 00 00  00 03 00 03  00 00 00 24  00 00 00 00  00 00 00 00  00 00 00 00"
                   "00 00 00 01  00 00 00 02  80 00 00 03");
  auto a = kdl::test::ExpectRoundTrip<CPktDiskSvrSync>(sync, true);
  ASSERT_NE(a.packet, nullptr);
  EXPECT_EQ(a.As<CPktDiskSvrSync>()->Word1, 1u);
  EXPECT_EQ(a.As<CPktDiskSvrSync>()->Word3, 0x80000003u);

  Bytes state = Hex("00 00 00 00  04 00 03 00  20 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                    "05 00 00 00  06 00 00 00");
  auto b = kdl::test::ExpectRoundTrip<CPktDiskSvrSynchronousState>(state);
  ASSERT_NE(b.packet, nullptr);
  EXPECT_EQ(b.As<CPktDiskSvrSynchronousState>()->Word2, 6u);

  Bytes path = Hex("00 00 00 00  08 00 03 00  32 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
               Chars("D:\\vtemp", 26);
  auto c = kdl::test::ExpectRoundTrip<CPktSetImageSererTempDataPath>(path);
  ASSERT_NE(c.packet, nullptr);
  EXPECT_STREQ(c.As<CPktSetImageSererTempDataPath>()->Bytes1, "D:\\vtemp");
}

TEST(DiskSvrPackets, ServerIOInformationHasTwoArraysInOrder) {
  Bytes e = Hex("01 00 00 00  02 00 00 00") + Zeros(56) + Hex("11 00 00 00");  // 17 words
  Bytes a = Hex("AA 00 00 00") + Zeros(52) + Hex("BB 00 00 00");               // 15 words
  Bytes wire = Hex("00 00 00 00  06 00 03 00  B4 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
               Hex("01 00 00 00  02 00 00 00  03 00 00 00  04 00 00 00  05 00 00 00") +
               Hex("01 00 00 00") + e + Hex("01 00 00 00") + a;
  ASSERT_EQ(wire.size(), 180u);
  auto d = kdl::test::ExpectRoundTrip<CPktSvrIOInformation>(wire);
  ASSERT_NE(d.packet, nullptr);
  auto* p = d.As<CPktSvrIOInformation>();
  EXPECT_EQ(p->Word5, 5u);
  ASSERT_EQ(p->RecordsE.m_nCount, 1u);
  EXPECT_EQ(p->RecordsE.GetAt(0)->Word2, 2u);
  EXPECT_EQ(p->RecordsE.GetAt(0)->Word17, 0x11u);
  EXPECT_EQ(p->RecordsA.m_nCount, 1u);

  // The A entry cut short.
  Bytes cut(wire.begin(), wire.end() - 4);
  EXPECT_TRUE(kdl::test::Refused(cut));
}

TEST(DiskSvrPackets, SummaryPutsWordFiveAtOffset805) {
  Bytes head = Hex("00 00 00 00  06 01 03 00  31 03 00 00  00 00 00 00  00 00 00 00  00 00 00 00");
  Bytes body = Hex("01 00 00 00  02 00 00 00  03 00 00 00  04 00 00 00") + Chars("alpha", 255) +
               Chars("beta", 255) + Chars("gamma", 255) + Hex("EF BE AD DE") +
               Hex("00 00 00 00  00 00 00 00");
  Bytes wire = head + body;
  ASSERT_EQ(wire.size(), 817u);
  ASSERT_EQ(kdl::test::ToHex(wire.data() + 805, 4), "ef be ad de");
  auto d = kdl::test::ExpectRoundTrip<CPktSummaryInfomation>(wire);
  ASSERT_NE(d.packet, nullptr);
  auto* p = d.As<CPktSummaryInfomation>();
  EXPECT_EQ(p->Word4, 4u);
  EXPECT_STREQ(p->Bytes1, "alpha");
  EXPECT_STREQ(p->Bytes2, "beta");
  EXPECT_STREQ(p->Bytes3, "gamma");
  EXPECT_EQ(p->Word5, 0xDEADBEEFu);

  CPktSummaryInfomation out;
  out.Word5 = 0x01020304;
  Bytes packed = kdl::test::PackWire(out);
  ASSERT_EQ(packed.size(), 817u);
  EXPECT_EQ(kdl::test::ToHex(packed.data() + 801, 12), "00 00 00 00 04 03 02 01 00 00 00 00");
}

TEST(DiskSvrPackets, SummaryWithOneEntryOfEachIs1093Bytes) {
  Bytes wire = Hex("00 00 00 00  00 03 01 06  00 00 04 45  00 00 00 00  00 00 00 00  00 00 00 00") +
               Zeros(16) + Chars("", 255) + Chars("", 255) + Chars("x", 255) + Hex("00 00 00 05") +
               Hex("00 00 00 01  00 00 00 0A  00 00 00 0B") +
               Hex("00 00 00 01") + Chars("C:\\images\\a.vhd", 260) + Hex("00 00 00 0C  00 00 00 0D");
  ASSERT_EQ(wire.size(), 1093u);
  auto d = kdl::test::ExpectRoundTrip<CPktSummaryInfomation>(wire, true);
  ASSERT_NE(d.packet, nullptr);
  auto* p = d.As<CPktSummaryInfomation>();
  EXPECT_EQ(p->Word5, 5u);
  EXPECT_EQ(p->ItemsA.GetAt(0)->Word1, 0xAu);
  EXPECT_EQ(p->ItemsA.GetAt(0)->Word2, 0xBu);
  EXPECT_STREQ(p->ItemsB.GetAt(0)->Bytes1, "C:\\images\\a.vhd");
  EXPECT_EQ(p->ItemsB.GetAt(0)->Word1, 0xCu);
  EXPECT_EQ(p->ItemsB.GetAt(0)->Word2, 0xDu);
}

TEST(DiskSvrPackets, DiskServerDataReplyIs291PlusEntries) {
  Bytes wire = Hex("00 00 00 00  05 01 03 80  2F 02 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
               Hex("01 00 00 00  02 00 00 00") + Chars("srv", 255) + Hex("01 00 00 00") +
               Chars("C:\\img", 260) + Hex("03 00 00 00  04 00 00 00");
  ASSERT_EQ(wire.size(), 559u);
  auto d = kdl::test::ExpectRoundTrip<CPktReportAskDSDataAck>(wire);
  ASSERT_NE(d.packet, nullptr);
  auto* p = d.As<CPktReportAskDSDataAck>();
  EXPECT_EQ(p->Word2, 2u);
  EXPECT_STREQ(p->Bytes1, "srv");
  ASSERT_EQ(p->ItemsB.m_nCount, 1u);
  EXPECT_EQ(p->ItemsB.GetAt(0)->Word2, 4u);
  Bytes cut(wire.begin(), wire.end() - 1);
  EXPECT_TRUE(kdl::test::Refused(cut));
}

TEST(DiskSvrPackets, AdministratorRecordArrays) {
  using AdminList = KPKT_TYPE(0x80030104, VLF, CAdminDesc);
  Bytes wire = Hex("00 00 00 00  04 01 03 80  28 00 00 00  00 00 00 00  03 00 00 00  00 00 00 00"
                   "01 00 00 00  0A 00 00 00  0B 00 00 00  0C 00 00 00");
  auto d = kdl::test::ExpectRoundTrip<AdminList>(wire);
  ASSERT_NE(d.packet, nullptr);
  EXPECT_EQ(d.packet->ErrCode, 3u);
  EXPECT_EQ(d.As<AdminList>()->m_Field.GetAt(0)->Word3, 0xCu);
}

}  // namespace
}  // namespace PacketZVDiskless
