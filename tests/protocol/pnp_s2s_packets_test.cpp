// PnP and disk-server-to-server families: fixed layouts, variable-size
// records, and the two replies whose data is not decoded into the packet.
#include <cstring>

#include <gtest/gtest.h>

#include "protocol/DiskS2SPackets.h"
#include "protocol/PnpPackets.h"
#include "tests/protocol/ServerPacketChecks.h"
#include "util/Text.h"

namespace PacketZVDiskless {
namespace {

using kdl::test::Bytes;
using kdl::util::CopyField;
using kdl::test::Chars;
using kdl::test::Hex;
using kdl::test::Zeros;

TEST(PnpPackets, DeviceRequestMixesWordSizesInBothOrders) {
  Bytes le = Hex("00 00 00 00  01 00 05 00  2C 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
             Hex("04 03 02 01  01 0A 02 0A  03 0A 04 0A  05 0A 06 0A  07 0A 08 0A");
  Bytes be = Hex("00 00 00 00  00 05 00 01  00 00 00 2C  00 00 00 00  00 00 00 00  00 00 00 00") +
             Hex("01 02 03 04  0A 01 0A 02  0A 03 0A 04  0A 05 0A 06  0A 07 0A 08");
  for (bool net : {false, true}) {
    auto d = kdl::test::ExpectRoundTrip<CPktPNPGetDeviceInfor>(net ? be : le, net);
    ASSERT_NE(d.packet, nullptr);
    auto* p = d.As<CPktPNPGetDeviceInfor>();
    EXPECT_EQ(p->Word1, 0x01020304u);
    EXPECT_EQ(p->Word2, 0x0A01u);
    EXPECT_EQ(p->Word5, 0x0A04u);
    EXPECT_EQ(p->Word9, 0x0A08u);
  }
  Bytes cut(le.begin(), le.end() - 1);  // last 16-bit word incomplete
  EXPECT_TRUE(kdl::test::Refused(cut));
}

TEST(PnpPackets, FileRequestsAndFileInfoReply) {
  Bytes info = Hex("00 00 00 00  02 00 05 00  58 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
               Chars("usbstor.inf", 64);
  auto a = kdl::test::ExpectRoundTrip<CPktPNPGetFileInfor>(info);
  ASSERT_NE(a.packet, nullptr);
  EXPECT_STREQ(a.As<CPktPNPGetFileInfor>()->Bytes1, "usbstor.inf");

  Bytes read = Hex("00 00 00 00  03 00 05 00  60 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
               Chars("usbstor.sys", 64) + Hex("00 10 00 00  00 02 00 00");
  auto b = kdl::test::ExpectRoundTrip<CPktPNPReadFileData>(read);
  ASSERT_NE(b.packet, nullptr);
  EXPECT_STREQ(b.As<CPktPNPReadFileData>()->Bytes1, "usbstor.sys");
  EXPECT_EQ(b.As<CPktPNPReadFileData>()->Word1, 0x1000u);
  EXPECT_EQ(b.As<CPktPNPReadFileData>()->Word2, 0x200u);

  Bytes ack = Hex("00 00 00 00  02 00 05 80  5C 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
              Chars("usbstor.inf", 64) + Hex("78 56 34 12");
  auto c = kdl::test::ExpectRoundTrip<CPktPNPGetFileInforAck>(ack);
  ASSERT_NE(c.packet, nullptr);
  EXPECT_EQ(c.As<CPktPNPGetFileInforAck>()->Word1, 0x12345678u);
}

// Device reply: buffer "abc"; one system file of two bytes; one server with a
// one-byte and an empty buffer and one empty system file. 62 bytes.
Bytes DeviceReply() {
  return Hex("00 00 00 00  01 00 05 80  3E 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
         Hex("03 00 00 00  61 62 63") +                      // buffer1
         Hex("01 00 00 00  02 00 00 00  AA BB") +            // system files
         Hex("01 00 00 00  01 00 00 00  7A  00 00 00 00"     // servers: buffer1, buffer2
             "01 00 00 00  00 00 00 00");                    //   its files
}

TEST(PnpPackets, DeviceReplyNestsVariableSizeRecords) {
  Bytes wire = DeviceReply();
  ASSERT_EQ(wire.size(), 62u);
  auto d = kdl::test::ExpectRoundTrip<CPktPNPGetDeviceInforAck>(wire);
  ASSERT_NE(d.packet, nullptr);
  auto* p = d.As<CPktPNPGetDeviceInforAck>();
  ASSERT_EQ(p->Buffer1.m_nLen, 3u);
  EXPECT_EQ(std::memcmp(p->Buffer1.m_pBuf, "abc", 3), 0);
  ASSERT_EQ(p->SysFiles.m_nCount, 1u);
  EXPECT_EQ(p->SysFiles.GetAt(0)->File.m_nLen, 2u);
  EXPECT_EQ(p->SysFiles.GetAt(0)->Size(), 6u);
  ASSERT_EQ(p->Servers.m_nCount, 1u);
  const PnPServerInformation* s = p->Servers.GetAt(0);
  EXPECT_EQ(s->Buffer1.m_nLen, 1u);
  EXPECT_EQ(s->Buffer1.m_pBuf[0], 0x7A);
  EXPECT_EQ(s->Buffer2.m_nLen, 0u);
  EXPECT_EQ(s->Files.m_nCount, 1u);
  EXPECT_EQ(s->Size(), 12u + 1u + 4u);  // three counts, one byte, one empty file

  CPktPNPGetDeviceInforAck fresh;
  EXPECT_EQ(fresh.Size(), 36u);
  EXPECT_EQ(fresh.Length, 36u);

  // Two servers announced, one present.
  Bytes twoServers = wire;
  twoServers[41] = 2;
  EXPECT_TRUE(kdl::test::Refused(twoServers));
  // A system file whose buffer claims more bytes than the message holds.
  Bytes longFile = wire;
  longFile[35] = 0x40;
  EXPECT_TRUE(kdl::test::Refused(longFile));
}

TEST(PnpPackets, FileDataReplyDecodesNothingAndSendsItsData) {
  const uint8_t data[5] = {1, 2, 3, 4, 5};
  Bytes wire = Hex("00 00 00 00  03 00 05 80  65 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
               Chars("x.sys", 64) + Hex("01 00 00 00  02 00 00 00") + Hex("01 02 03 04 05");

  for (size_t len : {wire.size(), size_t{24}}) {
    Bytes msg(wire.begin(), wire.begin() + len);
    auto d = kdl::test::DecodeWire(msg);
    auto* p = d.As<CPktPNPReadFileDataAck>();
    ASSERT_NE(p, nullptr) << len;
    EXPECT_EQ(p->Length, 101u);
    EXPECT_EQ(std::memcmp(p->Bytes1, Zeros(64).data(), 64), 0);
    EXPECT_EQ(p->Word1, 0u);
    EXPECT_EQ(p->Word2, 0u);
    EXPECT_EQ(p->DataLength, 0u);
    EXPECT_EQ(p->Data, nullptr);
    EXPECT_EQ(d.stream->m_nPos, 24u);  // the body stays in the stream
  }

  CPktPNPReadFileDataAck out;
  EXPECT_EQ(out.Size(), 96u);
  CopyField(out.Bytes1, "x.sys");
  out.Word1 = 1;
  out.Word2 = 2;
  out.Data = data;
  out.DataLength = 5;
  out.Length = out.Size();
  EXPECT_EQ(kdl::test::ToHex(kdl::test::PackWire(out)), kdl::test::ToHex(wire));

  // A length without data to send is refused rather than read through null.
  out.Data = nullptr;
  EXPECT_TRUE(kdl::test::PackWire(out).empty());
}

TEST(DiskS2SPackets, VersionRequests) {
  Bytes get = Hex("00 00 00 00  01 00 04 00  1C 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                  "2A 00 00 00");
  auto a = kdl::test::ExpectRoundTrip<CPktDiskS2SGetVersionInfor>(get);
  ASSERT_NE(a.packet, nullptr);
  EXPECT_EQ(a.As<CPktDiskS2SGetVersionInfor>()->Word1, 42u);

  Bytes read = Hex("00 00 00 00  00 04 00 02  00 00 01 28  00 00 00 00  00 00 00 00  00 00 00 00"
                   "00 00 00 01  00 00 01 00  00 01 00 00") +
               Chars("v1\\base.vhd", 260);
  auto b = kdl::test::ExpectRoundTrip<CPktDiskS2SReadVersionData>(read, true);
  ASSERT_NE(b.packet, nullptr);
  auto* p = b.As<CPktDiskS2SReadVersionData>();
  EXPECT_EQ(p->Word1, 1u);
  EXPECT_EQ(p->Word2, 0x100u);
  EXPECT_EQ(p->Word3, 0x10000u);
  EXPECT_STREQ(p->Bytes1, "v1\\base.vhd");

  // Fields the sender leaves alone go out as zeros.
  CPktDiskS2SReadVersionData fresh;
  EXPECT_EQ(kdl::test::ToHex(kdl::test::PackWire(fresh)),
            kdl::test::ToHex(kdl::test::LeHead(0x00040002, 296) + Zeros(272)));
}

TEST(DiskS2SPackets, VersionInfoReplyWithOneRecordIs1680Bytes) {
  Bytes record = Hex("21 00 00 00  22 00 00 00  23 00 00 00  24 00 00 00  25 00 00 00"
                     "26 00 00 00  27 00 00 00"
                     "F0 F1 F2 F3  F4 F5 F6 F7  F8 F9 FA FB  FC FD FE FF") +
                 Chars("a", 260) + Chars("b", 260) + Chars("c", 260) + Chars("d", 260);
  Bytes wire = Hex("00 00 00 00  01 00 04 80  90 06 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
               Hex("01 00 00 00  02 00 00 00  03 00 00 00  04 00 00 00"
                   "05 00 00 00  06 00 00 00  07 00 00 00  08 00 00 00"
                   "00 11 22 33  44 55 66 77  88 99 AA BB  CC DD EE FF") +
               Chars("name", 260) + Chars("path", 260) + Hex("01 00 00 00") + record;
  ASSERT_EQ(wire.size(), 1680u);
  auto d = kdl::test::ExpectRoundTrip<CPktDiskS2SVersionInforAck>(wire);
  ASSERT_NE(d.packet, nullptr);
  auto* p = d.As<CPktDiskS2SVersionInforAck>();
  EXPECT_EQ(p->Word1, 1u);
  EXPECT_EQ(p->Word8, 8u);
  EXPECT_EQ(p->Bytes1[15], 0xFF);
  EXPECT_STREQ(p->Bytes2, "name");
  EXPECT_STREQ(p->Bytes3, "path");
  const CS2SVersionRecord* r = p->Records.GetAt(0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Word1, 0x21u);
  EXPECT_EQ(r->Word7, 0x27u);
  EXPECT_EQ(r->Bytes1[0], 0xF0);
  EXPECT_STREQ(r->Bytes2, "a");
  EXPECT_STREQ(r->Bytes5, "d");

  CPktDiskS2SVersionInforAck fresh;
  EXPECT_EQ(kdl::test::ToHex(kdl::test::PackWire(fresh)),
            kdl::test::ToHex(kdl::test::LeHead(0x80040001, 596) + Zeros(572)));
  Bytes cut(wire.begin(), wire.end() - 1);
  EXPECT_TRUE(kdl::test::Refused(cut));
}

Bytes ReadDataReply() {
  return Hex("00 00 00 00  02 00 04 80  36 01 00 00  00 00 00 00  00 00 00 00  00 00 00 00") +
         Hex("07 00 00 00  08 00 00 00  09 00 00 00") + Chars("chunk", 260) + Hex("0A 00 00 00") +
         Hex("D0 D1 D2 D3 D4 D5 D6 D7 D8 D9");
}

TEST(DiskS2SPackets, ReadDataReplyLeavesItsDataInTheStream) {
  Bytes wire = ReadDataReply();
  ASSERT_EQ(wire.size(), 310u);
  CPktReadStream stream(wire.data(), static_cast<uint32_t>(wire.size()), false);
  std::unique_ptr<CPacketHead> packet(CreatePacket(stream));
  auto* p = dynamic_cast<CPktDiskS2SReadVersionDataAck*>(packet.get());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->Word1, 7u);
  EXPECT_EQ(p->Word3, 9u);
  EXPECT_STREQ(p->Bytes1, "chunk");
  EXPECT_EQ(p->DataLength, 10u);
  EXPECT_EQ(p->Size(), 310u);
  EXPECT_EQ(p->Reader, &stream);
  EXPECT_EQ(p->Data, nullptr);
  EXPECT_EQ(stream.m_nPos, 300u);
  EXPECT_EQ(stream.Remaining(), 10u);

  uint8_t got[10] = {};
  ASSERT_EQ(p->ReadData(got), 0);
  EXPECT_EQ(kdl::test::ToHex(got, 10), "d0 d1 d2 d3 d4 d5 d6 d7 d8 d9");
  EXPECT_EQ(stream.m_nPos, 310u);
  EXPECT_EQ(p->ReadData(got), -1);  // already taken

  // Sending the same packet takes the data from Data.
  p->Data = wire.data() + 300;
  EXPECT_EQ(kdl::test::ToHex(kdl::test::PackWire(*p)), kdl::test::ToHex(wire));
}

TEST(DiskS2SPackets, ReadDataReplyBoundsAndDefaults) {
  // A length the message cannot hold is refused.
  Bytes wire = ReadDataReply();
  Bytes shortData(wire.begin(), wire.end() - 1);
  EXPECT_TRUE(kdl::test::Refused(shortData));
  Bytes noLength(wire.begin(), wire.begin() + 298);
  EXPECT_TRUE(kdl::test::Refused(noLength));

  // Big-endian length, no data.
  Bytes be = Hex("00 00 00 00  80 04 00 02  00 00 01 2C  00 00 00 00  00 00 00 00  00 00 00 00") +
             Hex("00 00 00 07  00 00 00 08  00 00 00 09") + Chars("", 260) + Hex("00 00 00 00");
  auto d = kdl::test::ExpectRoundTrip<CPktDiskS2SReadVersionDataAck>(be, true);
  ASSERT_NE(d.packet, nullptr);
  EXPECT_EQ(d.As<CPktDiskS2SReadVersionDataAck>()->Word2, 8u);

  CPktDiskS2SReadVersionDataAck fresh;
  EXPECT_EQ(fresh.Size(), 300u);
  EXPECT_EQ(fresh.Length, 300u);
  EXPECT_EQ(fresh.Reader, nullptr);
  uint8_t sink[1];
  EXPECT_EQ(fresh.ReadData(sink), -1);
  fresh.DataLength = 4;  // no data pointer to send from
  EXPECT_TRUE(kdl::test::PackWire(fresh).empty());
}

}  // namespace
}  // namespace PacketZVDiskless
