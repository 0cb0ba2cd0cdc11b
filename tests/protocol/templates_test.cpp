// The packet head and the generic packet shapes: head only, head plus a
// counted array, head plus an exception payload; and the counted array.
#include <gtest/gtest.h>

#include <cstring>

#include "protocol/PacketTemplates.h"
#include "protocol/ToolPackets.h"
#include "tests/protocol/TestBytes.h"

using namespace PacketZVDiskless;
using kdl::test::Bytes;
using kdl::test::Hex;
using kdl::test::Zeros;

namespace {

// A 6-byte record of the test's own: a 16-bit and a 32-bit number.
struct TestRec {
  static constexpr uint32_t kWireSize = 6;
  uint16_t A = 0;
  uint32_t B = 0;
  template <class V>
  int Fields(V& v) { return v.U16("A", A) || v.U32("B", B); }
  KPKT_RECORD_OPS()
};

// A record without member initialisers: an array of it must still start
// zero-filled.
struct BareRec {
  static constexpr uint32_t kWireSize = 8;
  uint32_t A;
  uint32_t B;
  template <class V>
  int Fields(V& v) { return v.U32("A", A) || v.U32("B", B); }
  KPKT_RECORD_OPS()
};

// Counts live records so a test can see that every record was destroyed.
struct CountedRec {
  static inline int s_nLive = 0;
  static constexpr uint32_t kWireSize = 4;
  uint32_t V = 0;
  CountedRec() { ++s_nLive; }
  ~CountedRec() { --s_nLive; }
  template <class Vis>
  int Fields(Vis& v) { return v.U32("V", V); }
  KPKT_RECORD_OPS()
};

template <class P>
Bytes PackAll(const P& p, uint32_t capacity, bool net = false) {
  Bytes buf(capacity, 0xee);
  CPktWriteStream w(buf.data(), capacity, net);
  EXPECT_EQ(0, p.Pack(w));
  buf.resize(w.m_nPos);
  return buf;
}

using TestField = TVarLengthField<TestRec>;
using TestVlf = CSimpleVLFPacketHead<TestField, 0x00010203>;

TEST(PacketHead, DefaultIsZeroAndPacksSixWordsInOrder) {
  CPacketHead h;
  EXPECT_EQ(24u, h.Size());
  EXPECT_EQ(Zeros(24), PackAll(h, 24));

  h.Reserved0 = 0x11121314;
  h.Type = 0x80020001;
  h.Length = 0x24;
  h.Reserved3 = 0x31323334;
  h.ErrCode = 0x00000007;
  h.Reserved5 = 0x51525354;
  EXPECT_EQ(Hex("14 13 12 11 | 01 00 02 80 | 24 00 00 00 | 34 33 32 31 | 07 00 00 00 |"
                "54 53 52 51"),
            PackAll(h, 24));
  EXPECT_EQ(Hex("11 12 13 14 | 80 02 00 01 | 00 00 00 24 | 31 32 33 34 | 00 00 00 07 |"
                "51 52 53 54"),
            PackAll(h, 24, true));
}

TEST(PacketHead, UnpackReadsSixWords) {
  Bytes in = Hex("01 00 00 00 | 05 00 02 80 | 19 01 00 00 | 03 00 00 00 | fe ff ff ff |"
                 "06 00 00 00 | 99");
  CPktReadStream r(in.data(), uint32_t(in.size()), false);
  CPacketHead h;
  EXPECT_EQ(0, h.Unpack(r));
  EXPECT_EQ(24u, r.m_nPos);
  EXPECT_EQ(1u, h.Reserved0);
  EXPECT_EQ(0x80020005u, h.Type);
  EXPECT_EQ(281u, h.Length);
  EXPECT_EQ(3u, h.Reserved3);
  EXPECT_EQ(0xfffffffeu, h.ErrCode);
  EXPECT_EQ(6u, h.Reserved5);

  CPacketHead copy(h);
  EXPECT_EQ(0x80020005u, copy.Type);
  EXPECT_EQ(0xfffffffeu, copy.ErrCode);
  EXPECT_EQ(6u, copy.Reserved5);
}

TEST(PacketHead, ShortInputOrRoomFailsWithoutMoving) {
  Bytes in = Zeros(23);
  CPktReadStream r(in.data(), 23, false);
  CPacketHead h;
  h.Type = 77;
  EXPECT_EQ(-1, h.Unpack(r));
  EXPECT_EQ(0u, r.m_nPos);
  EXPECT_EQ(77u, h.Type);

  uint8_t buf[23];
  CPktWriteStream w(buf, 23, false);
  EXPECT_EQ(-1, h.Pack(w));
  EXPECT_EQ(0u, w.m_nPos);
}

TEST(SimplePacketHead, TypeOnePacketHead) {
  CSimplePacketHead<1> p;
  EXPECT_EQ(1u, p.Type);
  EXPECT_EQ(24u, p.Length);
  EXPECT_EQ(24u, p.Size());
  EXPECT_EQ(Hex("00 00 00 00 | 01 00 00 00 | 18 00 00 00") + Zeros(12), PackAll(p, 24));
  EXPECT_EQ(Hex("00 00 00 00 | 00 00 00 01 | 00 00 00 18") + Zeros(12), PackAll(p, 24, true));
}

TEST(SimplePacketHead, BuiltFromHeadKeepsReceivedWords) {
  CPacketHead h;
  h.Type = 0x00020006;
  h.Length = 24;
  h.ErrCode = 5;
  h.Reserved3 = 9;
  CSimplePacketHead<0x00020002> p(h);
  EXPECT_EQ(0x00020006u, p.Type);
  EXPECT_EQ(5u, p.ErrCode);
  EXPECT_EQ(9u, p.Reserved3);
  EXPECT_EQ(Hex("00 00 00 00 | 06 00 02 00 | 18 00 00 00 | 09 00 00 00 | 05 00 00 00 |"
                "00 00 00 00"),
            PackAll(p, 24));
}

TEST(SimplePacketHead, BodyIsEmpty) {
  Bytes in = Hex("01 02 03");
  CPktReadStream r(in.data(), 3, false);
  CSimplePacketHead<0x80020003> p;
  EXPECT_EQ(0, p.Unpack(r));
  EXPECT_EQ(0u, r.m_nPos);
  uint8_t buf[30];
  CPktWriteStream w(buf, 30, false);
  EXPECT_EQ(0, p.Pack(w));
  EXPECT_EQ(24u, w.m_nPos);
}

TEST(VarLengthField, DefaultIsEmpty) {
  TestField f;
  EXPECT_EQ(0u, f.m_nCount);
  EXPECT_EQ(nullptr, f.m_pItems);
  EXPECT_EQ(nullptr, f.GetAt(0));
  EXPECT_EQ(4u, f.Size());
}

TEST(VarLengthField, SetCountReplacesWithZeroFilledRecords) {
  TestField f;
  ASSERT_EQ(0, f.SetCount(1));
  f.GetAt(0)->A = 7;
  f.GetAt(0)->B = 8;
  ASSERT_EQ(0, f.SetCount(1));
  ASSERT_EQ(1u, f.m_nCount);
  ASSERT_NE(nullptr, f.GetAt(0));
  EXPECT_EQ(0, f.GetAt(0)->A);
  EXPECT_EQ(0u, f.GetAt(0)->B);
  EXPECT_EQ(nullptr, f.GetAt(1));

  ASSERT_EQ(0, f.SetCount(3));
  EXPECT_EQ(3u, f.m_nCount);
  EXPECT_NE(nullptr, f.GetAt(2));
  EXPECT_EQ(nullptr, f.GetAt(3));
  EXPECT_EQ(4u + 3 * 6, f.Size());
}

TEST(VarLengthField, RecordsWithoutInitialisersStartZeroed) {
  TVarLengthField<BareRec> f;
  ASSERT_EQ(0, f.SetCount(4));
  EXPECT_EQ(4u + 4 * 8, f.Size());
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(0u, f.GetAt(i)->A);
    EXPECT_EQ(0u, f.GetAt(i)->B);
  }
}

TEST(VarLengthField, SetCountDestroysEarlierRecords) {
  {
    TVarLengthField<CountedRec> f;
    ASSERT_EQ(0, f.SetCount(5));
    EXPECT_EQ(5, CountedRec::s_nLive);
    ASSERT_EQ(0, f.SetCount(1));
    EXPECT_EQ(1, CountedRec::s_nLive);
  }
  EXPECT_EQ(0, CountedRec::s_nLive);
}

TEST(VarLengthField, PacksCountThenRecords) {
  TestField f;
  ASSERT_EQ(0, f.SetCount(2));
  f.GetAt(0)->A = 0x0102;
  f.GetAt(0)->B = 0x03040506;
  f.GetAt(1)->A = 0xa1a2;
  f.GetAt(1)->B = 0xb1b2b3b4;
  Bytes buf(16);
  {
    CPktWriteStream w(buf.data(), 16, false);
    EXPECT_EQ(0, f.Pack(w));
    EXPECT_EQ(16u, w.m_nPos);
    EXPECT_EQ(Hex("02 00 00 00 | 02 01 06 05 04 03 | a2 a1 b4 b3 b2 b1"), buf);
  }
  {
    CPktWriteStream w(buf.data(), 16, true);
    EXPECT_EQ(0, f.Pack(w));
    EXPECT_EQ(Hex("00 00 00 02 | 01 02 03 04 05 06 | a1 a2 b1 b2 b3 b4"), buf);
  }
  {
    CPktWriteStream w(buf.data(), 15, false);  // the last number does not fit
    EXPECT_EQ(-1, f.Pack(w));
    EXPECT_EQ(12u, w.m_nPos);
  }
}

TEST(VarLengthField, UnpacksCountThenRecords) {
  Bytes in = Hex("02 00 00 00 | 02 01 06 05 04 03 | a2 a1 b4 b3 b2 b1 | 77");
  CPktReadStream r(in.data(), uint32_t(in.size()), false);
  TestField f;
  ASSERT_EQ(0, f.Unpack(r));
  EXPECT_EQ(16u, r.m_nPos);
  ASSERT_EQ(2u, f.m_nCount);
  EXPECT_EQ(0x0102, f.GetAt(0)->A);
  EXPECT_EQ(0x03040506u, f.GetAt(0)->B);
  EXPECT_EQ(0xa1a2, f.GetAt(1)->A);
  EXPECT_EQ(0xb1b2b3b4u, f.GetAt(1)->B);
  EXPECT_EQ(nullptr, f.GetAt(2));
}

TEST(VarLengthField, CountZeroGivesAllocatedEmptyArray) {
  Bytes in = Hex("00 00 00 00");
  CPktReadStream r(in.data(), 4, false);
  TestField f;
  EXPECT_EQ(0, f.Unpack(r));
  EXPECT_EQ(0u, f.m_nCount);
  EXPECT_NE(nullptr, f.m_pItems);
  EXPECT_EQ(nullptr, f.GetAt(0));
}

TEST(VarLengthField, CountLargerThanRemainingBytesFailsBeforeAllocating) {
  Bytes in = Hex("05 00 00 00 | 01 02 03");
  CPktReadStream r(in.data(), uint32_t(in.size()), false);
  TestField f;
  EXPECT_EQ(-1, f.Unpack(r));
  EXPECT_EQ(nullptr, f.m_pItems);
  EXPECT_EQ(nullptr, f.GetAt(0));

  // Three bytes for three records: every record is longer than one byte.
  Bytes in3 = Hex("03 00 00 00 | 01 02 03");
  CPktReadStream r3(in3.data(), uint32_t(in3.size()), false);
  TestField f3;
  EXPECT_EQ(-1, f3.Unpack(r3));

  // A count near 2^32 cannot wrap the size check.
  Bytes huge = Hex("ff ff ff ff") + Zeros(64);
  CPktReadStream rh(huge.data(), uint32_t(huge.size()), false);
  TestField fh;
  EXPECT_EQ(-1, fh.Unpack(rh));
  EXPECT_EQ(nullptr, fh.m_pItems);
}

TEST(VarLengthField, FailedDecodeKeepsEarlierRecordsReachableOnlyByWhatIsHeld) {
  TVarLengthField<CountedRec> f;
  ASSERT_EQ(0, f.SetCount(2));
  f.GetAt(1)->V = 42;
  Bytes in = Hex("05 00 00 00 | 01 02 03");  // count 5, 3 bytes
  CPktReadStream r(in.data(), uint32_t(in.size()), false);
  EXPECT_EQ(-1, f.Unpack(r));
  EXPECT_EQ(2, CountedRec::s_nLive);
  ASSERT_NE(nullptr, f.GetAt(1));
  EXPECT_EQ(42u, f.GetAt(1)->V);
  EXPECT_EQ(nullptr, f.GetAt(2));  // the received count is not trusted
  EXPECT_EQ(4u + 2 * 4, f.Size());
  uint8_t buf[16];
  CPktWriteStream w(buf, 16, false);
  EXPECT_EQ(0, f.Pack(w));
  EXPECT_EQ(Hex("02 00 00 00 | 00 00 00 00 | 2a 00 00 00"), Bytes(buf, buf + w.m_nPos));
}

TEST(VarLengthField, RecordsThatRunOutLaterFailAndLeakNothing) {
  // One image record passes the count test (its 352 fixed bytes are there),
  // but announces two snapshots of 100 bytes with only 50 bytes behind it.
  Bytes in = Hex("01 00 00 00") + Zeros(348) + Hex("02 00 00 00") + Zeros(150);
  CPktReadStream r(in.data(), uint32_t(in.size()), false);
  auto* f = new TVarLengthField<CImgInfoEx>;
  EXPECT_EQ(-1, f->Unpack(r));
  EXPECT_NE(nullptr, f->m_pItems);  // allocated, released by the destructor
  delete f;  // leak checking reports anything left behind

  // Records of a fixed size are measured exactly: two 4-byte records with
  // 7 bytes left fail before a single record is built.
  Bytes in2 = Hex("02 00 00 00 | 01 00 00 00 | 02 00 00");
  CPktReadStream r2(in2.data(), uint32_t(in2.size()), false);
  TVarLengthField<CountedRec> f2;
  EXPECT_EQ(-1, f2.Unpack(r2));
  EXPECT_EQ(0, CountedRec::s_nLive);
  EXPECT_EQ(4u, r2.m_nPos);
}

TEST(VarLengthField, VariableRecordsSumTheirSizes) {
  TVarLengthField<CImgInfoEx> f;
  ASSERT_EQ(0, f.SetCount(2));
  ASSERT_EQ(0, f.GetAt(1)->Snapshots.SetCount(3));
  EXPECT_EQ(4u + 352 + 352 + 300, f.Size());
}

TEST(SimpleVLFPacketHead, EmptyPacketIs28Bytes) {
  TestVlf p;
  EXPECT_EQ(0x00010203u, p.Type);
  EXPECT_EQ(28u, p.Length);
  EXPECT_EQ(28u, p.Size());
  EXPECT_EQ(Hex("00 00 00 00 | 03 02 01 00 | 1c 00 00 00 | 00 00 00 00 | 00 00 00 00 |"
                "00 00 00 00 | 00 00 00 00"),
            PackAll(p, 40));
}

TEST(SimpleVLFPacketHead, OneRecordInBothOrders) {
  TestVlf p;
  ASSERT_EQ(0, p.m_Field.SetCount(1));
  p.m_Field.GetAt(0)->A = 0x1234;
  p.m_Field.GetAt(0)->B = 0x00abcdef;
  p.Length = p.Size();
  EXPECT_EQ(34u, p.Length);
  EXPECT_EQ(Hex("00 00 00 00 | 03 02 01 00 | 22 00 00 00") + Zeros(12) +
                Hex("01 00 00 00 | 34 12 | ef cd ab 00"),
            PackAll(p, 34));
  EXPECT_EQ(Hex("00 00 00 00 | 00 01 02 03 | 00 00 00 22") + Zeros(12) +
                Hex("00 00 00 01 | 12 34 | 00 ab cd ef"),
            PackAll(p, 34, true));
}

TEST(SimpleVLFPacketHead, BodyIsTheField) {
  CPacketHead h;
  h.Type = 0x00010203;
  h.Length = 28;
  TestVlf p(h);
  EXPECT_EQ(nullptr, p.m_Field.m_pItems);
  Bytes body = Hex("01 00 00 00 | 34 12 | ef cd ab 00");
  CPktReadStream r(body.data(), uint32_t(body.size()), false);
  EXPECT_EQ(0, p.Unpack(r));
  ASSERT_EQ(1u, p.m_Field.m_nCount);
  EXPECT_EQ(0x1234, p.m_Field.GetAt(0)->A);
  EXPECT_EQ(0x00abcdefu, p.m_Field.GetAt(0)->B);

  Bytes shortBody = Hex("01 00 00 00 | 34 12 | ef cd ab");
  CPktReadStream rs(shortBody.data(), uint32_t(shortBody.size()), false);
  TestVlf q(h);
  EXPECT_EQ(-1, q.Unpack(rs));
}

TEST(SimpleVLFPacketHead, PackStopsAtTheHead) {
  TestVlf p;
  uint8_t buf[27];
  CPktWriteStream w(buf, 20, false);
  EXPECT_EQ(-1, p.Pack(w));
  EXPECT_EQ(0u, w.m_nPos);
  CPktWriteStream w2(buf, 27, false);
  EXPECT_EQ(-1, p.Pack(w2));  // head fits, count does not
  EXPECT_EQ(24u, w2.m_nPos);
}

TEST(SimpleExcpPacket, RecordPayload) {
  using P = CPktSimpleExcpPacket<0x00080001, TestRec>;
  P p;
  EXPECT_EQ(0x00080001u, p.Type);
  EXPECT_EQ(30u, p.Length);
  EXPECT_EQ(30u, p.Size());
  p.m_Payload.A = 0x0a0b;
  p.m_Payload.B = 0x01020304;
  EXPECT_EQ(Hex("00 00 00 00 | 01 00 08 00 | 1e 00 00 00") + Zeros(12) +
                Hex("0b 0a | 04 03 02 01"),
            PackAll(p, 30));

  CPacketHead h;
  h.Type = 0x00080001;
  P q(h);
  EXPECT_EQ(0, q.m_Payload.A);
  EXPECT_EQ(0u, q.m_Payload.B);
  Bytes body = Hex("0b 0a | 04 03 02 01");
  CPktReadStream r(body.data(), 6, false);
  EXPECT_EQ(0, q.Unpack(r));
  EXPECT_EQ(0x0a0b, q.m_Payload.A);
  EXPECT_EQ(0x01020304u, q.m_Payload.B);
  CPktReadStream rs(body.data(), 5, false);
  P s(h);
  EXPECT_EQ(-1, s.Unpack(rs));
}

TEST(SimpleExcpPacket, ArrayPayload) {
  using P = CPktSimpleExcpPacket<0x80080002, TVarLengthField<TestRec>>;
  P p;
  EXPECT_EQ(28u, p.Length);
  EXPECT_EQ(Hex("00 00 00 00 | 02 00 08 80 | 1c 00 00 00") + Zeros(16), PackAll(p, 28));
  ASSERT_EQ(0, p.m_Payload.SetCount(2));
  EXPECT_EQ(40u, p.Size());

  CPacketHead h;
  h.Type = 0x80080002;
  P q(h);
  Bytes body = Hex("01 00 00 00 | 01 00 02 00 00 00");
  CPktReadStream r(body.data(), uint32_t(body.size()), false);
  EXPECT_EQ(0, q.Unpack(r));
  ASSERT_EQ(1u, q.m_Payload.m_nCount);
  EXPECT_EQ(1, q.m_Payload.GetAt(0)->A);
  EXPECT_EQ(2u, q.m_Payload.GetAt(0)->B);
}

TEST(PacketOps, PackReturnsAtTheFirstFieldThatFails) {
  CPktToolSelectImg p;
  p.Param = 1;
  p.ImageId = 2;
  uint8_t buf[32];
  std::memset(buf, 0xee, sizeof buf);
  CPktWriteStream w(buf, 30, false);  // room for the head and Param only
  EXPECT_EQ(-1, p.Pack(w));
  EXPECT_EQ(28u, w.m_nPos);
  EXPECT_EQ(Hex("01 00 00 00 | ee ee ee ee"), Bytes(buf + 24, buf + 32));
}

}  // namespace
