// Console family: the records first carried here, the named console
// packets and the family's code table, against hand-written byte vectors.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <typeinfo>

#include "protocol/AllPackets.h"
#include "protocol/PacketFactory.h"
#include "tests/protocol/TestBytes.h"
#include "util/Text.h"

namespace PacketZVDiskless {
namespace {

using kdl::test::Bytes;
using kdl::util::CopyField;
using kdl::test::Chars;
using kdl::test::Hex;
using kdl::test::ToHex;
using kdl::test::Zeros;

template <class T>
std::unique_ptr<T> DecodeAs(const Bytes& b, bool netOrder = false) {
  CPktReadStream r(b.data(), static_cast<uint32_t>(b.size()), netOrder);
  std::unique_ptr<CPacketHead> p(CreatePacket(r));
  T* t = dynamic_cast<T*>(p.get());
  if (t) p.release();
  return std::unique_ptr<T>(t);
}

// What Pack writes into a buffer of exactly Size() bytes; {0xEE} on failure.
Bytes Encode(const CPacketHead& p, bool netOrder = false) {
  Bytes out(p.Size(), 0xEE);
  CPktWriteStream w(out.data(), static_cast<uint32_t>(out.size()), netOrder);
  if (p.Pack(w)) return Bytes{0xEE};
  out.resize(w.m_nPos);
  return out;
}

#define EXPECT_BYTES(expected, actual) EXPECT_EQ(ToHex(expected), ToHex(actual))

template <class Item, uint32_t Code>
using Vlf = CSimpleVLFPacketHead<TVarLengthField<Item>, Code>;

// Builds a one-record array packet for sending.
template <class Item, uint32_t Code>
Item* OneRecord(Vlf<Item, Code>& p) {
  if (p.m_Field.SetCount(1)) return nullptr;
  p.Length = p.Size();
  return p.m_Field.GetAt(0);
}

bool AllZero(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

TEST(ConsoleRecords, DiskServerCacheInBothByteOrders) {
  const Bytes le = Hex("00000000 04000100 30000000 00000000 00000000 00000000"
                       "01000000 | A1000000 A2000000 A3000000 A4000000 04030201");
  const Bytes be = Hex("00000000 00010004 00000030 00000000 00000000 00000000"
                       "00000001 | 000000A1 000000A2 000000A3 000000A4 01020304");
  using P = Vlf<DiskServerCacheInfor, 0x00010004>;
  for (bool net : {false, true}) {
    const Bytes& wire = net ? be : le;
    auto p = DecodeAs<P>(wire, net);
    ASSERT_TRUE(p) << "netOrder " << net;
    ASSERT_EQ(1u, p->m_Field.m_nCount);
    const DiskServerCacheInfor* r = p->m_Field.GetAt(0);
    EXPECT_EQ(0xA1u, r->Word1);
    EXPECT_EQ(0xA2u, r->Word2);
    EXPECT_EQ(0xA3u, r->Word3);
    EXPECT_EQ(0xA4u, r->Word4);
    EXPECT_EQ(0x01020304u, r->Word5);

    P out;
    DiskServerCacheInfor* o = OneRecord(out);
    ASSERT_TRUE(o);
    o->Word1 = 0xA1; o->Word2 = 0xA2; o->Word3 = 0xA3; o->Word4 = 0xA4; o->Word5 = 0x01020304;
    EXPECT_BYTES(wire, Encode(out, net));
  }
}

TEST(ConsoleRecords, DiskServerTempPath) {
  const Bytes wire = Hex("00000000 09000180 24010000 00000000 00000000 00000000"
                         "01000000 | 03000000") +
                     Chars("tmp-a", 104) + Chars("cache-b", 104) + Chars("abc", 26) +
                     Chars("xyz", 26);
  ASSERT_EQ(292u, wire.size());
  using P = Vlf<CDiskServerTempPathInfor, 0x80010009>;
  auto p = DecodeAs<P>(wire);
  ASSERT_TRUE(p);
  const CDiskServerTempPathInfor* r = p->m_Field.GetAt(0);
  ASSERT_TRUE(r);
  EXPECT_EQ(3u, r->Word1);
  EXPECT_STREQ("tmp-a", r->Bytes1);
  EXPECT_STREQ("cache-b", r->Bytes2);
  EXPECT_STREQ("abc", r->Bytes3);
  EXPECT_STREQ("xyz", r->Bytes4);

  P out;
  CDiskServerTempPathInfor* o = OneRecord(out);
  ASSERT_TRUE(o);
  o->Word1 = 3;
  CopyField(o->Bytes1, "tmp-a");
  CopyField(o->Bytes2, "cache-b");
  CopyField(o->Bytes3, "abc");
  CopyField(o->Bytes4, "xyz");
  EXPECT_BYTES(wire, Encode(out));
}

TEST(ConsoleRecords, ServerConfigIO) {
  const Bytes wire = Hex("00000000 0C000180 50000000 00000000 00000000 00000000"
                         "01000000 | 01000000 02000000 03000000 04000000 05000000") +
                     Chars("io-cfg", 32);
  using P = Vlf<CServerConfigIOInfor, 0x8001000C>;
  auto p = DecodeAs<P>(wire);
  ASSERT_TRUE(p);
  const CServerConfigIOInfor* r = p->m_Field.GetAt(0);
  ASSERT_TRUE(r);
  EXPECT_EQ(1u, r->Word1);
  EXPECT_EQ(5u, r->Word5);
  EXPECT_STREQ("io-cfg", r->Bytes1);

  P out;
  CServerConfigIOInfor* o = OneRecord(out);
  ASSERT_TRUE(o);
  o->Word1 = 1; o->Word2 = 2; o->Word3 = 3; o->Word4 = 4; o->Word5 = 5;
  CopyField(o->Bytes1, "io-cfg");
  EXPECT_BYTES(wire, Encode(out));
}

TEST(ConsoleRecords, CSServerHasWordsOnBothSidesOfItsPath) {
  const Bytes wire = Hex("00000000 03000180 40010000 00000000 00000000 00000000"
                         "01000000 | 11000000 12000000 13000000 14000000") +
                     Chars("srv-main", 260) + Hex("15000000 16000000 17000000 18000000");
  ASSERT_EQ(320u, wire.size());
  using P = Vlf<CCSServerBaseInfo, 0x80010003>;
  auto p = DecodeAs<P>(wire);
  ASSERT_TRUE(p);
  const CCSServerBaseInfo* r = p->m_Field.GetAt(0);
  ASSERT_TRUE(r);
  EXPECT_EQ(0x11u, r->Word1);
  EXPECT_EQ(0x14u, r->Word4);
  EXPECT_STREQ("srv-main", r->Bytes1);
  EXPECT_EQ(0x15u, r->Word5);
  EXPECT_EQ(0x18u, r->Word8);

  P out;
  CCSServerBaseInfo* o = OneRecord(out);
  ASSERT_TRUE(o);
  o->Word1 = 0x11; o->Word2 = 0x12; o->Word3 = 0x13; o->Word4 = 0x14;
  CopyField(o->Bytes1, "srv-main");
  o->Word5 = 0x15; o->Word6 = 0x16; o->Word7 = 0x17; o->Word8 = 0x18;
  EXPECT_BYTES(wire, Encode(out));

  // Two records announced, one and a bit present: the packet fails.
  Bytes two = wire;
  two[8] = 0x64; two[9] = 0x02;  // Length 612
  two[24] = 0x02;                // two records
  two = two + Hex("21000000 22000000 23000000 24000000") + Chars("x", 100);
  EXPECT_FALSE(DecodeAs<CPacketHead>(two));
}

TEST(ConsoleRecords, SnapshotAndClientGroup) {
  {
    const Bytes wire = Hex("00000000 01020100 28010000 00000000 00000000 00000000"
                           "01000000 | 07000000 08000000") + Chars("snap-1", 260);
    using P = Vlf<CPSetSnapshotBaseInfor, 0x00010201>;
    auto p = DecodeAs<P>(wire);
    ASSERT_TRUE(p);
    const CPSetSnapshotBaseInfor* r = p->m_Field.GetAt(0);
    ASSERT_TRUE(r);
    EXPECT_EQ(7u, r->Word1);
    EXPECT_EQ(8u, r->Word2);
    EXPECT_STREQ("snap-1", r->Bytes1);
    P out;
    CPSetSnapshotBaseInfor* o = OneRecord(out);
    ASSERT_TRUE(o);
    o->Word1 = 7; o->Word2 = 8;
    CopyField(o->Bytes1, "snap-1");
    EXPECT_BYTES(wire, Encode(out));
  }
  {
    const Bytes wire = Hex("00000000 01040180 28020000 00000000 00000000 00000000"
                           "01000000 | 09000000") + Chars("lab", 260) + Chars("second floor", 260);
    ASSERT_EQ(552u, wire.size());
    using P = Vlf<CPClientGroupInfo, 0x80010401>;
    auto p = DecodeAs<P>(wire);
    ASSERT_TRUE(p);
    const CPClientGroupInfo* r = p->m_Field.GetAt(0);
    ASSERT_TRUE(r);
    EXPECT_EQ(9u, r->Word1);
    EXPECT_STREQ("lab", r->Bytes1);
    EXPECT_STREQ("second floor", r->Bytes2);
    P out;
    CPClientGroupInfo* o = OneRecord(out);
    ASSERT_TRUE(o);
    o->Word1 = 9;
    CopyField(o->Bytes1, "lab");
    CopyField(o->Bytes2, "second floor");
    EXPECT_BYTES(wire, Encode(out));
  }
}

// One CPClientConfigInformation: "pc-01", words 1..16 = 1..16, then the six
// address bytes 00 11 22 33 44 55.
Bytes ClientConfigLE() {
  return Chars("pc-01", 64) +
         Hex("01000000 02000000 03000000 04000000 05000000 06000000 07000000 08000000"
             "09000000 0A000000 0B000000 0C000000 0D000000 0E000000 0F000000 10000000"
             "00 11 22 33 44 55");
}
Bytes ClientConfigBE() {
  return Chars("pc-01", 64) +
         Hex("00000001 00000002 00000003 00000004 00000005 00000006 00000007 00000008"
             "00000009 0000000A 0000000B 0000000C 0000000D 0000000E 0000000F 00000010"
             "00 11 22 33 44 55");
}

void FillClientConfig(CPClientConfigInformation& c) {
  CopyField(c.Bytes1, "pc-01");
  uint32_t* words[16] = {&c.Word1,  &c.Word2,  &c.Word3,  &c.Word4,  &c.Word5,  &c.Word6,
                         &c.Word7,  &c.Word8,  &c.Word9,  &c.Word10, &c.Word11, &c.Word12,
                         &c.Word13, &c.Word14, &c.Word15, &c.Word16};
  for (uint32_t k = 0; k < 16; ++k) *words[k] = k + 1;
  const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  std::memcpy(c.Bytes2, mac, 6);
}

void ExpectClientConfig(const CPClientConfigInformation& c) {
  EXPECT_STREQ("pc-01", c.Bytes1);
  EXPECT_EQ(1u, c.Word1);
  EXPECT_EQ(2u, c.Word2);
  EXPECT_EQ(8u, c.Word8);
  EXPECT_EQ(15u, c.Word15);
  EXPECT_EQ(16u, c.Word16);
  const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_EQ(0, std::memcmp(mac, c.Bytes2, 6));
}

TEST(ConsoleRecords, ClientConfigurationInBothByteOrders) {
  const Bytes le = Hex("00000000 01050180 A2000000 00000000 00000000 00000000 01000000") +
                   ClientConfigLE();
  const Bytes be = Hex("00000000 80010501 000000A2 00000000 00000000 00000000 00000001") +
                   ClientConfigBE();
  ASSERT_EQ(162u, le.size());
  using P = Vlf<CPClientConfigInformation, 0x80010501>;
  for (bool net : {false, true}) {
    const Bytes& wire = net ? be : le;
    auto p = DecodeAs<P>(wire, net);
    ASSERT_TRUE(p) << "netOrder " << net;
    ASSERT_EQ(1u, p->m_Field.m_nCount);
    ExpectClientConfig(*p->m_Field.GetAt(0));
    P out;
    CPClientConfigInformation* o = OneRecord(out);
    ASSERT_TRUE(o);
    FillClientConfig(*o);
    EXPECT_BYTES(wire, Encode(out, net));
  }
}

TEST(ConsoleRecords, PnpMemoryRecordCarriesWordFiveBeforeWordFour) {
  const Bytes le = Hex("00000000 14000180 34010000 00000000 00000000 00000000"
                       "01000000 | 01000000 02000000 03000000 05000000 04000000") +
                   Chars("pnp", 260);
  const Bytes be = Hex("00000000 80010014 00000134 00000000 00000000 00000000"
                       "00000001 | 00000001 00000002 00000003 00000005 00000004") +
                   Chars("pnp", 260);
  ASSERT_EQ(308u, le.size());
  using P = Vlf<CPktSimpleRequestPNPMemoryAck, 0x80010014>;
  for (bool net : {false, true}) {
    const Bytes& wire = net ? be : le;
    auto p = DecodeAs<P>(wire, net);
    ASSERT_TRUE(p);
    const CPktSimpleRequestPNPMemoryAck* r = p->m_Field.GetAt(0);
    ASSERT_TRUE(r);
    EXPECT_EQ(1u, r->Word1);
    EXPECT_EQ(2u, r->Word2);
    EXPECT_EQ(3u, r->Word3);
    EXPECT_EQ(4u, r->Word4);
    EXPECT_EQ(5u, r->Word5);
    EXPECT_STREQ("pnp", r->Bytes1);

    P out;
    CPktSimpleRequestPNPMemoryAck* o = OneRecord(out);
    ASSERT_TRUE(o);
    o->Word1 = 1; o->Word2 = 2; o->Word3 = 3; o->Word4 = 4; o->Word5 = 5;
    CopyField(o->Bytes1, "pnp");
    EXPECT_BYTES(wire, Encode(out, net));
  }
  // The record alone: word 5 at record offset 12, word 4 at 16.
  CPktSimpleRequestPNPMemoryAck rec;
  rec.Word4 = 4;
  rec.Word5 = 5;
  uint8_t buf[280] = {};
  CPktWriteStream w(buf, sizeof buf, false);
  ASSERT_EQ(0, rec.Pack(w));
  EXPECT_EQ(280u, w.m_nPos);
  EXPECT_EQ(5, buf[12]);
  EXPECT_EQ(4, buf[16]);
}

TEST(ConsolePackets, LoginCarriesA32ByteField) {
  const Bytes wire = Hex("00000000 02000100 38000000 00000000 00000000 00000000") +
                     Chars("console-7", 32);
  auto p = DecodeAs<CPktConsoleLogin>(wire);
  ASSERT_TRUE(p);
  EXPECT_STREQ("console-7", p->Bytes1);
  CPktConsoleLogin out;
  EXPECT_EQ(56u, out.Length);
  CopyField(out.Bytes1, "console-7");
  EXPECT_BYTES(wire, Encode(out));
}

TEST(ConsolePackets, LoginAckHasWordsAtOddOffsets) {
  const Bytes le = Hex("00000000 02000180 26000000 00000000 00000000 00000000"
                       "02 01 | 44 33 22 11 | 88 77 66 55 | 0C 0B 0A 09");
  const Bytes be = Hex("00000000 80010002 00000026 00000000 00000000 00000000"
                       "01 02 | 11 22 33 44 | 55 66 77 88 | 09 0A 0B 0C");
  ASSERT_EQ(38u, le.size());
  for (bool net : {false, true}) {
    const Bytes& wire = net ? be : le;
    auto p = DecodeAs<CPktConsoleLoginAck>(wire, net);
    ASSERT_TRUE(p) << "netOrder " << net;
    EXPECT_EQ(0x0102u, p->Word1);
    EXPECT_EQ(0x11223344u, p->Word2);
    EXPECT_EQ(0x55667788u, p->Word3);
    EXPECT_EQ(0x090A0B0Cu, p->Word4);
    CPktConsoleLoginAck out;
    EXPECT_EQ(38u, out.Length);
    out.Word1 = 0x0102; out.Word2 = 0x11223344; out.Word3 = 0x55667788; out.Word4 = 0x090A0B0C;
    EXPECT_BYTES(wire, Encode(out, net));
    // 37 bytes: the last word is one byte short.
    EXPECT_FALSE(DecodeAs<CPacketHead>(Bytes(wire.begin(), wire.end() - 1), net));
  }
}

TEST(ConsolePackets, DiscoverCtrlServerAckCarriesACountedListOfNumbers) {
  const Bytes wire = Hex("00000000 01000180 28000000 00000000 00000000 00000000"
                         "07000000 | 02000000 | 0A000000 0B000000");
  auto p = DecodeAs<CPktConsoleDiscoverCtrlServerAck>(wire);
  ASSERT_TRUE(p);
  EXPECT_EQ(7u, p->Word1);
  ASSERT_EQ(2u, p->Values.m_nCount);
  EXPECT_EQ(0x0Au, p->Values.GetAt(0)->Value);
  EXPECT_EQ(0x0Bu, p->Values.GetAt(1)->Value);

  CPktConsoleDiscoverCtrlServerAck out;
  EXPECT_EQ(32u, out.Size());
  out.Word1 = 7;
  ASSERT_EQ(0, out.Values.SetCount(2));
  out.Values.GetAt(0)->Value = 0x0A;
  out.Values.GetAt(1)->Value = 0x0B;
  out.Length = out.Size();
  EXPECT_BYTES(wire, Encode(out));

  // Three values announced, two present.
  Bytes shortList = wire;
  shortList[28] = 0x03;
  EXPECT_FALSE(DecodeAs<CPacketHead>(shortList));
}

TEST(ConsolePackets, ServerIOInformationAckWithEmptyArraysIs40Bytes) {
  const Bytes wire = Hex("00000000 0B000180 28000000 00000000 00000000 00000000"
                         "00000000 00000000 00000000 00000000");
  auto p = DecodeAs<CPktServerIOInformationAck>(wire);
  ASSERT_TRUE(p);
  EXPECT_EQ(0u, p->RecordsA.m_nCount);
  EXPECT_EQ(0u, p->RecordsD.m_nCount);
  CPktServerIOInformationAck out;
  EXPECT_EQ(40u, out.Length);
  EXPECT_BYTES(wire, Encode(out));
}

TEST(ConsolePackets, ServerIOInformationAckWithOneRecordOfTheFirstKindIs100Bytes) {
  const Bytes wire = Hex("00000000 0B000180 64000000 00000000 00000000 00000000"
                         "01000000"
                         "01000000 02000000 03000000 04000000 05000000 06000000 07000000"
                         "08000000 09000000 0A000000 0B000000 0C000000 0D000000 0E000000"
                         "0F000000"
                         "00000000 00000000 00000000");
  ASSERT_EQ(100u, wire.size());
  auto p = DecodeAs<CPktServerIOInformationAck>(wire);
  ASSERT_TRUE(p);
  ASSERT_EQ(1u, p->RecordsA.m_nCount);
  EXPECT_EQ(1u, p->RecordsA.GetAt(0)->Word1);
  EXPECT_EQ(8u, p->RecordsA.GetAt(0)->Word8);
  EXPECT_EQ(15u, p->RecordsA.GetAt(0)->Word15);
  EXPECT_EQ(0u, p->RecordsB.m_nCount);
  EXPECT_EQ(0u, p->RecordsC.m_nCount);
  EXPECT_EQ(0u, p->RecordsD.m_nCount);

  CPktServerIOInformationAck out;
  ASSERT_EQ(0, out.RecordsA.SetCount(1));
  CSvrIORecordA& a = *out.RecordsA.GetAt(0);
  a.Word1 = 1; a.Word2 = 2; a.Word3 = 3; a.Word4 = 4; a.Word5 = 5; a.Word6 = 6; a.Word7 = 7;
  a.Word8 = 8; a.Word9 = 9; a.Word10 = 10; a.Word11 = 11; a.Word12 = 12; a.Word13 = 13;
  a.Word14 = 14; a.Word15 = 15;
  out.Length = out.Size();
  EXPECT_BYTES(wire, Encode(out));
}

TEST(ConsolePackets, ServerIOInformationAckKeepsItsFourArraysInOrder) {
  // One record of each kind; the last word of each record marks its kind.
  const Bytes wire = Hex("00000000 0B000180 F8000000 00000000 00000000 00000000") +
                     Hex("01000000") + Zeros(56) + Hex("AA000000") +
                     Hex("01000000") + Zeros(68) + Hex("BB000000") +
                     Hex("01000000") + Zeros(44) + Hex("CC000000") +
                     Hex("01000000") + Zeros(24) + Hex("DD000000");
  ASSERT_EQ(248u, wire.size());
  auto p = DecodeAs<CPktServerIOInformationAck>(wire);
  ASSERT_TRUE(p);
  ASSERT_EQ(1u, p->RecordsA.m_nCount);
  ASSERT_EQ(1u, p->RecordsB.m_nCount);
  ASSERT_EQ(1u, p->RecordsC.m_nCount);
  ASSERT_EQ(1u, p->RecordsD.m_nCount);
  EXPECT_EQ(0xAAu, p->RecordsA.GetAt(0)->Word15);
  EXPECT_EQ(0xBBu, p->RecordsB.GetAt(0)->Word18);
  EXPECT_EQ(0xCCu, p->RecordsC.GetAt(0)->Word12);
  EXPECT_EQ(0xDDu, p->RecordsD.GetAt(0)->Word7);
  EXPECT_EQ(0u, p->RecordsB.GetAt(0)->Word17);
  EXPECT_EQ(248u, p->Size());
  EXPECT_BYTES(wire, Encode(*p));
  // The last record one byte short.
  EXPECT_FALSE(DecodeAs<CPacketHead>(Bytes(wire.begin(), wire.end() - 1)));
}

TEST(ConsolePackets, TwoWordRequests) {
  const Bytes prohibit = Hex("00000000 10000100 20000000 00000000 00000000 00000000"
                             "01000000 | 02000000");
  auto p = DecodeAs<CPktAskProhibitServer>(prohibit);
  ASSERT_TRUE(p);
  EXPECT_EQ(1u, p->Word1);
  EXPECT_EQ(2u, p->Word2);
  CPktAskProhibitServer out;
  out.Word1 = 1;
  out.Word2 = 2;
  EXPECT_BYTES(prohibit, Encode(out));

  const Bytes del = Hex("00000000 03030100 20000000 00000000 00000000 00000000"
                        "2A000000 | 00010000");
  auto d = DecodeAs<CPktDeleteImageBaseInfor>(del);
  ASSERT_TRUE(d);
  EXPECT_EQ(42u, d->Word1);
  EXPECT_EQ(0x100u, d->Word2);
  CPktDeleteImageBaseInfor dout;
  dout.Word1 = 42;
  dout.Word2 = 0x100;
  EXPECT_BYTES(del, Encode(dout));
}

TEST(ConsolePackets, ImportImageSendsFullFieldsZeroFilledAfterTheText) {
  const Bytes wire = Hex("00000000 05030100 28030000 00000000 00000000 00000000"
                         "42000000") +
                     Chars("img-a", 260) + Chars("pool", 260) + Chars("note", 260);
  ASSERT_EQ(808u, wire.size());
  auto p = DecodeAs<CPktAskImportImage>(wire);
  ASSERT_TRUE(p);
  EXPECT_EQ(0x42u, p->Word1);
  EXPECT_STREQ("img-a", p->Bytes1);
  EXPECT_STREQ("pool", p->Bytes2);
  EXPECT_STREQ("note", p->Bytes3);
  EXPECT_TRUE(AllZero(p->Bytes1 + 5, 255));
  EXPECT_TRUE(AllZero(p->Bytes3 + 4, 256));

  CPktAskImportImage out;
  EXPECT_EQ(808u, out.Length);
  EXPECT_TRUE(AllZero(out.Bytes1, 260) && AllZero(out.Bytes2, 260) && AllZero(out.Bytes3, 260));
  out.Word1 = 0x42;
  CopyField(out.Bytes1, "img-a");
  CopyField(out.Bytes2, "pool");
  CopyField(out.Bytes3, "note");
  EXPECT_BYTES(wire, Encode(out));
}

TEST(ConsolePackets, ModifySingleClientIs32BytesEmptyAnd166WithOneClient) {
  const Bytes empty = Hex("00000000 04050100 20000000 00000000 00000000 00000000"
                          "05000000 | 00000000");
  auto e = DecodeAs<CPktModifySingleClient>(empty);
  ASSERT_TRUE(e);
  EXPECT_EQ(5u, e->Word1);
  EXPECT_EQ(0u, e->Clients.m_nCount);
  CPktModifySingleClient eout;
  EXPECT_EQ(32u, eout.Length);
  eout.Word1 = 5;
  EXPECT_BYTES(empty, Encode(eout));

  const Bytes one = Hex("00000000 04050100 A6000000 00000000 00000000 00000000"
                        "05000000 | 01000000") + ClientConfigLE();
  ASSERT_EQ(166u, one.size());
  auto p = DecodeAs<CPktModifySingleClient>(one);
  ASSERT_TRUE(p);
  EXPECT_EQ(5u, p->Word1);
  ASSERT_EQ(1u, p->Clients.m_nCount);
  ExpectClientConfig(*p->Clients.GetAt(0));
  CPktModifySingleClient out;
  out.Word1 = 5;
  ASSERT_EQ(0, out.Clients.SetCount(1));
  FillClientConfig(*out.Clients.GetAt(0));
  out.Length = out.Size();
  EXPECT_EQ(166u, out.Length);
  EXPECT_BYTES(one, Encode(out));
}

TEST(ConsolePackets, CheckVIPUserAck) {
  const Bytes wire = Hex("00000000 12000180 24000000 00000000 03000000 00000000"
                         "01000000 02000000 03000000");
  auto p = DecodeAs<CPktCheckVIPUserAck>(wire);
  ASSERT_TRUE(p);
  EXPECT_EQ(3u, p->ErrCode);
  EXPECT_EQ(1u, p->Word1);
  EXPECT_EQ(2u, p->Word2);
  EXPECT_EQ(3u, p->Word3);
  CPktCheckVIPUserAck out;
  out.ErrCode = 3;
  out.Word1 = 1; out.Word2 = 2; out.Word3 = 3;
  EXPECT_BYTES(wire, Encode(out));
}

TEST(ConsolePackets, HeaderOnlyCodeLeavesExtraBytesUnread) {
  const Bytes wire = Hex("00000000 01000100 18000000 00000000 00000000 00000000");
  auto p = DecodeAs<CSimplePacketHead<0x00010001>>(wire);
  ASSERT_TRUE(p);
  EXPECT_EQ(0x00010001u, p->Type);

  const Bytes longer = wire + Hex("AB CD");
  CPktReadStream r(longer.data(), static_cast<uint32_t>(longer.size()), false);
  std::unique_ptr<CPacketHead> q(CreatePacket(r));
  ASSERT_TRUE(q);
  EXPECT_EQ(24u, r.m_nPos);
  // Operation 6 of the general group is not used in either direction.
  Bytes six = wire;
  six[4] = 0x06;
  EXPECT_FALSE(DecodeAs<CPacketHead>(six));
  six[7] = 0x80;
  EXPECT_FALSE(DecodeAs<CPacketHead>(six));
}

TEST(ConsolePackets, TableHas70CodesOfTheFamily) {
  std::set<uint32_t> codes;
#define KTEST_COLLECT(code, KIND, arg, TAIL) codes.insert(code);
  KELVANE_CONSOLE_PACKETS(KTEST_COLLECT)
#undef KTEST_COLLECT
  EXPECT_EQ(70u, codes.size());
  for (uint32_t c : codes) EXPECT_EQ(0x00010000u, c & 0x7FFF0000u) << std::hex << c;
}

TEST(ConsolePackets, EveryDefaultPacketRoundTripsThroughTheFactory) {
#define KTEST_ROUND_TRIP(code, KIND, arg, TAIL)                           \
  {                                                                       \
    KPKT_TYPE(code, KIND, arg) sent;                                      \
    Bytes wire = Encode(sent);                                            \
    EXPECT_EQ(sent.Size(), wire.size()) << std::hex << code;              \
    EXPECT_EQ(sent.Length, wire.size()) << std::hex << code;              \
    auto got = DecodeAs<CPacketHead>(wire);                               \
    ASSERT_TRUE(got) << std::hex << code;                                 \
    EXPECT_EQ(typeid(sent), typeid(*got)) << std::hex << code;            \
    EXPECT_EQ(uint32_t(code), got->Type);                                 \
  }
  KELVANE_CONSOLE_PACKETS(KTEST_ROUND_TRIP)
#undef KTEST_ROUND_TRIP
}

}  // namespace
}  // namespace PacketZVDiskless
