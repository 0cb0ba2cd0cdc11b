// The field walk of the dissector against hand-written packets of the tool
// family and against a record that uses every kind of field.
#include "describe/PacketDescribe.h"

#include <gtest/gtest.h>

#include <set>

#include "protocol/AllPackets.h"
#include "tests/protocol/TestBytes.h"

namespace {

using kdl::describe::DescribePacket;
using kdl::describe::Json;
using kdl::test::Bytes;
using kdl::test::Chars;
using kdl::test::Hex;
using kdl::test::Zeros;

Json Describe(const Bytes& b, bool net = false) { return DescribePacket(b.data(), b.size(), net); }

// Select-image reply: 24-byte head, bSucc, 256-byte Path; 281 bytes in all.
const Bytes kSelectAck = Hex("00000000 05000280 19010000 00000000 00000000 00000000") +
                         Hex("01") + Chars("D:\\img\\win10.vhd", 256);

TEST(DescribePacket, SelectReplyShowsHeadAndFields) {
  ASSERT_EQ(kSelectAck.size(), 281u);
  Json expected = Json::parse(R"({
    "type": "0x80020005", "class": "CPktToolSelectImgAck", "name": "select-image reply",
    "bytes": 281, "length": 281,
    "length_ok": true,
    "head": {"Reserved0": 0, "Type": 2147614725, "Length": 281, "Reserved3": 0,
             "ErrCode": 0, "Reserved5": 0},
    "fields": {"bSucc": 1, "Path": "D:\\img\\win10.vhd"}})");
  EXPECT_EQ(Describe(kSelectAck), expected);
}

TEST(DescribePacket, TextStopsAtFirstNulAndNeverPassesTheField) {
  // Bytes after the terminator are not text.
  Bytes junk = Hex("00000000 05000280 19010000 00000000 00000000 00000000 00") +
               Hex("61 62 63 00 58 59 5a") + Zeros(249);
  EXPECT_EQ(Describe(junk)["fields"]["Path"], "abc");
  // A full field without a terminator is exactly its 256 bytes.
  Bytes full = Hex("00000000 05000280 19010000 00000000 00000000 00000000 00") + Zeros(256, 'A');
  EXPECT_EQ(Describe(full)["fields"]["Path"], std::string(256, 'A'));
  // Bytes from 0x80 up come out as valid UTF-8 (Latin-1), so the JSON prints.
  Bytes high = Hex("00000000 05000280 19010000 00000000 00000000 00000000 00") +
               Hex("63 61 66 e9 ff") + Zeros(251);
  Json d = Describe(high);
  EXPECT_EQ(d["fields"]["Path"], "caf\xc3\xa9\xc3\xbf");
  EXPECT_NO_THROW(d.dump());
}

TEST(DescribePacket, LoginReplyKeepsEveryHeadWord) {
  Bytes ack = Hex("11000000 01000280 24000000 33000000 05000000 55000000") +
              Hex("02000000 01000000 ffffffff");
  Json d = Describe(ack);
  Json head = Json::parse(R"({"Reserved0": 17, "Type": 2147614721, "Length": 36,
                              "Reserved3": 51, "ErrCode": 5, "Reserved5": 85})");
  EXPECT_EQ(d["head"], head);
  EXPECT_EQ(d["fields"], Json::parse(R"({"ClientType": 2, "ManagerEnable": 1,
                                          "ExtInfo": 4294967295})"));
  EXPECT_EQ(d["class"], "CPktToolLoginAck");
}

TEST(DescribePacket, NetworkOrderReadsBigEndianIntegers) {
  Bytes ack = Hex("00000000 80020001 00000024 00000000 00000007 00000000") +
              Hex("00000002 00000001 00000100");
  Json d = Describe(ack, /*net=*/true);
  EXPECT_EQ(d["type"], "0x80020001");
  EXPECT_EQ(d["head"]["ErrCode"], 7);
  EXPECT_EQ(d["fields"], Json::parse(R"({"ClientType": 2, "ManagerEnable": 1,
                                          "ExtInfo": 256})"));
  // The same bytes read little-endian name no known code.
  EXPECT_TRUE(Describe(ack).contains("error"));
}

TEST(DescribePacket, ImageInfoReplyNestsImagesAndSnapshots) {
  Bytes b = Hex("00000000 02000280 44020000 00000000 00000000 00000000") +
            Hex("01000000") +
            // the image
            Hex("07000000 02000000 03000000") + Chars("base", 64) + Hex("04000000") +
            Chars("win10", 260) + Hex("05000000 06000000") + Hex("02000000") +
            // snapshot 1, taken 2024-03-15 10:30:00
            Hex("0b000000 15000000 16000000 17000000 18000000 19000000") +
            Chars("before update", 64) + Hex("e8070300 0f000a00 1e000000") +
            // snapshot 2
            Hex("0c000000 00000000 00000000 00000000 00000000 00000000") +
            Chars("after", 64) + Hex("e8070300 10000b00 00000000");
  ASSERT_EQ(b.size(), 580u);
  Json expected = Json::parse(R"({"Items": [{
      "ImageId": 7, "Param2": 2, "Param3": 3, "Text1": "base", "Param4": 4, "Text2": "win10",
      "Param5": 5, "Param6": 6,
      "Snapshots": [
        {"SnapshotId": 11, "Param2": 21, "Param3": 22, "Param4": 23, "Param5": 24,
         "Param6": 25, "Text": "before update", "Time": "e80703000f000a001e000000",
         "Time_text": "2024-03-15 10:30:00"},
        {"SnapshotId": 12, "Param2": 0, "Param3": 0, "Param4": 0, "Param5": 0,
         "Param6": 0, "Text": "after", "Time": "e807030010000b0000000000",
         "Time_text": "2024-03-16 11:00:00"}]}]})");
  Json d = Describe(b);
  EXPECT_EQ(d["class"], "CSimpleVLFPacketHead<CImgInfoEx>");
  EXPECT_EQ(d["length_ok"], true);
  EXPECT_EQ(d["fields"], expected);
  EXPECT_FALSE(d.contains("surplus"));
}

TEST(DescribePacket, FailuresReportReasonAndSize) {
  Bytes head23 = Hex("00000000 00000200 18000000 00000000 00000000 000000");
  EXPECT_EQ(Describe(head23),
            Json::parse(R"({"error": "packet shorter than the 24-byte head", "bytes": 23})"));
  EXPECT_EQ(Describe(Bytes()), Json::parse(R"({"error": "packet shorter than the 24-byte head",
                                               "bytes": 0})"));

  // 0x00000011 lies between two client codes but is not one.
  Bytes unknown = Hex("00000000 11000000 18000000 00000000 00000000 00000000");
  Json u = Describe(unknown);
  EXPECT_EQ(u["error"], "unknown type code 0x00000011");
  EXPECT_EQ(u["bytes"], 24);

  // A select reply one byte short of its Path.
  Bytes shortAck(kSelectAck.begin(), kSelectAck.end() - 1);
  Json s = Describe(shortAck);
  EXPECT_EQ(s["error"], "body of CPktToolSelectImgAck does not decode");
  EXPECT_EQ(s["bytes"], 280);
  EXPECT_EQ(s["type"], "0x80020005");
}

TEST(DescribePacket, SurplusAndLengthMismatchAreShown) {
  Bytes b = Hex("00000000 01000280 24000000 00000000 00000000 00000000") +
            Hex("01000000 02000000 03000000") + Hex("ab cd");
  Json d = Describe(b);
  EXPECT_EQ(d["bytes"], 38);
  EXPECT_EQ(d["length"], 36);
  EXPECT_EQ(d["length_ok"], false);
  EXPECT_EQ(d["surplus"], "abcd");
  EXPECT_EQ(d["fields"]["ExtInfo"], 3);
}

TEST(DescribePacket, SharedBranchKeepsTheReceivedCode) {
  // 0x00020006 is built as the head-only class of 0x00020002.
  Bytes b = Hex("00000000 06000200 18000000 00000000 00000000 00000000");
  Json d = Describe(b);
  EXPECT_EQ(d["type"], "0x00020006");
  EXPECT_EQ(d["class"], "CSimplePacketHead");
  EXPECT_EQ(d["fields"], Json::object());
}

TEST(DescribePacket, FieldsBeforeDataAreReadFromTheBytes) {
  // PnP file data reply: its Unpack reads nothing (the receiver takes the
  // body from the stream), yet bytes1, word1 and word2 precede the data.
  Bytes b = Hex("00000000 03000580 64000000 00000000 00000000 00000000") + Chars("f.sys", 64) +
            Hex("07000000 08000000") + Hex("01 02 03 04");
  ASSERT_EQ(b.size(), 100u);
  Json d = Describe(b);
  EXPECT_EQ(d["class"], "CPktPNPReadFileDataAck");
  EXPECT_EQ(d["fields"], Json::parse(R"({"bytes1": "f.sys", "word1": 7, "word2": 8})"));
  EXPECT_EQ(d["data"], "01020304");
}

TEST(DescribePacket, DataLeftInTheStreamIsShownAsData) {
  // Disk read reply: Param1..4 (the second one 16-bit), then 4 data bytes.
  Bytes b = Hex("00000000 05000080 2a000000 00000000 00000000 00000000") +
            Hex("01000000 0200 03000000 04000000") + Hex("de ad be ef");
  ASSERT_EQ(b.size(), 42u);
  Json d = Describe(b);
  EXPECT_EQ(d["class"], "CPktReadDiskIOAck");
  EXPECT_EQ(d["fields"], Json::parse(R"({"Param1": 1, "Param2": 2, "Param3": 3, "Param4": 4})"));
  EXPECT_EQ(d["data"], "deadbeef");
  EXPECT_FALSE(d.contains("surplus"));
  // No data at all still says so.
  Bytes none = Hex("00000000 05000080 26000000 00000000 00000000 00000000") +
               Hex("01000000 0200 03000000 04000000");
  EXPECT_EQ(Describe(none)["data"], "");
}

TEST(DescribePacket, MacAddressIsHexInEitherByteOrder) {
  Bytes le = Hex("00000000 09000000 22000000 00000000 00000000 00000000") +
             Hex("00 11 22 33 44 55") + Hex("05000000");
  Bytes be = Hex("00000000 00000009 00000022 00000000 00000000 00000000") +
             Hex("00 11 22 33 44 55") + Hex("00000005");
  Json expected = Json::parse(R"({"MacAddress": "001122334455", "Param1": 5})");
  EXPECT_EQ(Describe(le)["fields"], expected);
  EXPECT_EQ(Describe(be, /*net=*/true)["fields"], expected);
}

TEST(DescribeFields, RefusesAnObjectWhoseClassDoesNotMatchItsType) {
  PacketZVDiskless::CPktToolLoginAck ack;
  ack.Type = 0x80020005;  // the select reply's code on a login reply object
  Json fields;
  EXPECT_FALSE(kdl::describe::DescribeFields(ack, false, fields));
  EXPECT_EQ(fields, Json::object());
  ack.Type = 0x80020001;
  ack.ExtInfo = 9;
  EXPECT_TRUE(kdl::describe::DescribeFields(ack, false, fields));
  EXPECT_EQ(fields["ExtInfo"], 9);
}

// A record with one field of every kind a class can list.
struct Inner {
  uint32_t A = 0;
  template <class V>
  int Fields(V& v) { return v.U32("A", A); }
};
struct EveryKind {
  uint8_t B = 0;
  uint16_t W = 0;
  uint32_t D = 0;
  uint32_t V = 0;
  char Name[8] = {};
  uint8_t Mac[6] = {};
  PacketZVDiskless::CPktBuffer Buf;
  PacketZVDiskless::TVarLengthField<PacketZVDiskless::CPDiscoverAckBaseInfor> List;
  Inner Nested;
  template <class Vis>
  int Fields(Vis& v) {
    return v.U8("word1", B) || v.U16("word2", W) || v.U32("word3", D) ||
           v.Verbatim32("word4", V) || v.Text("Name", Name) || v.Raw("MacAddress", Mac) ||
           v.Buffer("Buf", Buf) || v.Array("List", List) || v.Record("Nested", Nested);
  }
};

TEST(DescribeVisitor, ShowsEveryKindOfField) {
  EveryKind r;
  r.B = 200;
  r.W = 0xbeef;
  r.D = 70000;
  r.V = 0x01020304;
  std::memcpy(r.Name, "abcdefgh", 8);  // no terminator
  const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  std::memcpy(r.Mac, mac, 6);
  const uint8_t buf[3] = {0xde, 0xad, 0x01};
  ASSERT_EQ(r.Buf.Assign(buf, 3), 0);
  ASSERT_EQ(r.List.SetCount(2), 0);
  r.List.GetAt(1)->TcpPort = 8000;
  r.Nested.A = 42;

  Json out;
  kdl::describe::DescribeVisitor v(out, false);
  ASSERT_EQ(r.Fields(v), 0);
  Json expected = Json::parse(R"({"word1": 200, "word2": 48879, "word3": 70000,
      "word4": 16909060, "Name": "abcdefgh", "MacAddress": "001122334455", "Buf": "dead01",
      "List": [{"TcpPort": 0}, {"TcpPort": 8000}], "Nested": {"A": 42}})");
  EXPECT_EQ(out, expected);

  // An empty buffer and an empty array.
  EveryKind empty;
  Json out2;
  kdl::describe::DescribeVisitor v2(out2, false);
  empty.Fields(v2);
  EXPECT_EQ(out2["Buf"], "");
  EXPECT_EQ(out2["List"], Json::array());
  EXPECT_EQ(out2["Name"], "");
  EXPECT_EQ(out2["MacAddress"], "000000000000");
}

// Every row of the tables, counted by expanding them here.
#define KDUMP_TEST_COUNT_ROW(code, KIND, arg, TAIL) +1
constexpr size_t kTableRows = 0 KELVANE_ALL_PACKETS(KDUMP_TEST_COUNT_ROW);
#undef KDUMP_TEST_COUNT_ROW

TEST(PacketCodes, ListEveryRowOnceWithItsName) {
  const auto& rows = kdl::describe::AllPacketCodes();
  EXPECT_EQ(rows.size(), kTableRows);
  std::set<uint32_t> seen;
  for (const auto& row : rows) {
    EXPECT_TRUE(seen.insert(row.code).second) << kdl::describe::CodeText(row.code) << " twice";
    ASSERT_NE(kdl::describe::PacketClassName(row.code), nullptr);
    EXPECT_STREQ(kdl::describe::PacketClassName(row.code), row.name);
  }
  EXPECT_STREQ(kdl::describe::PacketClassName(0x80020005), "CPktToolSelectImgAck");
  EXPECT_STREQ(kdl::describe::PacketClassName(0x00020001), "CPktToolLogin");
  EXPECT_STREQ(kdl::describe::PacketClassName(0x00020006), "CSimplePacketHead");
  EXPECT_STREQ(kdl::describe::PacketClassName(0x80020000), "CSimpleVLFPacketHead<CPDiscoverAckBaseInfor>");
  EXPECT_STREQ(kdl::describe::PacketClassName(0x80020006), "CPktToolQueryImgInfoListAck");
  EXPECT_STREQ(kdl::describe::PacketClassName(0x00000001), "CSimplePacketHead");
  EXPECT_EQ(kdl::describe::PacketClassName(0x00000011), nullptr);
  EXPECT_EQ(kdl::describe::PacketClassName(0x80080003), nullptr);
  EXPECT_EQ(kdl::describe::PacketClassName(0x00020007), nullptr);
}

TEST(Formatting, CodesAndHex) {
  EXPECT_EQ(kdl::describe::CodeText(0x8000000a), "0x8000000A");
  EXPECT_EQ(kdl::describe::CodeText(0), "0x00000000");
  EXPECT_EQ(kdl::describe::HexOf("\x01\xfe\x00", 3), "01fe00");
}

}  // namespace
