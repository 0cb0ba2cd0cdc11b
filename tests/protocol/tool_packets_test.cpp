// Tool family packets and records against hand-written wire bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>

#include "protocol/ToolPackets.h"
#include "tests/protocol/TestBytes.h"
#include "util/Text.h"

using namespace PacketZVDiskless;
using kdl::test::Bytes;
using kdl::util::CopyField;
using kdl::test::Chars;
using kdl::test::Hex;
using kdl::test::Zeros;

namespace {

// Packs into a buffer of exactly Size() bytes, as the send path does.
template <class P>
Bytes Encode(const P& p, bool net = false) {
  uint32_t size = p.Size();
  Bytes buf(size, 0xee);
  CPktWriteStream w(buf.data(), size, net);
  EXPECT_EQ(0, p.Pack(w));
  EXPECT_EQ(size, w.m_nPos);
  return buf;
}

// Reads the head, builds P from it and lets it read the body, as a receiver
// does. Null when either step fails.
template <class P>
std::unique_ptr<P> Decode(const Bytes& in, bool net = false, uint32_t* pos = nullptr) {
  CPktReadStream r(in.data(), uint32_t(in.size()), net);
  CPacketHead head;
  if (head.Unpack(r)) return nullptr;
  auto p = std::make_unique<P>(head);
  if (p->Unpack(r)) return nullptr;
  if (pos) *pos = r.m_nPos;
  return p;
}

// Record helpers: a record alone, without a head.
template <class R>
Bytes EncodeRecord(const R& rec, bool net = false) {
  Bytes buf(rec.Size(), 0xee);
  CPktWriteStream w(buf.data(), uint32_t(buf.size()), net);
  EXPECT_EQ(0, rec.Pack(w));
  EXPECT_EQ(buf.size(), w.m_nPos);
  return buf;
}

const Bytes kZero12 = Zeros(12);  // Reserved3, ErrCode, Reserved5 all 0

TEST(ToolRecords, FixedSizes) {
  EXPECT_EQ(4u, CPDiscoverAckBaseInfor::kWireSize);
  EXPECT_EQ(4u, CPDiscoverAckBaseInfor().Size());
  EXPECT_EQ(272u, CPImageBaseInfor::kWireSize);
  EXPECT_EQ(272u, CPImageBaseInfor().Size());
  EXPECT_EQ(8u, CPSetClientPowerBaseInfor::kWireSize);
  EXPECT_EQ(8u, CPSetClientPowerBaseInfor().Size());
  EXPECT_EQ(276u, CPCancelAdministratorBaseInfor::kWireSize);
  EXPECT_EQ(276u, CPCancelAdministratorBaseInfor().Size());
  EXPECT_EQ(100u, CImgSnapshotInfo::kWireSize);
  EXPECT_EQ(100u, CImgSnapshotInfo().Size());
  EXPECT_EQ(352u, CImgInfoEx().Size());
}

TEST(ToolRecords, DefaultRecordsAreZero) {
  EXPECT_EQ(Zeros(272), EncodeRecord(CPImageBaseInfor()));
  EXPECT_EQ(Zeros(276), EncodeRecord(CPCancelAdministratorBaseInfor()));
  EXPECT_EQ(Zeros(100), EncodeRecord(CImgSnapshotInfo()));
  EXPECT_EQ(Zeros(352), EncodeRecord(CImgInfoEx()));
}

// Arrays of these records are built by default construction, without a
// zero-fill of their memory first: the records must zero themselves, even on
// memory that held other bytes.
template <class R>
Bytes EncodeDefaultOnDirtyMemory() {
  alignas(R) unsigned char storage[sizeof(R)];
  std::memset(storage, 0xA5, sizeof storage);
  R* rec = new (storage) R;
  Bytes out = EncodeRecord(*rec);
  rec->~R();
  return out;
}

TEST(ToolRecords, DefaultConstructedRecordsAreZeroOnDirtyMemory) {
  EXPECT_EQ(Zeros(100), EncodeDefaultOnDirtyMemory<CImgSnapshotInfo>());
  EXPECT_EQ(Zeros(352), EncodeDefaultOnDirtyMemory<CImgInfoEx>());
  TVarLengthField<CImgInfoEx> images;
  ASSERT_EQ(0, images.SetCount(3));
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Zeros(352), EncodeRecord(*images.GetAt(i))) << i;
    ASSERT_EQ(0, images.GetAt(i)->Snapshots.SetCount(2));
    EXPECT_EQ(Zeros(100), EncodeRecord(*images.GetAt(i)->Snapshots.GetAt(1))) << i;
  }
}

TEST(ToolLogin, FiveCharacterName) {
  CPktToolLogin p;
  EXPECT_EQ(0x00020001u, p.Type);
  EXPECT_EQ(56u, p.Length);
  CopyField(p.ToolName, "admin");
  Bytes expect = Hex("00 00 00 00 | 01 00 02 00 | 38 00 00 00") + kZero12 +
                 Hex("61 64 6d 69 6e") + Zeros(27);
  EXPECT_EQ(expect, Encode(p));
  Bytes expectNet = Hex("00 00 00 00 | 00 02 00 01 | 00 00 00 38") + kZero12 +
                    Hex("61 64 6d 69 6e") + Zeros(27);
  EXPECT_EQ(expectNet, Encode(p, true));

  auto got = Decode<CPktToolLogin>(expect);
  ASSERT_TRUE(got);
  EXPECT_STREQ("admin", got->ToolName);
}

TEST(ToolLogin, FortyCharacterNameFillsTheFieldWithoutTerminator) {
  CPktToolLogin p;
  CopyField(p.ToolName, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd");
  Bytes expect = Hex("00 00 00 00 | 01 00 02 00 | 38 00 00 00") + kZero12 +
                 Chars("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 32);
  EXPECT_EQ(expect, Encode(p));

  auto got = Decode<CPktToolLogin>(expect);
  ASSERT_TRUE(got);
  EXPECT_EQ(0, std::memcmp(got->ToolName, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 32));
  EXPECT_FALSE(Decode<CPktToolLogin>(Bytes(expect.begin(), expect.end() - 1)));
}

TEST(ToolLoginAck, ThreeNumbersInBothOrders) {
  Bytes le = Hex("00 00 00 00 | 01 00 02 80 | 24 00 00 00 | 00 00 00 00 | 03 00 00 00 |"
                 "00 00 00 00 | 02 00 00 00 | 01 00 00 00 | 78 56 34 12");
  Bytes be = Hex("00 00 00 00 | 80 02 00 01 | 00 00 00 24 | 00 00 00 00 | 00 00 00 03 |"
                 "00 00 00 00 | 00 00 00 02 | 00 00 00 01 | 12 34 56 78");
  for (bool net : {false, true}) {
    auto got = Decode<CPktToolLoginAck>(net ? be : le, net);
    ASSERT_TRUE(got) << net;
    EXPECT_EQ(0x80020001u, got->Type);
    EXPECT_EQ(36u, got->Length);
    EXPECT_EQ(3u, got->ErrCode);
    EXPECT_EQ(2u, got->ClientType);
    EXPECT_EQ(1u, got->ManagerEnable);
    EXPECT_EQ(0x12345678u, got->ExtInfo);
  }

  CPktToolLoginAck p;
  EXPECT_EQ(36u, p.Length);
  p.ErrCode = 3;
  p.ClientType = 2;
  p.ManagerEnable = 1;
  p.ExtInfo = 0x12345678;
  EXPECT_EQ(le, Encode(p));
  EXPECT_EQ(be, Encode(p, true));

  EXPECT_FALSE(Decode<CPktToolLoginAck>(Bytes(le.begin(), le.end() - 1)));
}

TEST(ToolSelectImg, TwoNumbersInBothOrders) {
  CPktToolSelectImg p;
  EXPECT_EQ(32u, p.Length);
  p.ImageId = 7;
  EXPECT_EQ(Hex("00 00 00 00 | 05 00 02 00 | 20 00 00 00") + kZero12 +
                Hex("00 00 00 00 | 07 00 00 00"),
            Encode(p));
  EXPECT_EQ(Hex("00 00 00 00 | 00 02 00 05 | 00 00 00 20") + kZero12 +
                Hex("00 00 00 00 | 00 00 00 07"),
            Encode(p, true));

  auto got = Decode<CPktToolSelectImg>(Hex("00 00 00 00 | 05 00 02 00 | 20 00 00 00") +
                                       kZero12 + Hex("09 00 00 00 | 0a 01 00 00"));
  ASSERT_TRUE(got);
  EXPECT_EQ(9u, got->Param);
  EXPECT_EQ(0x10au, got->ImageId);
}

Bytes SelectAckBytes() {
  return Hex("00 00 00 00 | 05 00 02 80 | 19 01 00 00") + kZero12 + Hex("01") +
         Chars("D:\\img\\a.vhd", 256);
}

TEST(ToolSelectImgAck, Is281BytesWithPathFrom25) {
  Bytes in = SelectAckBytes();
  ASSERT_EQ(281u, in.size());
  uint32_t pos = 0;
  auto got = Decode<CPktToolSelectImgAck>(in, false, &pos);
  ASSERT_TRUE(got);
  EXPECT_EQ(281u, pos);
  EXPECT_EQ(1, got->bSucc);
  EXPECT_EQ(0, std::memcmp(got->Path, in.data() + 25, 256));
  EXPECT_STREQ("D:\\img\\a.vhd", got->Path);

  EXPECT_FALSE(Decode<CPktToolSelectImgAck>(Bytes(in.begin(), in.end() - 1)));  // 280 bytes

  CPktToolSelectImgAck p;
  EXPECT_EQ(281u, p.Length);
  p.bSucc = 1;
  CopyField(p.Path, "D:\\img\\a.vhd");
  EXPECT_EQ(in, Encode(p));
}

TEST(ToolSelectImgAck, PathWithoutTerminatorIsKeptWhole) {
  Bytes in = Hex("00 00 00 00 | 05 00 02 80 | 19 01 00 00") + kZero12 + Hex("00") +
             Zeros(256, 'p');
  auto got = Decode<CPktToolSelectImgAck>(in);
  ASSERT_TRUE(got);
  EXPECT_EQ(0, got->bSucc);
  EXPECT_EQ(Zeros(256, 'p'), Bytes(got->Path, got->Path + 256));
}

TEST(ToolQueryImgInfoListAck, EmptyListIs36Bytes) {
  Bytes le = Hex("00 00 00 00 | 06 00 02 80 | 24 00 00 00") + kZero12 +
             Hex("01 00 a8 c0 | 90 1f 00 00 | 00 00 00 00");
  Bytes be = Hex("00 00 00 00 | 80 02 00 06 | 00 00 00 24") + kZero12 +
             Hex("c0 a8 00 01 | 00 00 1f 90 | 00 00 00 00");
  CPktToolQueryImgInfoListAck p;
  EXPECT_EQ(36u, p.Length);
  p.ServerIP = 0xc0a80001;
  p.ServerPort = 8080;
  EXPECT_EQ(le, Encode(p));
  EXPECT_EQ(be, Encode(p, true));
  for (bool net : {false, true}) {
    auto got = Decode<CPktToolQueryImgInfoListAck>(net ? be : le, net);
    ASSERT_TRUE(got);
    EXPECT_EQ(0xc0a80001u, got->ServerIP);
    EXPECT_EQ(8080u, got->ServerPort);
    EXPECT_EQ(0u, got->Images.m_nCount);
    EXPECT_EQ(36u, got->Size());
  }
}

TEST(ToolQueryImgInfoListAck, OneImage) {
  Bytes in = Hex("00 00 00 00 | 06 00 02 80 | 34 01 00 00 | 00 00 00 00 | 00 00 00 00 |"
                 "00 00 00 00 | 01 00 a8 c0 | 90 1f 00 00 | 01 00 00 00") +
             Hex("03 00 00 00") + Chars("win10", 260) + Hex("01 00 00 00 | 02 01 00 00");
  ASSERT_EQ(308u, in.size());
  auto got = Decode<CPktToolQueryImgInfoListAck>(in);
  ASSERT_TRUE(got);
  ASSERT_EQ(1u, got->Images.m_nCount);
  const CPImageBaseInfor* img = got->Images.GetAt(0);
  EXPECT_EQ(3u, img->ImageId);
  EXPECT_STREQ("win10", img->Name);
  EXPECT_EQ(1u, img->Param1);
  EXPECT_EQ(0x102u, img->Param2);
  EXPECT_EQ(308u, got->Size());
  EXPECT_EQ(in, Encode(*got));

  // The count promises a second image that is not there.
  Bytes two = in;
  two[32] = 2;
  EXPECT_FALSE(Decode<CPktToolQueryImgInfoListAck>(two));
}

// One image (5) with two snapshots, 580 bytes.
Bytes ImageInfoReplyBytes() {
  return Hex("00 00 00 00 | 02 00 02 80 | 44 02 00 00 | 00 00 00 00 | 00 00 00 00 |"
             "00 00 00 00") +
         Hex("01 00 00 00") +  // one image
         Hex("05 00 00 00 | 10 00 00 00 | 20 00 00 00") + Chars("base", 64) +
         Hex("40 00 00 00") + Chars("C:\\img\\base.img", 260) +
         Hex("50 00 00 00 | 60 00 00 00 | 02 00 00 00") +  // two snapshots
         Hex("01 01 00 00 | 02 00 00 00 | 03 00 00 00 | 04 00 00 00 | 05 00 00 00 |"
             "06 00 00 00") +
         Chars("first", 64) + Hex("e8 07 | 03 00 | 0f 00 | 0a 00 | 1e 00 | 3b 00") +
         Hex("02 01 00 00 | 12 00 00 00 | 13 00 00 00 | 14 00 00 00 | 15 00 00 00 |"
             "16 00 00 00") +
         Chars("second", 64) + Hex("e9 07 | 0c 00 | 1f 00 | 17 00 | 3b 00 | 00 00");
}

TEST(ToolQueryImgInfoAck, OneImageTwoSnapshotsIs580Bytes) {
  Bytes in = ImageInfoReplyBytes();
  ASSERT_EQ(580u, in.size());
  uint32_t pos = 0;
  auto got = Decode<CPktToolQueryImgInfoAck>(in, false, &pos);
  ASSERT_TRUE(got);
  EXPECT_EQ(580u, pos);
  EXPECT_EQ(580u, got->Size());
  ASSERT_EQ(1u, got->m_Field.m_nCount);
  const CImgInfoEx* img = got->m_Field.GetAt(0);
  EXPECT_EQ(5u, img->ImageId);
  EXPECT_EQ(0x10u, img->Param2);
  EXPECT_EQ(0x20u, img->Param3);
  EXPECT_STREQ("base", img->Text1);
  EXPECT_EQ(0x40u, img->Param4);
  EXPECT_STREQ("C:\\img\\base.img", img->Text2);
  EXPECT_EQ(0x50u, img->Param5);
  EXPECT_EQ(0x60u, img->Param6);
  EXPECT_EQ(552u, img->Size());
  ASSERT_EQ(2u, img->Snapshots.m_nCount);
  const CImgSnapshotInfo* s0 = img->Snapshots.GetAt(0);
  const CImgSnapshotInfo* s1 = img->Snapshots.GetAt(1);
  EXPECT_EQ(0x101u, s0->SnapshotId);
  EXPECT_EQ(2u, s0->Param2);
  EXPECT_EQ(6u, s0->Param6);
  EXPECT_STREQ("first", s0->Text);
  EXPECT_EQ(2024, s0->TimeField(0));
  EXPECT_EQ(3, s0->TimeField(1));
  EXPECT_EQ(15, s0->TimeField(2));
  EXPECT_EQ(10, s0->TimeField(3));
  EXPECT_EQ(30, s0->TimeField(4));
  EXPECT_EQ(59, s0->TimeField(5));
  EXPECT_EQ(0x102u, s1->SnapshotId);
  EXPECT_EQ(0x16u, s1->Param6);
  EXPECT_STREQ("second", s1->Text);
  EXPECT_EQ(2025, s1->TimeField(0));
  EXPECT_EQ(23, s1->TimeField(3));
  EXPECT_EQ(nullptr, img->Snapshots.GetAt(2));
}

TEST(ToolQueryImgInfoAck, BuiltByHandEncodesTheSameBytes) {
  CPktToolQueryImgInfoAck p;
  ASSERT_EQ(0, p.m_Field.SetCount(1));
  CImgInfoEx* img = p.m_Field.GetAt(0);
  img->ImageId = 5;
  img->Param2 = 0x10;
  img->Param3 = 0x20;
  CopyField(img->Text1, "base");
  img->Param4 = 0x40;
  CopyField(img->Text2, "C:\\img\\base.img");
  img->Param5 = 0x50;
  img->Param6 = 0x60;
  ASSERT_EQ(0, img->Snapshots.SetCount(2));
  CImgSnapshotInfo* s0 = img->Snapshots.GetAt(0);
  s0->SnapshotId = 0x101;
  s0->Param2 = 2;
  s0->Param3 = 3;
  s0->Param4 = 4;
  s0->Param5 = 5;
  s0->Param6 = 6;
  CopyField(s0->Text, "first");
  const uint16_t t0[6] = {2024, 3, 15, 10, 30, 59};
  for (int i = 0; i < 6; ++i) s0->SetTimeField(i, t0[i]);
  CImgSnapshotInfo* s1 = img->Snapshots.GetAt(1);
  s1->SnapshotId = 0x102;
  s1->Param2 = 0x12;
  s1->Param3 = 0x13;
  s1->Param4 = 0x14;
  s1->Param5 = 0x15;
  s1->Param6 = 0x16;
  CopyField(s1->Text, "second");
  const uint16_t t1[6] = {2025, 12, 31, 23, 59, 0};
  for (int i = 0; i < 6; ++i) s1->SetTimeField(i, t1[i]);
  p.Length = p.Size();
  EXPECT_EQ(580u, p.Length);
  EXPECT_EQ(ImageInfoReplyBytes(), Encode(p));
}

TEST(ToolQueryImgInfoAck, TruncatedRepliesFail) {
  Bytes in = ImageInfoReplyBytes();
  for (size_t cut : {579u, 480u, 380u, 379u, 100u, 27u}) {
    EXPECT_FALSE(Decode<CPktToolQueryImgInfoAck>(Bytes(in.begin(), in.begin() + cut)))
        << "cut at " << cut;
  }
}

TEST(ImgSnapshotInfo, NetOrderSwapsNumbersButNotTheTime) {
  Bytes be = Hex("00 00 01 01 | 00 00 00 02 | 00 00 00 03 | 00 00 00 04 | 00 00 00 05 |"
                 "00 00 00 06") +
             Chars("first", 64) + Hex("e8 07 | 03 00 | 0f 00 | 0a 00 | 1e 00 | 3b 00");
  CPktReadStream r(be.data(), uint32_t(be.size()), true);
  CImgSnapshotInfo s;
  ASSERT_EQ(0, s.Unpack(r));
  EXPECT_EQ(100u, r.m_nPos);
  EXPECT_EQ(0x101u, s.SnapshotId);
  EXPECT_EQ(2u, s.Param2);
  EXPECT_EQ(6u, s.Param6);
  EXPECT_EQ(2024, s.TimeField(0));
  EXPECT_EQ(59, s.TimeField(5));
  EXPECT_EQ(be, EncodeRecord(s, true));
}

TEST(ToolDiscoverAck, CountZeroIsAValid28BytePacket) {
  Bytes in = Hex("00 00 00 00 | 00 00 02 80 | 1c 00 00 00") + kZero12 + Hex("00 00 00 00");
  uint32_t pos = 0;
  auto got = Decode<CPktToolDiscoverAck>(in, false, &pos);
  ASSERT_TRUE(got);
  EXPECT_EQ(28u, pos);
  EXPECT_EQ(0u, got->m_Field.m_nCount);
  EXPECT_EQ(nullptr, got->m_Field.GetAt(0));
  EXPECT_EQ(in, Encode(CPktToolDiscoverAck()));
}

TEST(ToolDiscoverAck, OneRecordInBothOrders) {
  Bytes le = Hex("00 00 00 00 | 00 00 02 80 | 20 00 00 00") + kZero12 +
             Hex("01 00 00 00 | 41 1f cd ab");
  Bytes be = Hex("00 00 00 00 | 80 02 00 00 | 00 00 00 20") + kZero12 +
             Hex("00 00 00 01 | ab cd 1f 41");
  for (bool net : {false, true}) {
    auto got = Decode<CPktToolDiscoverAck>(net ? be : le, net);
    ASSERT_TRUE(got);
    ASSERT_EQ(1u, got->m_Field.m_nCount);
    EXPECT_EQ(0xabcd1f41u, got->m_Field.GetAt(0)->TcpPort);
    EXPECT_EQ(8001, got->m_Field.GetAt(0)->TcpPort & 0xffff);
    EXPECT_EQ(net ? be : le, Encode(*got, net));
  }
}

TEST(ToolRequests, SetAdministratorIs36Bytes) {
  CPktToolSetAdmin p;
  ASSERT_EQ(0, p.m_Field.SetCount(1));
  p.m_Field.GetAt(0)->Param2 = 1;
  p.Length = p.Size();
  EXPECT_EQ(36u, p.Length);
  EXPECT_EQ(Hex("00 00 00 00 | 03 00 02 00 | 24 00 00 00") + kZero12 +
                Hex("01 00 00 00 | 00 00 00 00 | 01 00 00 00"),
            Encode(p));
  EXPECT_EQ(Hex("00 00 00 00 | 00 02 00 03 | 00 00 00 24") + kZero12 +
                Hex("00 00 00 01 | 00 00 00 00 | 00 00 00 01"),
            Encode(p, true));
}

TEST(ToolRequests, CancelAdministratorIs304Bytes) {
  CPktToolCancelAdmin p;
  ASSERT_EQ(0, p.m_Field.SetCount(1));
  CPCancelAdministratorBaseInfor* rec = p.m_Field.GetAt(0);
  rec->Param3 = 1;
  rec->Param4 = 0xff;
  CopyField(rec->Text, "client-07");
  p.Length = p.Size();
  EXPECT_EQ(304u, p.Length);
  Bytes expect = Hex("00 00 00 00 | 04 00 02 00 | 30 01 00 00") + kZero12 +
                 Hex("01 00 00 00 | 00 00 00 00 | 00 00 00 00 | 01 00 00 00 | ff 00 00 00") +
                 Chars("client-07", 260);
  EXPECT_EQ(expect, Encode(p));
  auto got = Decode<CPktToolCancelAdmin>(expect);
  ASSERT_TRUE(got);
  ASSERT_EQ(1u, got->m_Field.m_nCount);
  EXPECT_EQ(1u, got->m_Field.GetAt(0)->Param3);
  EXPECT_EQ(0xffu, got->m_Field.GetAt(0)->Param4);
  EXPECT_STREQ("client-07", got->m_Field.GetAt(0)->Text);
}

TEST(ToolRequests, CreateImageIs300Bytes) {
  CPktToolCreateImage p;
  ASSERT_EQ(0, p.m_Field.SetCount(1));
  CopyField(p.m_Field.GetAt(0)->Name, "newimg");
  p.m_Field.GetAt(0)->Param1 = 0x2000;
  p.Length = p.Size();
  EXPECT_EQ(300u, p.Length);
  EXPECT_EQ(Hex("00 00 00 00 | 09 00 02 00 | 2c 01 00 00") + kZero12 +
                Hex("01 00 00 00 | 00 00 00 00") + Chars("newimg", 260) +
                Hex("00 20 00 00 | 00 00 00 00"),
            Encode(p));
}

TEST(ToolRequests, HeadOnlyRequests) {
  EXPECT_EQ(Hex("00 00 00 00 | 00 00 02 00 | 18 00 00 00") + kZero12,
            Encode(CPktToolDiscover()));
  EXPECT_EQ(Hex("00 00 00 00 | 02 00 02 00 | 18 00 00 00") + kZero12,
            Encode(CPktToolQueryImgInfo()));
  EXPECT_EQ(Hex("00 00 00 00 | 06 00 02 00 | 18 00 00 00") + kZero12,
            Encode(CPktToolQueryImgList()));
  EXPECT_EQ(Hex("00 00 00 00 | 00 02 00 06 | 00 00 00 18") + kZero12,
            Encode(CPktToolQueryImgList(), true));
}

TEST(ToolReplies, HeadOnlyRepliesCarryTheResult) {
  Bytes in = Hex("00 00 00 00 | 09 00 02 80 | 18 00 00 00 | 00 00 00 00 | 0d 00 00 00 |"
                 "00 00 00 00");
  auto got = Decode<CSimplePacketHead<0x80020009>>(in);
  ASSERT_TRUE(got);
  EXPECT_EQ(0x80020009u, got->Type);
  EXPECT_EQ(13u, got->ErrCode);
}

// The snapshot arrays of a decoded image list share a few chunks, kept for
// the next decode once released: every record must still come out whole,
// whether its array fits a chunk, needs one of its own or is empty, and a
// cut message must fail without leaking what it took.
TEST(ToolQueryImgInfoAck, ManySnapshotArraysDecodeWhole) {
  CPktToolQueryImgInfoAck p;
  const uint32_t kImages = 60;
  ASSERT_EQ(0, p.m_Field.SetCount(kImages));
  for (uint32_t i = 0; i < kImages; ++i) {
    CImgInfoEx* img = p.m_Field.GetAt(i);
    img->ImageId = i + 1;
    const uint32_t snaps = i == 1 ? 0 : i == 2 ? 100 : 5 + i % 20;
    ASSERT_EQ(0, img->Snapshots.SetCount(snaps));
    for (uint32_t s = 0; s < snaps; ++s) {
      img->Snapshots.GetAt(s)->SnapshotId = i * 1000 + s;
      CopyField(img->Snapshots.GetAt(s)->Text, "snap");
    }
  }
  p.Length = p.Size();
  const Bytes wire = Encode(p);
  auto first = Decode<CPktToolQueryImgInfoAck>(wire);
  auto second = Decode<CPktToolQueryImgInfoAck>(wire);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(wire, Encode(*first));
  first.reset();
  auto third = Decode<CPktToolQueryImgInfoAck>(wire);  // on the chunks of the first
  ASSERT_TRUE(third);
  EXPECT_EQ(wire, Encode(*third));
  EXPECT_EQ(wire, Encode(*second));
  EXPECT_EQ(2099u, third->m_Field.GetAt(2)->Snapshots.GetAt(99)->SnapshotId);

  Bytes cut(wire.begin(), wire.end() - 100);
  EXPECT_FALSE(Decode<CPktToolQueryImgInfoAck>(cut));
}

}  // namespace
