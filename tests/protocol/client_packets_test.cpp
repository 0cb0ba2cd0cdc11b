// Client family: wire layouts against hand-written bytes, the disk-I/O
// packets whose data stays in the stream, and the family's code table.
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

const uint8_t kMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

// Builds the packet the factory makes of `b`; null when it makes none.
template <class T>
std::unique_ptr<T> DecodeAs(const Bytes& b, bool netOrder = false) {
  CPktReadStream r(b.data(), static_cast<uint32_t>(b.size()), netOrder);
  std::unique_ptr<CPacketHead> p(CreatePacket(r));
  T* t = dynamic_cast<T*>(p.get());
  if (t) p.release();
  return std::unique_ptr<T>(t);
}

// Packs into a buffer of exactly Size() bytes pre-filled with a marker, and
// returns what Pack wrote; a failed Pack yields a single 0xEE byte.
Bytes Encode(const CPacketHead& p, bool netOrder = false) {
  Bytes out(p.Size(), 0xEE);
  CPktWriteStream w(out.data(), static_cast<uint32_t>(out.size()), netOrder);
  if (p.Pack(w)) return Bytes{0xEE};
  out.resize(w.m_nPos);
  return out;
}

#define EXPECT_BYTES(expected, actual) \
  EXPECT_EQ(ToHex(expected), ToHex(actual))

TEST(ClientPackets, KeepAliveIsTheBareHead) {
  const Bytes wire = Hex("00000000 01000000 18000000 00000000 00000000 00000000");
  CSimplePacketHead<0x00000001> ka;
  EXPECT_EQ(24u, ka.Size());
  EXPECT_BYTES(wire, Encode(ka));
  auto p = DecodeAs<CSimplePacketHead<0x00000001>>(wire);
  ASSERT_TRUE(p);
  EXPECT_EQ(1u, p->Type);
  EXPECT_EQ(24u, p->Length);
}

TEST(ClientPackets, DiscoverInBothByteOrders) {
  const Bytes le = Hex("00000000 02000000 26000000 00000000 00000000 00000000"
                       "00 11 22 33 44 55 | 0D 0C 0B 0A | 04 03 02 01");
  const Bytes be = Hex("00000000 00000002 00000026 00000000 00000000 00000000"
                       "00 11 22 33 44 55 | 0A 0B 0C 0D | 01 02 03 04");
  for (bool net : {false, true}) {
    const Bytes& wire = net ? be : le;
    auto p = DecodeAs<CPktClientDiscover>(wire, net);
    ASSERT_TRUE(p) << "netOrder " << net;
    EXPECT_EQ(0, std::memcmp(kMac, p->MacAddress, 6));
    EXPECT_EQ(0x0A0B0C0Du, p->Param1);
    EXPECT_EQ(0x01020304u, p->Param2);

    CPktClientDiscover out;
    std::memcpy(out.MacAddress, kMac, 6);
    out.Param1 = 0x0A0B0C0D;
    out.Param2 = 0x01020304;
    EXPECT_EQ(38u, out.Length);
    EXPECT_BYTES(wire, Encode(out, net));
  }
  // One byte short of Param2.
  EXPECT_FALSE(DecodeAs<CPacketHead>(Bytes(le.begin(), le.end() - 1)));
}

TEST(ClientPackets, VdiskDiscoverSharesTheDiscoverLayout) {
  const Bytes wire = Hex("00000000 18000000 26000000 00000000 00000000 00000000"
                         "00 11 22 33 44 55 | 01 00 00 00 | 02 00 00 00");
  auto p = DecodeAs<CPktVdiskPacketDiscover>(wire);
  ASSERT_TRUE(p);
  EXPECT_EQ(0x18u, p->Type);
  EXPECT_EQ(0, std::memcmp(kMac, p->MacAddress, 6));
  EXPECT_EQ(1u, p->Param1);
  EXPECT_EQ(2u, p->Param2);
  CPktVdiskPacketDiscover out;
  std::memcpy(out.MacAddress, kMac, 6);
  out.Param1 = 1;
  out.Param2 = 2;
  EXPECT_BYTES(wire, Encode(out));
}

TEST(ClientPackets, DiscoverAckWithOneItem) {
  const Bytes wire =
      Hex("00000000 02000080 A4000000 00000000 00000000 00000000"
          "01000000") +
      Chars("pc01", 64) +
      Hex("00 11 22 33 44 55"
          "21000000 22000000 23000000 24000000 25000000 26000000 27000000"
          "01 0A 02 0A 03 0A 04 0A"
          "02000000 03000000 04000000"
          "01000000"
          "44 43 42 41 | 52 51 | 62 61 | 66 77 88 99 AA BB");
  ASSERT_EQ(164u, wire.size());
  auto p = DecodeAs<CPktClientDiscoverAck>(wire);
  ASSERT_TRUE(p);
  EXPECT_EQ(1u, p->Param1);
  EXPECT_STREQ("pc01", p->Client.Text);
  EXPECT_EQ(0, std::memcmp(kMac, p->Client.MacAddress, 6));
  EXPECT_EQ(0x21u, p->Client.Param1);
  EXPECT_EQ(0x24u, p->Client.Param4);
  EXPECT_EQ(0x27u, p->Client.Param7);
  EXPECT_EQ(0x0A01u, p->Client.Value1);
  EXPECT_EQ(0x0A04u, p->Client.Value4);
  EXPECT_EQ(2u, p->Param2);
  EXPECT_EQ(3u, p->Param3);
  EXPECT_EQ(4u, p->Param4);
  ASSERT_EQ(1u, p->Items.m_nCount);
  const CClientDiscoverItem* it = p->Items.GetAt(0);
  EXPECT_EQ(0x41424344u, it->Param1);
  EXPECT_EQ(0x5152u, it->Param2);
  EXPECT_EQ(0x6162u, it->Param3);
  const uint8_t mac2[6] = {0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB};
  EXPECT_EQ(0, std::memcmp(mac2, it->MacAddress, 6));

  CPktClientDiscoverAck out;
  EXPECT_EQ(150u, out.Size());
  out.Param1 = 1;
  CopyField(out.Client.Text, "pc01");
  std::memcpy(out.Client.MacAddress, kMac, 6);
  out.Client.Param1 = 0x21; out.Client.Param2 = 0x22; out.Client.Param3 = 0x23;
  out.Client.Param4 = 0x24; out.Client.Param5 = 0x25; out.Client.Param6 = 0x26;
  out.Client.Param7 = 0x27;
  out.Client.Value1 = 0x0A01; out.Client.Value2 = 0x0A02;
  out.Client.Value3 = 0x0A03; out.Client.Value4 = 0x0A04;
  out.Param2 = 2; out.Param3 = 3; out.Param4 = 4;
  ASSERT_EQ(0, out.Items.SetCount(1));
  CClientDiscoverItem* o = out.Items.GetAt(0);
  o->Param1 = 0x41424344; o->Param2 = 0x5152; o->Param3 = 0x6162;
  std::memcpy(o->MacAddress, mac2, 6);
  out.Length = out.Size();
  EXPECT_BYTES(wire, Encode(out));
}

TEST(ClientPackets, SetAssocLayoutCarriesACountedBuffer) {
  const Bytes wire = Hex("00000000 03000000 25000000 00000000 00000000 00000000"
                         "00 11 22 33 44 55 | 03000000 | 61 62 63");
  auto p = DecodeAs<CPktClientSetAssoc>(wire);
  ASSERT_TRUE(p);
  EXPECT_EQ(0, std::memcmp(kMac, p->MacAddress, 6));
  ASSERT_EQ(3u, p->Data.m_nLen);
  EXPECT_EQ(0, std::memcmp("abc", p->Data.m_pBuf, 3));

  CPktClientSetAssoc out;
  EXPECT_EQ(34u, out.Size());
  std::memcpy(out.MacAddress, kMac, 6);
  ASSERT_EQ(0, out.Data.Assign("abc", 3));
  out.Length = out.Size();
  EXPECT_BYTES(wire, Encode(out));

  // The two replies of the same layout are built under their own codes.
  Bytes reg = wire, err = wire;
  reg[4] = 0x09; reg[7] = 0x80;
  err[4] = 0x0D; err[7] = 0x80;
  auto r = DecodeAs<CPktClientRegAddrAck>(reg);
  auto e = DecodeAs<CPktAskErrorClientInforAck>(err);
  ASSERT_TRUE(r);
  ASSERT_TRUE(e);
  EXPECT_EQ(0x80000009u, r->Type);
  EXPECT_EQ(3u, r->Data.m_nLen);
  EXPECT_EQ(0x8000000Du, e->Type);
  EXPECT_EQ(3u, e->Data.m_nLen);
}

TEST(ClientPackets, SetAssocCountBeyondTheMessageFailsBeforeAllocating) {
  const Bytes wire = Hex("00000000 03000000 24000000 00000000 00000000 00000000"
                         "00 11 22 33 44 55 | F0 FF FF 7F | 61 62");
  EXPECT_FALSE(DecodeAs<CPacketHead>(wire));

  CPktReadStream r(wire.data(), static_cast<uint32_t>(wire.size()), false);
  CPacketHead head;
  ASSERT_EQ(0, head.UnpackHead(r));
  CPktClientSetAssoc p(head);
  EXPECT_NE(0, p.Unpack(r));
  EXPECT_EQ(nullptr, p.Data.m_pBuf);
}

TEST(ClientPackets, LoginHasThreeNumbers) {
  const Bytes wire = Hex("00000000 04000000 24000000 00000000 00000000 00000000"
                         "01000000 02000000 03000000");
  auto p = DecodeAs<CPktClientLogin>(wire);
  ASSERT_TRUE(p);
  EXPECT_EQ(1u, p->Param1);
  EXPECT_EQ(2u, p->Param2);
  EXPECT_EQ(3u, p->Param3);
  CPktClientLogin out;
  out.Param1 = 1; out.Param2 = 2; out.Param3 = 3;
  EXPECT_BYTES(wire, Encode(out));
}

TEST(ClientPackets, LoginAckHasAByteAtOffset32) {
  const Bytes le = Hex("00000000 04000080 29000000 00000000 05000000 00000000"
                       "44 33 22 11 | 88 77 66 55 | A5 | 04 03 02 01 | BE BA FE CA");
  const Bytes be = Hex("00000000 80000004 00000029 00000000 00000005 00000000"
                       "11 22 33 44 | 55 66 77 88 | A5 | 01 02 03 04 | CA FE BA BE");
  ASSERT_EQ(41u, le.size());
  EXPECT_EQ(0xA5, le[32]);
  for (bool net : {false, true}) {
    const Bytes& wire = net ? be : le;
    auto p = DecodeAs<CPktClientLoginAck>(wire, net);
    ASSERT_TRUE(p) << "netOrder " << net;
    EXPECT_EQ(5u, p->ErrCode);
    EXPECT_EQ(0x11223344u, p->Param1);
    EXPECT_EQ(0x55667788u, p->Param2);
    EXPECT_EQ(0xA5u, p->Flag);
    EXPECT_EQ(0x01020304u, p->Param3);
    EXPECT_EQ(0xCAFEBABEu, p->Param4);

    CPktClientLoginAck out;
    EXPECT_EQ(41u, out.Length);
    out.ErrCode = 5;
    out.Param1 = 0x11223344; out.Param2 = 0x55667788; out.Flag = 0xA5;
    out.Param3 = 0x01020304; out.Param4 = 0xCAFEBABE;
    EXPECT_BYTES(wire, Encode(out, net));
    // 40 bytes: the last number is one byte short.
    EXPECT_FALSE(DecodeAs<CPacketHead>(Bytes(wire.begin(), wire.end() - 1), net));
  }
}

TEST(ClientPackets, ReadRequestAndWriteReplyShareTheFixedDiskLayout) {
  const Bytes le = Hex("00000000 05000000 26000000 00000000 00000000 00000000"
                       "01 00 00 10 | 00 02 | 07 00 00 00 | 00 10 00 00");
  const Bytes be = Hex("00000000 00000005 00000026 00000000 00000000 00000000"
                       "10 00 00 01 | 02 00 | 00 00 00 07 | 00 00 10 00");
  for (bool net : {false, true}) {
    const Bytes& wire = net ? be : le;
    auto p = DecodeAs<CPktReadDiskIO>(wire, net);
    ASSERT_TRUE(p);
    EXPECT_EQ(0x10000001u, p->Param1);
    EXPECT_EQ(0x0200u, p->Param2);
    EXPECT_EQ(7u, p->Param3);
    EXPECT_EQ(0x1000u, p->Param4);
    CPktReadDiskIO out;
    out.Param1 = 0x10000001; out.Param2 = 0x0200; out.Param3 = 7; out.Param4 = 0x1000;
    EXPECT_BYTES(wire, Encode(out, net));
  }
  Bytes ack = le;
  ack[7] = 0x80;
  ack[4] = 0x06;
  auto a = DecodeAs<CPktWriteDiskIOAck>(ack);
  ASSERT_TRUE(a);
  EXPECT_EQ(0x80000006u, a->Type);
  EXPECT_EQ(0x0200u, a->Param2);
}

// The fixed part of the read reply used below: Param1..Param4.
const char kDiskFixedHex[] = "01 00 00 10 | 00 02 | 07 00 00 00 | 00 10 00 00";

TEST(ClientPackets, ReadAckLeavesItsDataInTheStream) {
  Bytes data(512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  const Bytes wire = Hex("00000000 05000080 26020000 00000000 00000000 00000000") +
                     Hex(kDiskFixedHex) + data;
  ASSERT_EQ(550u, wire.size());

  CPktReadStream r(wire.data(), static_cast<uint32_t>(wire.size()), false);
  std::unique_ptr<CPacketHead> base(CreatePacket(r));
  auto* p = dynamic_cast<CPktReadDiskIOAck*>(base.get());
  ASSERT_TRUE(p);
  EXPECT_EQ(0x10000001u, p->Param1);
  EXPECT_EQ(0x0200u, p->Param2);
  EXPECT_EQ(7u, p->Param3);
  EXPECT_EQ(0x1000u, p->Param4);
  EXPECT_EQ(512u, p->DataLength);
  EXPECT_EQ(&r, p->Reader);
  EXPECT_EQ(38u, r.m_nPos);  // the data is neither copied nor consumed
  ASSERT_GE(r.Remaining(), p->DataLength);
  EXPECT_EQ(0, std::memcmp(data.data(), p->Reader->Current(), 512));
  EXPECT_EQ(550u, p->Size());

  // Sending: the fixed part, then the bytes behind Data.
  CPktReadDiskIOAck out;
  EXPECT_EQ(nullptr, out.Reader);
  EXPECT_EQ(38u, out.Size());
  out.Param1 = 0x10000001; out.Param2 = 0x0200; out.Param3 = 7; out.Param4 = 0x1000;
  out.Data = data.data();
  out.DataLength = 512;
  out.Length = out.Size();
  EXPECT_BYTES(wire, Encode(out));

  // Data missing while DataLength says there is some: nothing sensible to send.
  out.Data = nullptr;
  Bytes buf(550);
  CPktWriteStream w(buf.data(), 550, false);
  EXPECT_NE(0, out.Pack(w));
}

TEST(ClientPackets, ReadAckOfExactlyTheFixedPartHasNoData) {
  const Bytes wire = Hex("00000000 05000080 26000000 00000000 00000000 00000000") +
                     Hex(kDiskFixedHex);
  CPktReadStream r(wire.data(), static_cast<uint32_t>(wire.size()), false);
  std::unique_ptr<CPacketHead> base(CreatePacket(r));
  auto* p = dynamic_cast<CPktReadDiskIOAck*>(base.get());
  ASSERT_TRUE(p);
  EXPECT_EQ(0u, p->DataLength);
  EXPECT_EQ(&r, p->Reader);
  EXPECT_EQ(38u, r.m_nPos);
  EXPECT_BYTES(wire, Encode(*p));
}

TEST(ClientPackets, DiskDataLengthMustFitTheMessage) {
  // Length 30 is shorter than the fixed part: DataLength would wrap around.
  const Bytes shortLen = Hex("00000000 05000080 1E000000 00000000 00000000 00000000") +
                         Hex(kDiskFixedHex);
  EXPECT_FALSE(DecodeAs<CPacketHead>(shortLen));
  // Length 42 promises four data bytes the message does not have.
  const Bytes longLen = Hex("00000000 06000000 2A000000 00000000 00000000 00000000") +
                        Hex(kDiskFixedHex) + Hex("AA BB");
  EXPECT_FALSE(DecodeAs<CPacketHead>(longLen));
  // Fixed part cut short.
  const Bytes cut = Hex("00000000 05000080 26000000 00000000 00000000 00000000"
                        "01 00 00 10 | 00 02 | 07 00 00 00 | 00 10 00");
  EXPECT_FALSE(DecodeAs<CPacketHead>(cut));
}

TEST(ClientPackets, WriteRequestCountsItsDataButPacksOnlyTheFixedPart) {
  CPktWriteDiskIO out;
  EXPECT_EQ(38u, out.Length);
  out.Param1 = 0x10000001; out.Param2 = 0x0200; out.Param3 = 7; out.Param4 = 0x1000;
  out.DataLength = 512;
  EXPECT_EQ(550u, out.Size());
  out.Length = out.Size();
  Bytes buf(550, 0xEE);
  CPktWriteStream w(buf.data(), 550, false);
  ASSERT_EQ(0, out.Pack(w));
  EXPECT_EQ(38u, w.m_nPos);
  const Bytes fixed = Hex("00000000 06000000 26020000 00000000 00000000 00000000") +
                      Hex(kDiskFixedHex);
  EXPECT_BYTES(fixed, Bytes(buf.begin(), buf.begin() + 38));
  EXPECT_EQ(0xEE, buf[38]);

  // Received with four data bytes after the fixed part.
  const Bytes wire = Hex("00000000 06000000 2A000000 00000000 00000000 00000000") +
                     Hex(kDiskFixedHex) + Hex("DE AD BE EF");
  CPktReadStream r(wire.data(), static_cast<uint32_t>(wire.size()), false);
  std::unique_ptr<CPacketHead> base(CreatePacket(r));
  auto* p = dynamic_cast<CPktWriteDiskIO*>(base.get());
  ASSERT_TRUE(p);
  EXPECT_EQ(4u, p->DataLength);
  EXPECT_EQ(&r, p->Reader);
  EXPECT_EQ(0, std::memcmp("\xDE\xAD\xBE\xEF", r.Current(), 4));
}

TEST(ClientPackets, WriteBitmapNeedsItsBitmap) {
  const Bytes fixed = Hex("00000000 0C000000 36000000 00000000 00000000 00000000") +
                      Hex(kDiskFixedHex) +
                      Hex("F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF");
  ASSERT_EQ(54u, fixed.size());
  {
    CPktReadStream r(fixed.data(), 54, false);
    std::unique_ptr<CPacketHead> base(CreatePacket(r));
    auto* p = dynamic_cast<CPktWriteBitmapDiskIO*>(base.get());
    ASSERT_TRUE(p);
    EXPECT_EQ(0u, p->DataLength);
    EXPECT_EQ(&r, p->Reader);
    EXPECT_EQ(54u, r.m_nPos);
    EXPECT_EQ(0xF0, p->Bitmap[0]);
    EXPECT_EQ(0xFF, p->Bitmap[15]);
    EXPECT_EQ(7u, p->Param3);
  }
  Bytes cut(fixed.begin(), fixed.end() - 1);
  cut[8] = 0x35;  // Length 53 as well
  EXPECT_FALSE(DecodeAs<CPacketHead>(cut));

  // With three data bytes, decoded and packed again.
  const Bytes wire = Hex("00000000 0C000000 39000000 00000000 00000000 00000000") +
                     Hex(kDiskFixedHex) +
                     Hex("F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF | 01 02 03");
  CPktReadStream r(wire.data(), static_cast<uint32_t>(wire.size()), false);
  std::unique_ptr<CPacketHead> base(CreatePacket(r));
  auto* p = dynamic_cast<CPktWriteBitmapDiskIO*>(base.get());
  ASSERT_TRUE(p);
  EXPECT_EQ(3u, p->DataLength);
  EXPECT_EQ(54u, r.m_nPos);

  CPktWriteBitmapDiskIO out;
  EXPECT_EQ(54u, out.Length);
  out.Param1 = 0x10000001; out.Param2 = 0x0200; out.Param3 = 7; out.Param4 = 0x1000;
  for (int i = 0; i < 16; ++i) out.Bitmap[i] = static_cast<uint8_t>(0xF0 + i);
  const uint8_t data[3] = {1, 2, 3};
  out.Data = data;
  out.DataLength = 3;
  out.Length = out.Size();
  EXPECT_BYTES(wire, Encode(out));
}

TEST(ClientPackets, RegistrationAndLookupPackets) {
  {
    const Bytes wire = Hex("00000000 09000000 22000000 00000000 00000000 00000000"
                           "00 11 22 33 44 55 | 78 56 34 12");
    auto p = DecodeAs<CPktClientRegAddr>(wire);
    ASSERT_TRUE(p);
    EXPECT_EQ(0, std::memcmp(kMac, p->MacAddress, 6));
    EXPECT_EQ(0x12345678u, p->Param1);
    CPktClientRegAddr out;
    std::memcpy(out.MacAddress, kMac, 6);
    out.Param1 = 0x12345678;
    EXPECT_BYTES(wire, Encode(out));
  }
  {
    const Bytes wire = Hex("00000000 0B000000 5E000000 00000000 00000000 00000000"
                           "00 11 22 33 44 55") + Chars("host-7", 64);
    auto p = DecodeAs<CPktAskFindRegClientInfor>(wire);
    ASSERT_TRUE(p);
    EXPECT_EQ(0, std::memcmp(kMac, p->MacAddress, 6));
    EXPECT_STREQ("host-7", p->Text);
    CPktAskFindRegClientInfor out;
    std::memcpy(out.MacAddress, kMac, 6);
    CopyField(out.Text, "host-7");
    EXPECT_BYTES(wire, Encode(out));
  }
  {
    const Bytes wire = Hex("00000000 0B000080 66000000 00000000 00000000 00000000"
                           "00 11 22 33 44 55 | 0A000000 | 0B000000") + Chars("seat 12", 64);
    auto p = DecodeAs<CPktAskFindRegClientInforAck>(wire);
    ASSERT_TRUE(p);
    EXPECT_EQ(0, std::memcmp(kMac, p->MacAddress, 6));
    EXPECT_EQ(10u, p->Param1);
    EXPECT_EQ(11u, p->Param2);
    EXPECT_STREQ("seat 12", p->Text);
    CPktAskFindRegClientInforAck out;
    std::memcpy(out.MacAddress, kMac, 6);
    out.Param1 = 10; out.Param2 = 11;
    CopyField(out.Text, "seat 12");
    EXPECT_BYTES(wire, Encode(out));
  }
  {
    const Bytes wire = Hex("00000000 0D000000 1E000000 00000000 00000000 00000000"
                           "00 11 22 33 44 55");
    auto p = DecodeAs<CPktAskErrorClientInfor>(wire);
    ASSERT_TRUE(p);
    EXPECT_EQ(0, std::memcmp(kMac, p->MacAddress, 6));
    CPktAskErrorClientInfor out;
    std::memcpy(out.MacAddress, kMac, 6);
    EXPECT_BYTES(wire, Encode(out));
  }
}

TEST(ClientPackets, ConfigRequestHasItsFlagFirst) {
  const Bytes le = Hex("00000000 0A000000 27000000 00000000 00000000 00000000"
                       "7F | 00 11 22 33 44 55 | 01000000 | 00010000");
  const Bytes be = Hex("00000000 0000000A 00000027 00000000 00000000 00000000"
                       "7F | 00 11 22 33 44 55 | 00000001 | 00000100");
  ASSERT_EQ(39u, le.size());
  for (bool net : {false, true}) {
    const Bytes& wire = net ? be : le;
    auto p = DecodeAs<CPkClientAskConfigInfor>(wire, net);
    ASSERT_TRUE(p);
    EXPECT_EQ(0x7Fu, p->Flag);
    EXPECT_EQ(0, std::memcmp(kMac, p->MacAddress, 6));
    EXPECT_EQ(1u, p->Param1);
    EXPECT_EQ(0x100u, p->Param2);
    CPkClientAskConfigInfor out;
    out.Flag = 0x7F;
    std::memcpy(out.MacAddress, kMac, 6);
    out.Param1 = 1; out.Param2 = 0x100;
    EXPECT_BYTES(wire, Encode(out, net));
  }
}

TEST(ClientPackets, ConfigReplyWithOneItem) {
  const Bytes wire = Hex("00000000 0A000080 72000000 00000000 00000000 00000000"
                         "00 11 22 33 44 55 | 01000000 02000000 03000000"
                         "01000000 | 09000000") + Chars("disk0", 64);
  auto p = DecodeAs<CPkClientAskConfigInforAck>(wire);
  ASSERT_TRUE(p);
  EXPECT_EQ(0, std::memcmp(kMac, p->MacAddress, 6));
  EXPECT_EQ(1u, p->Param1);
  EXPECT_EQ(2u, p->Param2);
  EXPECT_EQ(3u, p->Param3);
  ASSERT_EQ(1u, p->Items.m_nCount);
  EXPECT_EQ(9u, p->Items.GetAt(0)->Param1);
  EXPECT_STREQ("disk0", p->Items.GetAt(0)->Text);

  CPkClientAskConfigInforAck out;
  EXPECT_EQ(46u, out.Size());
  std::memcpy(out.MacAddress, kMac, 6);
  out.Param1 = 1; out.Param2 = 2; out.Param3 = 3;
  ASSERT_EQ(0, out.Items.SetCount(1));
  out.Items.GetAt(0)->Param1 = 9;
  CopyField(out.Items.GetAt(0)->Text, "disk0");
  out.Length = out.Size();
  EXPECT_BYTES(wire, Encode(out));
}

TEST(ClientPackets, LogPrintAndBarServerReply) {
  {
    const Bytes wire = Hex("00000000 10000000 23000000 00000000 00000000 00000000"
                           "07000000 | 62 6F 6F 74 20 6F 6B");
    auto p = DecodeAs<CPktClientLogPrint>(wire);
    ASSERT_TRUE(p);
    ASSERT_EQ(7u, p->Data.m_nLen);
    EXPECT_EQ(0, std::memcmp("boot ok", p->Data.m_pBuf, 7));
    CPktClientLogPrint out;
    ASSERT_EQ(0, out.Data.Assign("boot ok", 7));
    out.Length = out.Size();
    EXPECT_BYTES(wire, Encode(out));
  }
  {
    const Bytes wire = Hex("00000000 0E000080 1C000000 00000000 00000000 00000000"
                           "EF BE AD DE");
    auto p = DecodeAs<CPktReportAskBarServerIDAck>(wire);
    ASSERT_TRUE(p);
    EXPECT_EQ(0xDEADBEEFu, p->Param1);
    CPktReportAskBarServerIDAck out;
    out.Param1 = 0xDEADBEEF;
    EXPECT_BYTES(wire, Encode(out));
  }
}

// The fixed part of a disk-server report, offsets 24 to 820.
Bytes ReportFixedPart() {
  return Hex("01000000 02000000 03000000 04000000 05000000 06000000 07000000") +
         Chars("one", 255) + Chars("two", 255) + Chars("three", 255) + Hex("88000000");
}

void FillReport(CPktReportDS2Client& out) {
  out.Param1 = 1; out.Param2 = 2; out.Param3 = 3; out.Param4 = 4;
  out.Param5 = 5; out.Param6 = 6; out.Param7 = 7;
  CopyField(out.Text1, "one");
  CopyField(out.Text2, "two");
  CopyField(out.Text3, "three");
  out.Param8 = 0x88;
}

TEST(ClientPackets, ReportWithoutPairsOrEntriesIs829Bytes) {
  const Bytes wire = Hex("00000000 0F000000 3D030000 00000000 00000000 00000000") +
                     ReportFixedPart() + Hex("00000000 00000000");
  ASSERT_EQ(829u, wire.size());
  EXPECT_EQ(0x88, wire[817]);  // Param8 stands at an odd offset
  auto p = DecodeAs<CPktReportDS2Client>(wire);
  ASSERT_TRUE(p);
  EXPECT_EQ(1u, p->Param1);
  EXPECT_EQ(7u, p->Param7);
  EXPECT_STREQ("one", p->Text1);
  EXPECT_STREQ("two", p->Text2);
  EXPECT_STREQ("three", p->Text3);
  EXPECT_EQ(0x88u, p->Param8);
  EXPECT_EQ(0u, p->Pairs.m_nCount);
  EXPECT_EQ(0u, p->Entries.m_nCount);

  CPktReportDS2Client out;
  EXPECT_EQ(829u, out.Length);
  FillReport(out);
  EXPECT_BYTES(wire, Encode(out));
}

TEST(ClientPackets, ReportWithOnePairAndOneEntryIs1105Bytes) {
  const Bytes wire = Hex("00000000 0F000000 51040000 00000000 00000000 00000000") +
                     ReportFixedPart() + Hex("01000000 | 0A000000 0B000000 | 01000000") +
                     Chars("E1", 260) + Hex("0C000000 0D000000");
  ASSERT_EQ(1105u, wire.size());
  auto p = DecodeAs<CPktReportDS2Client>(wire);
  ASSERT_TRUE(p);
  ASSERT_EQ(1u, p->Pairs.m_nCount);
  EXPECT_EQ(0x0Au, p->Pairs.GetAt(0)->Param1);
  EXPECT_EQ(0x0Bu, p->Pairs.GetAt(0)->Param2);
  ASSERT_EQ(1u, p->Entries.m_nCount);
  EXPECT_STREQ("E1", p->Entries.GetAt(0)->Text);
  EXPECT_EQ(0x0Cu, p->Entries.GetAt(0)->Param1);
  EXPECT_EQ(0x0Du, p->Entries.GetAt(0)->Param2);

  CPktReportDS2Client out;
  FillReport(out);
  ASSERT_EQ(0, out.Pairs.SetCount(1));
  out.Pairs.GetAt(0)->Param1 = 0x0A;
  out.Pairs.GetAt(0)->Param2 = 0x0B;
  ASSERT_EQ(0, out.Entries.SetCount(1));
  CopyField(out.Entries.GetAt(0)->Text, "E1");
  out.Entries.GetAt(0)->Param1 = 0x0C;
  out.Entries.GetAt(0)->Param2 = 0x0D;
  out.Length = out.Size();
  EXPECT_EQ(1105u, out.Length);
  EXPECT_BYTES(wire, Encode(out));

  // An entry cut short by one byte.
  EXPECT_FALSE(DecodeAs<CPacketHead>(Bytes(wire.begin(), wire.end() - 1)));
}

TEST(ClientPackets, SharedBranchKeepsTheReceivedType) {
  const Bytes wire = Hex("00000000 12000000 18000000 00000000 07000000 00000000");
  auto p = DecodeAs<CPacketHead>(wire);
  ASSERT_TRUE(p);
  EXPECT_EQ(typeid(CSimplePacketHead<0x80000010>), typeid(*p));
  EXPECT_EQ(0x12u, p->Type);
  EXPECT_EQ(7u, p->ErrCode);
  // 0x11 and 0x80000012 are not codes of the family.
  Bytes gap = wire;
  gap[4] = 0x11;
  EXPECT_FALSE(DecodeAs<CPacketHead>(gap));
  gap[4] = 0x12;
  gap[7] = 0x80;
  EXPECT_FALSE(DecodeAs<CPacketHead>(gap));
}

TEST(ClientPackets, TableHas33CodesOfTheFamily) {
  std::set<uint32_t> codes;
#define KTEST_COLLECT(code, KIND, arg, TAIL) codes.insert(code);
  KELVANE_CLIENT_PACKETS(KTEST_COLLECT)
#undef KTEST_COLLECT
  EXPECT_EQ(33u, codes.size());
  for (uint32_t c : codes) EXPECT_EQ(0u, c & 0x7FFF0000u) << std::hex << c;
}

// Every class of the table packs in its default state to exactly Size()
// bytes, and the factory builds the same class back from them.
TEST(ClientPackets, EveryDefaultPacketRoundTripsThroughTheFactory) {
#define KTEST_ROUND_TRIP(code, KIND, arg, TAIL)                           \
  {                                                                       \
    KPKT_TYPE(code, KIND, arg) sent;                                      \
    sent.Type = code;                                                     \
    Bytes wire = Encode(sent);                                            \
    EXPECT_EQ(sent.Size(), wire.size()) << std::hex << code;              \
    auto got = DecodeAs<CPacketHead>(wire);                               \
    ASSERT_TRUE(got) << std::hex << code;                                 \
    EXPECT_EQ(typeid(sent), typeid(*got)) << std::hex << code;            \
    EXPECT_EQ(uint32_t(code), got->Type);                                 \
    EXPECT_EQ(sent.Length, got->Length) << std::hex << code;              \
  }
  KELVANE_CLIENT_PACKETS(KTEST_ROUND_TRIP)
#undef KTEST_ROUND_TRIP
}

}  // namespace
}  // namespace PacketZVDiskless
