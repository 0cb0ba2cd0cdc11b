// CreatePacket: head, code lookup, body decode, failure paths; the tool
// family's code map; round trips of every tool class; and a sweep over the
// template rows of every family.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <type_traits>
#include <vector>

#include "protocol/AllPackets.h"
#include "protocol/PacketFactory.h"
#include "tests/protocol/TestBytes.h"
#include "util/Text.h"

using namespace PacketZVDiskless;
using kdl::test::Bytes;
using kdl::util::CopyField;
using kdl::test::Chars;
using kdl::test::Hex;
using kdl::test::Zeros;

namespace {

struct Made {
  std::unique_ptr<CPacketHead> packet;
  uint32_t pos = 0;
};

Made Create(const Bytes& in, bool net = false) {
  CPktReadStream r(in.data(), uint32_t(in.size()), net);
  Made m;
  m.packet.reset(CreatePacket(r));
  m.pos = r.m_nPos;
  return m;
}

// A little-endian u32, for heads that the test assembles per code.
Bytes Le32(uint32_t v) {
  return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

TEST(Factory, HeadOnlyPacketKeepsAllSixWords) {
  Bytes in = Hex("a1 a2 a3 a4 | 00 00 02 00 | 18 00 00 00 | b1 b2 b3 b4 | 02 00 00 00 |"
                 "c1 c2 c3 c4");
  Made m = Create(in);
  ASSERT_TRUE(m.packet);
  EXPECT_NE(nullptr, dynamic_cast<CSimplePacketHead<0x00020000>*>(m.packet.get()));
  EXPECT_EQ(0xa4a3a2a1u, m.packet->Reserved0);
  EXPECT_EQ(0x00020000u, m.packet->Type);
  EXPECT_EQ(24u, m.packet->Length);
  EXPECT_EQ(0xb4b3b2b1u, m.packet->Reserved3);
  EXPECT_EQ(2u, m.packet->ErrCode);
  EXPECT_EQ(0xc4c3c2c1u, m.packet->Reserved5);
  EXPECT_EQ(24u, m.pos);
}

TEST(Factory, NetworkOrderHead) {
  Made m = Create(Hex("00 00 00 00 | 00 02 00 00 | 00 00 00 18") + Zeros(12), true);
  ASSERT_TRUE(m.packet);
  EXPECT_EQ(0x00020000u, m.packet->Type);
  EXPECT_EQ(24u, m.packet->Length);
}

TEST(Factory, FewerThan24BytesGiveNothing) {
  Bytes in = Hex("00 00 00 00 | 00 00 02 00 | 17 00 00 00") + Zeros(11);
  ASSERT_EQ(23u, in.size());
  EXPECT_FALSE(Create(in).packet);
  EXPECT_FALSE(Create(Bytes()).packet);
}

TEST(Factory, UnknownCodesGiveNothing) {
  for (uint32_t code : {0x00000011u, 0x00020007u, 0x00020008u, 0x0002000Au, 0x00020010u,
                        0x80020007u, 0x8002000Au, 0x80080003u, 0x00090001u, 0xffffffffu}) {
    Bytes in = Hex("00 00 00 00") + Le32(code) + Hex("18 00 00 00") + Zeros(12);
    EXPECT_FALSE(Create(in).packet) << std::hex << code;
  }
}

TEST(Factory, ShortBodyGivesNothingAndLeaksNothing) {
  // A select-image reply with 100 of its 257 body bytes.
  Bytes in = Hex("00 00 00 00 | 05 00 02 80 | 19 01 00 00") + Zeros(12) + Hex("01") +
             Zeros(99, 'x');
  ASSERT_EQ(124u, in.size());
  EXPECT_FALSE(Create(in).packet);

  // An image-info reply whose image announces a snapshot that is cut short:
  // the image array is allocated before the decode fails.
  Bytes info = Hex("00 00 00 00 | 02 00 02 80 | 00 00 00 00") + Zeros(12) +
               Hex("01 00 00 00") + Zeros(348) + Hex("01 00 00 00") + Zeros(99);
  EXPECT_FALSE(Create(info).packet);
}

TEST(Factory, SurplusBytesAreLeftUnread) {
  Bytes in = Hex("00 00 00 00 | 05 00 02 80 | 19 01 00 00") + Zeros(12) + Hex("01") +
             Chars("P", 256) + Hex("de ad be ef de ad be ef ff");
  ASSERT_EQ(290u, in.size());
  Made m = Create(in);
  ASSERT_TRUE(m.packet);
  EXPECT_EQ(281u, m.pos);
  EXPECT_EQ(281u, m.packet->Length);  // the head's word, not the received size
  auto* ack = dynamic_cast<CPktToolSelectImgAck*>(m.packet.get());
  ASSERT_NE(nullptr, ack);
  EXPECT_EQ(1, ack->bSucc);
  EXPECT_STREQ("P", ack->Path);

  // The same for a head-only packet.
  Made h = Create(Hex("00 00 00 00 | 03 00 02 80 | 18 00 00 00") + Zeros(12) + Hex("55 66"));
  ASSERT_TRUE(h.packet);
  EXPECT_EQ(24u, h.pos);
}

TEST(Factory, ImageListRequestIsBuiltAsImageInfoRequestKeepingItsType) {
  Made m = Create(Hex("00 00 00 00 | 06 00 02 00 | 18 00 00 00") + Zeros(12));
  ASSERT_TRUE(m.packet);
  EXPECT_NE(nullptr, dynamic_cast<CSimplePacketHead<0x00020002>*>(m.packet.get()));
  EXPECT_EQ(0x00020006u, m.packet->Type);
  uint8_t buf[24];
  CPktWriteStream w(buf, 24, false);
  ASSERT_EQ(0, m.packet->Pack(w));
  EXPECT_EQ(Hex("06 00 02 00"), Bytes(buf + 4, buf + 8));
}

// The minimal message of each tool code and the class it must yield.
template <class P>
void ExpectToolClass(uint32_t code, const Bytes& body) {
  Bytes in = Hex("00 00 00 00") + Le32(code) + Le32(uint32_t(24 + body.size())) + Zeros(12) +
             body;
  Made m = Create(in);
  ASSERT_TRUE(m.packet) << std::hex << code;
  EXPECT_NE(nullptr, dynamic_cast<P*>(m.packet.get())) << std::hex << code;
  EXPECT_EQ(code, m.packet->Type);
  EXPECT_EQ(in.size(), m.pos) << std::hex << code;
}

TEST(Factory, EveryToolCodeYieldsItsClass) {
  const Bytes none;
  const Bytes emptyArray = Hex("00 00 00 00");
  ExpectToolClass<CSimplePacketHead<0x00020000>>(0x00020000, none);
  ExpectToolClass<CPktToolLogin>(0x00020001, Zeros(32));
  ExpectToolClass<CSimplePacketHead<0x00020002>>(0x00020002, none);
  ExpectToolClass<CPktToolSetAdmin>(0x00020003, emptyArray);
  ExpectToolClass<CPktToolCancelAdmin>(0x00020004, emptyArray);
  ExpectToolClass<CPktToolSelectImg>(0x00020005, Zeros(8));
  ExpectToolClass<CSimplePacketHead<0x00020002>>(0x00020006, none);
  ExpectToolClass<CPktToolCreateImage>(0x00020009, emptyArray);
  ExpectToolClass<CPktToolDiscoverAck>(0x80020000, emptyArray);
  ExpectToolClass<CPktToolLoginAck>(0x80020001, Zeros(12));
  ExpectToolClass<CPktToolQueryImgInfoAck>(0x80020002, emptyArray);
  ExpectToolClass<CSimplePacketHead<0x80020003>>(0x80020003, none);
  ExpectToolClass<CSimplePacketHead<0x80020004>>(0x80020004, none);
  ExpectToolClass<CPktToolSelectImgAck>(0x80020005, Zeros(257));
  ExpectToolClass<CPktToolQueryImgInfoListAck>(0x80020006, Zeros(12));
  ExpectToolClass<CSimplePacketHead<0x80020009>>(0x80020009, none);
}

TEST(Factory, ToolTableHasExactlyTheSixteenCodes) {
  std::vector<uint32_t> codes;
#define KPKT_COLLECT(code, KIND, arg, TAIL) codes.push_back(code);
  KELVANE_TOOL_PACKETS(KPKT_COLLECT)
#undef KPKT_COLLECT
  const std::vector<uint32_t> expect = {
      0x00020000, 0x00020001, 0x00020002, 0x00020003, 0x00020004, 0x00020005,
      0x00020006, 0x00020009, 0x80020000, 0x80020001, 0x80020002, 0x80020003,
      0x80020004, 0x80020005, 0x80020006, 0x80020009};
  EXPECT_EQ(expect, codes);
}

// Packs `p` as the send path does and builds it back through the factory.
template <class P>
std::unique_ptr<P> RoundTrip(P& p) {
  p.Length = p.Size();
  CPktWriteStream w = kdl::test::OwningWriter(p.Size());
  EXPECT_EQ(0, p.Pack(w));
  EXPECT_EQ(p.Size(), w.m_nPos);
  CPktReadStream r(w.m_pData, w.m_nPos, false);
  std::unique_ptr<CPacketHead> got(CreatePacket(r));
  EXPECT_EQ(w.m_nPos, r.m_nPos);
  P* typed = dynamic_cast<P*>(got.get());
  if (!typed) {
    ADD_FAILURE() << "wrong or no class for type " << std::hex << p.Type;
    return nullptr;
  }
  got.release();
  EXPECT_EQ(p.Type, typed->Type);
  EXPECT_EQ(p.Length, typed->Length);
  EXPECT_EQ(p.ErrCode, typed->ErrCode);
  EXPECT_EQ(p.Reserved0, typed->Reserved0);
  EXPECT_EQ(p.Reserved3, typed->Reserved3);
  EXPECT_EQ(p.Reserved5, typed->Reserved5);
  return std::unique_ptr<P>(typed);
}

TEST(FactoryRoundTrip, HeadOnlyPackets) {
  CPktToolDiscover d;
  d.Reserved0 = 1;
  d.Reserved3 = 3;
  d.Reserved5 = 5;
  ASSERT_TRUE(RoundTrip(d));
  CPktToolQueryImgInfo q;
  ASSERT_TRUE(RoundTrip(q));
  CSimplePacketHead<0x80020004> a;
  a.ErrCode = 0x11;
  ASSERT_TRUE(RoundTrip(a));
}

TEST(FactoryRoundTrip, Login) {
  CPktToolLogin p;
  CopyField(p.ToolName, "ImageTool/2");
  auto got = RoundTrip(p);
  ASSERT_TRUE(got);
  EXPECT_EQ(0, std::memcmp(p.ToolName, got->ToolName, 32));
}

TEST(FactoryRoundTrip, LoginAck) {
  CPktToolLoginAck p;
  p.ErrCode = 4;
  p.ClientType = 0x01020304;
  p.ManagerEnable = 1;
  p.ExtInfo = 0xfffffff0;
  auto got = RoundTrip(p);
  ASSERT_TRUE(got);
  EXPECT_EQ(0x01020304u, got->ClientType);
  EXPECT_EQ(1u, got->ManagerEnable);
  EXPECT_EQ(0xfffffff0u, got->ExtInfo);
}

TEST(FactoryRoundTrip, SelectImgAndAck) {
  CPktToolSelectImg p;
  p.Param = 0xa;
  p.ImageId = 0xb0b0;
  auto got = RoundTrip(p);
  ASSERT_TRUE(got);
  EXPECT_EQ(0xau, got->Param);
  EXPECT_EQ(0xb0b0u, got->ImageId);

  CPktToolSelectImgAck a;
  a.bSucc = 0x80;
  std::memset(a.Path, 'r', sizeof a.Path);
  auto gotAck = RoundTrip(a);
  ASSERT_TRUE(gotAck);
  EXPECT_EQ(0x80, gotAck->bSucc);
  EXPECT_EQ(0, std::memcmp(a.Path, gotAck->Path, 256));
}

TEST(FactoryRoundTrip, ImageList) {
  CPktToolQueryImgInfoListAck p;
  p.ServerIP = 0x0a000001;
  p.ServerPort = 6000;
  ASSERT_EQ(0, p.Images.SetCount(2));
  for (uint32_t i = 0; i < 2; ++i) {
    CPImageBaseInfor* img = p.Images.GetAt(i);
    img->ImageId = 100 + i;
    CopyField(img->Name, i ? "second" : "first");
    img->Param1 = 10 * i + 1;
    img->Param2 = 10 * i + 2;
  }
  auto got = RoundTrip(p);
  ASSERT_TRUE(got);
  EXPECT_EQ(36u + 2 * 272, got->Length);
  EXPECT_EQ(0x0a000001u, got->ServerIP);
  EXPECT_EQ(6000u, got->ServerPort);
  ASSERT_EQ(2u, got->Images.m_nCount);
  for (uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(100 + i, got->Images.GetAt(i)->ImageId);
    EXPECT_EQ(0, std::memcmp(p.Images.GetAt(i)->Name, got->Images.GetAt(i)->Name, 260));
    EXPECT_EQ(10 * i + 1, got->Images.GetAt(i)->Param1);
    EXPECT_EQ(10 * i + 2, got->Images.GetAt(i)->Param2);
  }
}

TEST(FactoryRoundTrip, ImageInfoWithSnapshots) {
  CPktToolQueryImgInfoAck p;
  ASSERT_EQ(0, p.m_Field.SetCount(2));
  for (uint32_t i = 0; i < 2; ++i) {
    CImgInfoEx* img = p.m_Field.GetAt(i);
    img->ImageId = i + 1;
    img->Param2 = 2;
    img->Param3 = 3;
    CopyField(img->Text1, "t1");
    img->Param4 = 4;
    CopyField(img->Text2, "t2");
    img->Param5 = 5;
    img->Param6 = 6;
    ASSERT_EQ(0, img->Snapshots.SetCount(i + 1));
    for (uint32_t s = 0; s <= i; ++s) {
      CImgSnapshotInfo* snap = img->Snapshots.GetAt(s);
      snap->SnapshotId = 1000 * (i + 1) + s;
      snap->Param2 = 2;
      snap->Param3 = 3;
      snap->Param4 = 4;
      snap->Param5 = 5;
      snap->Param6 = 6;
      CopyField(snap->Text, "snap");
      for (int t = 0; t < 6; ++t) snap->SetTimeField(t, uint16_t(2000 + t + s));
    }
  }
  auto got = RoundTrip(p);
  ASSERT_TRUE(got);
  EXPECT_EQ(28u + 2 * 352 + 3 * 100, got->Length);
  ASSERT_EQ(2u, got->m_Field.m_nCount);
  for (uint32_t i = 0; i < 2; ++i) {
    const CImgInfoEx* a = p.m_Field.GetAt(i);
    const CImgInfoEx* b = got->m_Field.GetAt(i);
    EXPECT_EQ(a->ImageId, b->ImageId);
    EXPECT_EQ(a->Param2, b->Param2);
    EXPECT_EQ(a->Param3, b->Param3);
    EXPECT_EQ(0, std::memcmp(a->Text1, b->Text1, 64));
    EXPECT_EQ(a->Param4, b->Param4);
    EXPECT_EQ(0, std::memcmp(a->Text2, b->Text2, 260));
    EXPECT_EQ(a->Param5, b->Param5);
    EXPECT_EQ(a->Param6, b->Param6);
    ASSERT_EQ(i + 1, b->Snapshots.m_nCount);
    for (uint32_t s = 0; s <= i; ++s) {
      const CImgSnapshotInfo* x = a->Snapshots.GetAt(s);
      const CImgSnapshotInfo* y = b->Snapshots.GetAt(s);
      EXPECT_EQ(x->SnapshotId, y->SnapshotId);
      EXPECT_EQ(x->Param2, y->Param2);
      EXPECT_EQ(x->Param3, y->Param3);
      EXPECT_EQ(x->Param4, y->Param4);
      EXPECT_EQ(x->Param5, y->Param5);
      EXPECT_EQ(x->Param6, y->Param6);
      EXPECT_EQ(0, std::memcmp(x->Text, y->Text, 64));
      EXPECT_EQ(0, std::memcmp(x->Time, y->Time, 12));
    }
  }
}

TEST(FactoryRoundTrip, RecordArrayRequestsAndDiscoverReply) {
  CPktToolSetAdmin s;
  ASSERT_EQ(0, s.m_Field.SetCount(1));
  s.m_Field.GetAt(0)->Param1 = 9;
  s.m_Field.GetAt(0)->Param2 = 1;
  auto gs = RoundTrip(s);
  ASSERT_TRUE(gs);
  ASSERT_EQ(1u, gs->m_Field.m_nCount);
  EXPECT_EQ(9u, gs->m_Field.GetAt(0)->Param1);
  EXPECT_EQ(1u, gs->m_Field.GetAt(0)->Param2);

  CPktToolCancelAdmin c;
  ASSERT_EQ(0, c.m_Field.SetCount(1));
  CPCancelAdministratorBaseInfor* cr = c.m_Field.GetAt(0);
  cr->Param1 = 1;
  cr->Param2 = 2;
  cr->Param3 = 3;
  cr->Param4 = 4;
  CopyField(cr->Text, "pc-12");
  auto gc = RoundTrip(c);
  ASSERT_TRUE(gc);
  ASSERT_EQ(1u, gc->m_Field.m_nCount);
  EXPECT_EQ(1u, gc->m_Field.GetAt(0)->Param1);
  EXPECT_EQ(2u, gc->m_Field.GetAt(0)->Param2);
  EXPECT_EQ(3u, gc->m_Field.GetAt(0)->Param3);
  EXPECT_EQ(4u, gc->m_Field.GetAt(0)->Param4);
  EXPECT_EQ(0, std::memcmp(cr->Text, gc->m_Field.GetAt(0)->Text, 260));

  CPktToolCreateImage n;
  ASSERT_EQ(0, n.m_Field.SetCount(1));
  n.m_Field.GetAt(0)->ImageId = 0;
  CopyField(n.m_Field.GetAt(0)->Name, "img");
  n.m_Field.GetAt(0)->Param1 = 64;
  n.m_Field.GetAt(0)->Param2 = 7;
  auto gn = RoundTrip(n);
  ASSERT_TRUE(gn);
  ASSERT_EQ(1u, gn->m_Field.m_nCount);
  EXPECT_STREQ("img", gn->m_Field.GetAt(0)->Name);
  EXPECT_EQ(64u, gn->m_Field.GetAt(0)->Param1);
  EXPECT_EQ(7u, gn->m_Field.GetAt(0)->Param2);

  CPktToolDiscoverAck d;
  ASSERT_EQ(0, d.m_Field.SetCount(3));
  for (uint32_t i = 0; i < 3; ++i) d.m_Field.GetAt(i)->TcpPort = 7000 + i;
  auto gd = RoundTrip(d);
  ASSERT_TRUE(gd);
  ASSERT_EQ(3u, gd->m_Field.m_nCount);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(7000 + i, gd->m_Field.GetAt(i)->TcpPort);
}

// The record type a template row carries (void for head-only rows).
template <class P>
struct RowItem {
  using type = void;
};
template <class F, uint32_t C>
struct RowItem<CSimpleVLFPacketHead<F, C>> {
  using type = typename F::ItemType;
};
template <uint32_t C, class R>
struct RowItem<CPktSimpleExcpPacket<C, R>> {
  using type = R;
};
template <uint32_t C, class I>
struct RowItem<CPktSimpleExcpPacket<C, TVarLengthField<I>>> {
  using type = I;
};

template <class T, class = void>
struct HasWireSize : std::false_type {};
template <class T>
struct HasWireSize<T, std::void_t<decltype(T::kWireSize)>> : std::true_type {};

// A template row: a message of its code with an empty body (a count of 0, or
// a zero record) decodes into the row's class; a record that declares a fixed
// wire size really encodes to that size.
template <class P>
void CheckTemplateRow(uint32_t code) {
  CPacketHead head;
  head.Type = code;
  uint32_t size = P(head).Size();
  Bytes in = Hex("00 00 00 00") + Le32(code) + Le32(size) + Zeros(12) + Zeros(size - 24);
  Made m = Create(in);
  ASSERT_TRUE(m.packet) << std::hex << code;
  EXPECT_NE(nullptr, dynamic_cast<P*>(m.packet.get())) << std::hex << code;
  EXPECT_EQ(code, m.packet->Type);
  EXPECT_EQ(size, m.pos) << std::hex << code;

  using Item = typename RowItem<P>::type;
  if constexpr (!std::is_void_v<Item>) {
    if constexpr (HasWireSize<Item>::value) {
      EXPECT_EQ(Item::kWireSize, Item().Size()) << "record of type " << std::hex << code;
    }
  }
}

TEST(FactoryTable, EveryTemplateRowOfEveryFamilyDecodesIntoItsClass) {
  std::set<uint32_t> codes;
#define KPKT_CHECK_ROW(code, KIND, arg, TAIL) \
  codes.insert(code);                         \
  KPKT_CHECK_##KIND(code, arg)
#define KPKT_CHECK_HEAD(code, arg) CheckTemplateRow<KPKT_TYPE_HEAD(code, arg)>(code);
#define KPKT_CHECK_HEAD_AS(code, arg) CheckTemplateRow<KPKT_TYPE_HEAD_AS(code, arg)>(code);
#define KPKT_CHECK_VLF(code, arg) CheckTemplateRow<KPKT_TYPE_VLF(code, arg)>(code);
#define KPKT_CHECK_EXCP_REC(code, arg) CheckTemplateRow<KPKT_TYPE_EXCP_REC(code, arg)>(code);
#define KPKT_CHECK_EXCP_VLF(code, arg) CheckTemplateRow<KPKT_TYPE_EXCP_VLF(code, arg)>(code);
#define KPKT_CHECK_OWN(code, arg)  // named classes are tested with their family
  KELVANE_ALL_PACKETS(KPKT_CHECK_ROW)
#undef KPKT_CHECK_ROW
  // A code listed twice would not compile in the factory's switch.
  EXPECT_LE(codes.size(), 197u);
  EXPECT_GE(codes.size(), 16u);
}

}  // namespace
