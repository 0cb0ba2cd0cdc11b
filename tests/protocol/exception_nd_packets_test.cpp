// Exception-report and ND families: layouts, byte orders and bounds.
#include <type_traits>

#include <gtest/gtest.h>

#include "protocol/ExceptionPackets.h"
#include "protocol/NDPackets.h"
#include "tests/protocol/ServerPacketChecks.h"

namespace PacketZVDiskless {
namespace {

using kdl::test::Bytes;
using kdl::test::Chars;
using kdl::test::Hex;
using kdl::test::Zeros;

using ExcpReport = KPKT_TYPE(0x00080001, EXCP_REC, CPktExceptionBaseInformation);
using ExcpList = KPKT_TYPE(0x80080002, EXCP_VLF, CPktExceptionBaseInformation);
using ExcpQueryAck = KPKT_TYPE(0x80008003, EXCP_VLF, CPktExceptionBaseInformation);
using HandledList = KPKT_TYPE(0x00080004, VLF, CPktConsleSetExceptionHandled);
using ErrorCounts = KPKT_TYPE(0x80080005, VLF, CPktSingleConsoleAskErrorCountAck);

// An exception record, little-endian: 0x11223344, 5, "boom", "where", 1..4,
// 0xA0B0C0D0.
Bytes LeRecord() {
  return Hex("44 33 22 11  05 00 00 00") + Chars("boom", 128) + Chars("where", 128) +
         Hex("01 00 00 00  02 00 00 00  03 00 00 00  04 00 00 00  D0 C0 B0 A0");
}

void ExpectRecord(const CPktExceptionBaseInformation& r) {
  EXPECT_EQ(r.Word1, 0x11223344u);
  EXPECT_EQ(r.Word2, 5u);
  EXPECT_STREQ(r.Bytes1, "boom");
  EXPECT_STREQ(r.Bytes2, "where");
  EXPECT_EQ(r.Word3, 1u);
  EXPECT_EQ(r.Word4, 2u);
  EXPECT_EQ(r.Word5, 3u);
  EXPECT_EQ(r.Word6, 4u);
  EXPECT_EQ(r.Word7, 0xA0B0C0D0u);
}

TEST(ExceptionPackets, SingleReportIs308BytesInEitherOrder) {
  Bytes le = Hex("00 00 00 00  01 00 08 00  34 01 00 00  00 00 00 00  07 00 00 00  00 00 00 00") +
             LeRecord();
  ASSERT_EQ(le.size(), 308u);
  auto d = kdl::test::ExpectRoundTrip<ExcpReport>(le);
  ASSERT_NE(d.packet, nullptr);
  EXPECT_EQ(d.packet->ErrCode, 7u);
  ExpectRecord(d.As<ExcpReport>()->m_Payload);

  Bytes be = Hex("00 00 00 00  00 08 00 01  00 00 01 34  00 00 00 00  00 00 00 07  00 00 00 00") +
             Hex("11 22 33 44  00 00 00 05") + Chars("boom", 128) + Chars("where", 128) +
             Hex("00 00 00 01  00 00 00 02  00 00 00 03  00 00 00 04  A0 B0 C0 D0");
  auto b = kdl::test::ExpectRoundTrip<ExcpReport>(be, true);
  ASSERT_NE(b.packet, nullptr);
  ExpectRecord(b.As<ExcpReport>()->m_Payload);

  // One byte short of the record: refused.
  Bytes shortMsg(le.begin(), le.end() - 1);
  EXPECT_TRUE(kdl::test::Refused(shortMsg));
}

TEST(ExceptionPackets, QueryReplyWithTwoReportsIs596Bytes) {
  Bytes second = Hex("01 00 00 00  02 00 00 00") + Chars("x", 128) + Chars("", 128) +
                 Hex("0A 00 00 00  0B 00 00 00  0C 00 00 00  0D 00 00 00  0E 00 00 00");
  Bytes wire = Hex("00 00 00 00  03 80 00 80  54 02 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
               Hex("02 00 00 00") + LeRecord() + second;
  ASSERT_EQ(wire.size(), 596u);
  auto d = kdl::test::ExpectRoundTrip<ExcpQueryAck>(wire);
  ASSERT_NE(d.packet, nullptr);
  EXPECT_EQ(d.packet->Type, 0x80008003u);
  auto* p = d.As<ExcpQueryAck>();
  ASSERT_EQ(p->m_Payload.m_nCount, 2u);
  ExpectRecord(*p->m_Payload.GetAt(0));
  EXPECT_EQ(p->m_Payload.GetAt(1)->Word1, 1u);
  EXPECT_STREQ(p->m_Payload.GetAt(1)->Bytes1, "x");
  EXPECT_EQ(p->m_Payload.GetAt(1)->Word7, 14u);

  // The reply flag on the family's own code for that operation is no code.
  Bytes wrongCode = wire;
  wrongCode[4] = 0x03;
  wrongCode[5] = 0x00;
  wrongCode[6] = 0x08;
  wrongCode[7] = 0x80;
  EXPECT_TRUE(kdl::test::Refused(wrongCode));
  // A count of two with one record behind it is refused.
  Bytes oneRecord(wire.begin(), wire.begin() + 28 + 284);
  EXPECT_TRUE(kdl::test::Refused(oneRecord));
}

TEST(ExceptionPackets, ListReplyIsACountedArray) {
  Bytes empty = Hex("00 00 00 00  02 00 08 80  1C 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
                Hex("00 00 00 00");
  auto d = kdl::test::ExpectRoundTrip<ExcpList>(empty);
  ASSERT_NE(d.packet, nullptr);
  EXPECT_EQ(d.As<ExcpList>()->m_Payload.m_nCount, 0u);

  ExcpList built;
  EXPECT_EQ(built.Type, 0x80080002u);
  EXPECT_EQ(built.Length, 28u);
  ASSERT_EQ(built.m_Payload.SetCount(1), 0);
  EXPECT_EQ(built.Size(), 28u + 284u);
}

TEST(ExceptionPackets, HandledAndErrorCountRecordsArePolymorphic) {
  static_assert(std::has_virtual_destructor<CPktConsleSetExceptionHandled>::value, "");
  static_assert(std::has_virtual_destructor<CPktSingleConsoleAskErrorCountAck>::value, "");
  static_assert(!std::is_base_of<CPacketHead, CPktConsleSetExceptionHandled>::value, "");
  static_assert(!std::is_base_of<CPacketHead, CPktSingleConsoleAskErrorCountAck>::value, "");
  static_assert(!std::is_polymorphic<CPktExceptionBaseInformation>::value, "");

  // Handled list, one record: 28 + 136 = 164 bytes.
  Bytes handled = Hex("00 00 00 00  04 00 08 00  A4 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
                  Hex("01 00 00 00  09 00 00 00  02 00 00 00") + Chars("disk 3 failed", 128);
  auto d = kdl::test::ExpectRoundTrip<HandledList>(handled);
  ASSERT_NE(d.packet, nullptr);
  const auto* rec = d.As<HandledList>()->m_Field.GetAt(0);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->Word1, 9u);
  EXPECT_EQ(rec->Word2, 2u);
  EXPECT_STREQ(rec->Bytes1, "disk 3 failed");
  EXPECT_EQ(rec->Size(), 136u);

  // Error counts, two records: 28 + 16 = 44 bytes, big-endian.
  Bytes counts = Hex("00 00 00 00  80 08 00 05  00 00 00 2C  00 00 00 00  00 00 00 00  00 00 00 00") +
                 Hex("00 00 00 02  00 00 00 01  00 00 00 11  00 00 00 02  00 00 01 00");
  auto c = kdl::test::ExpectRoundTrip<ErrorCounts>(counts, true);
  ASSERT_NE(c.packet, nullptr);
  const auto& f = c.As<ErrorCounts>()->m_Field;
  ASSERT_EQ(f.m_nCount, 2u);
  EXPECT_EQ(f.GetAt(0)->Word2, 0x11u);
  EXPECT_EQ(f.GetAt(1)->Word2, 0x100u);

  // A count of three with two records behind it.
  Bytes tooMany = counts;
  tooMany[27] = 3;
  EXPECT_TRUE(kdl::test::Refused(tooMany, true));
}

TEST(NDPackets, DiskIOReplyCarriesWordsAndUsers) {
  Bytes user = Hex("01 00 00 00  02 00 00 00  03 00 00 00  04 00 00 00  05 00 00 00  06 00 00 00"
                   "07 00 00 00  08 00 00 00  09 00 00 00  0A 00 00 00  FF FF FF FF");
  Bytes wire = Hex("00 00 00 00  02 00 00 81  58 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
               Hex("10 00 00 00  20 00 00 00  30 00 00 00  40 00 00 00  01 00 00 00") + user;
  ASSERT_EQ(wire.size(), 88u);
  auto d = kdl::test::ExpectRoundTrip<CPktNDAskDiskIOInforAck>(wire);
  ASSERT_NE(d.packet, nullptr);
  auto* p = d.As<CPktNDAskDiskIOInforAck>();
  EXPECT_EQ(p->Word1, 0x10u);
  EXPECT_EQ(p->Word4, 0x40u);
  ASSERT_EQ(p->Users.m_nCount, 1u);
  EXPECT_EQ(p->Users.GetAt(0)->Word1, 1u);
  EXPECT_EQ(p->Users.GetAt(0)->Word10, 10u);
  EXPECT_EQ(p->Users.GetAt(0)->Word11, 0xFFFFFFFFu);

  // Words 1 to 4 of a fresh packet start at zero: it packs to 44 bytes of
  // head and zeros.
  CPktNDAskDiskIOInforAck fresh;
  EXPECT_EQ(kdl::test::ToHex(kdl::test::PackWire(fresh)), kdl::test::ToHex(kdl::test::LeHead(0x81000002, 44) +
                                                               Zeros(20)));
  // The user record cut short.
  Bytes cut(wire.begin(), wire.end() - 2);
  EXPECT_TRUE(kdl::test::Refused(cut));
}

TEST(NDPackets, ConfigAndUserArrays) {
  using ConfigSet = KPKT_TYPE(0x01000004, VLF, CNDConfigInfor);
  using ConfigAck = KPKT_TYPE(0x81000003, VLF, CNDConfigInfor);
  Bytes set = Hex("00 00 00 00  01 00 00 04  00 00 00 24  00 00 00 00  00 00 00 00  00 00 00 00") +
              Hex("00 00 00 02  12 34 56 78  00 00 00 01");
  auto d = kdl::test::ExpectRoundTrip<ConfigSet>(set, true);
  ASSERT_NE(d.packet, nullptr);
  EXPECT_EQ(d.As<ConfigSet>()->m_Field.GetAt(0)->Word1, 0x12345678u);
  EXPECT_EQ(d.As<ConfigSet>()->m_Field.GetAt(1)->Word1, 1u);
  EXPECT_EQ(d.As<ConfigAck>(), nullptr);  // a request is not built as the reply class

  using UserList = KPKT_TYPE(0x81000001, VLF, CNDUserIOInfor);
  Bytes users = Hex("00 00 00 00  01 00 00 81  48 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
                Hex("01 00 00 00") + Zeros(40) + Hex("2A 00 00 00");
  auto u = kdl::test::ExpectRoundTrip<UserList>(users);
  ASSERT_NE(u.packet, nullptr);
  EXPECT_EQ(u.As<UserList>()->m_Field.GetAt(0)->Word11, 42u);
}

}  // namespace
}  // namespace PacketZVDiskless
