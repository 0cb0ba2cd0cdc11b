// The kelvane-dump command line: input forms, output forms, exit statuses.
#include "tools/dump/DumpCommand.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "describe/PacketDescribe.h"
#include "tools/dump/CaptureDump.h"

namespace {

using kdl::describe::Json;

struct DumpRun {
  int status;
  std::string out;
  std::string err;
};

DumpRun Dump(const std::vector<std::string>& args, const std::string& stdinText = "") {
  std::istringstream in(stdinText);
  std::ostringstream out, err;
  int status = kdl::dump::RunDump(args, in, out, err);
  return {status, out.str(), err.str()};
}

// Tool login reply: ClientType 2, ManagerEnable 1, ExtInfo 3.
const char kLoginAckHex[] =
    "00000000 01000280 24000000 00000000 00000000 00000000 02000000 01000000 03000000";

TEST(DumpCommand, HexFromArgumentsOrStdinGivesOneJsonObject) {
  DumpRun a = Dump({"--json", kLoginAckHex});
  ASSERT_EQ(a.status, kdl::dump::kDumpOk) << a.err;
  ASSERT_EQ(a.out.back(), '\n');
  EXPECT_EQ(a.out.find('\n'), a.out.size() - 1) << "one line per packet";
  Json d = Json::parse(a.out);
  EXPECT_EQ(d["class"], "CPktToolLoginAck");
  EXPECT_EQ(d["fields"]["ExtInfo"], 3);

  // Unquoted words on the command line are joined; stdin may wrap lines.
  DumpRun b = Dump({"--json", "00000000", "01000280", "24000000", "00000000 00000000 00000000",
                "02000000 01000000 03000000"});
  EXPECT_EQ(b.out, a.out);
  DumpRun c = Dump({"--json"}, "00000000 01000280 24000000\n00000000 00000000 00000000\n"
                           "02 00 00 00 01 00 00 00\t03 00 00 00\n");
  EXPECT_EQ(c.out, a.out);
}

TEST(DumpCommand, BinaryFile) {
  const unsigned char bytes[] = {0, 0, 0, 0, 0, 0, 2, 0, 24, 0, 0, 0,
                                 0, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0};
  std::string path = ::testing::TempDir() + "kelvane_dump_test_" + std::to_string(getpid());
  {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
  }
  DumpRun r = Dump({"--json", "--file", path});
  std::remove(path.c_str());
  ASSERT_EQ(r.status, kdl::dump::kDumpOk) << r.err;
  Json d = Json::parse(r.out);
  EXPECT_EQ(d["type"], "0x00020000");
  EXPECT_EQ(d["bytes"], 24);

  DumpRun missing = Dump({"--file", path});
  EXPECT_EQ(missing.status, kdl::dump::kDumpBadInput);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
}

TEST(DumpCommand, ReadableFormShowsNamesAndValues) {
  DumpRun r = Dump({kLoginAckHex});
  ASSERT_EQ(r.status, kdl::dump::kDumpOk);
  EXPECT_NE(r.out.find("0x80020001 CPktToolLoginAck (login reply), 36 bytes, Length 36 (matches)"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n    ClientType: 2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n    Length: 36 (0x24)\n"), std::string::npos) << r.out;

  // An address beside its number: an empty image list from 10.77.0.1, port 8000.
  DumpRun list = Dump({"00000000 06000280 24000000 00000000 00000000 00000000"
                       "01004d0a 401f0000 00000000"});
  EXPECT_NE(list.out.find("ServerIP: 172818433 (0xa4d0001, 10.77.0.1)\n"), std::string::npos)
      << list.out;
}

TEST(DumpCommand, FailuresHaveTheirOwnStatus) {
  // Not decodable: an error object and status 1.
  DumpRun unknown = Dump({"--json", "00000000 11000000 18000000 00000000 00000000 00000000"});
  EXPECT_EQ(unknown.status, kdl::dump::kDumpNotDecoded);
  Json e = Json::parse(unknown.out);
  EXPECT_EQ(e["error"], "unknown type code 0x00000011");
  EXPECT_EQ(e["bytes"], 24);
  DumpRun shortText = Dump({"00 00 00"});
  EXPECT_EQ(shortText.status, kdl::dump::kDumpNotDecoded);
  EXPECT_NE(shortText.err.find("shorter than the 24-byte head (3 bytes)"), std::string::npos);

  // Malformed input and options: status 2.
  EXPECT_EQ(Dump({"0 00"}).status, kdl::dump::kDumpBadInput);
  EXPECT_EQ(Dump({"000"}).status, kdl::dump::kDumpBadInput);
  EXPECT_EQ(Dump({"00zz"}).status, kdl::dump::kDumpBadInput);
  EXPECT_EQ(Dump({"--bogus"}).status, kdl::dump::kDumpBadInput);
  EXPECT_EQ(Dump({"--file"}).status, kdl::dump::kDumpBadInput);
  EXPECT_EQ(Dump({"--file", "x", "00"}).status, kdl::dump::kDumpBadInput);
  DumpRun badJson = Dump({"--json", "0g"});
  EXPECT_EQ(badJson.status, kdl::dump::kDumpBadInput);
  EXPECT_TRUE(Json::parse(badJson.out).contains("error"));
}

TEST(DumpCommand, AllCodesListsEveryRow) {
  DumpRun text = Dump({"--all-codes"});
  ASSERT_EQ(text.status, kdl::dump::kDumpOk);
  size_t n = kdl::describe::AllPacketCodes().size();
  EXPECT_NE(text.out.find("0x80020005  CPktToolSelectImgAck  (select-image reply)\n"),
            std::string::npos);
  EXPECT_NE(text.out.find("\n" + std::to_string(n) + " codes\n"), std::string::npos);

  DumpRun json = Dump({"--all-codes", "--json"});
  Json list = Json::parse(json.out);
  ASSERT_EQ(list.size(), n);
  bool found = false;
  for (const auto& row : list)
    if (row["type"] == "0x80020002")
      found = row["class"] == "CSimpleVLFPacketHead<CImgInfoEx>";
  EXPECT_TRUE(found);
}

TEST(ParseHex, AcceptsPairsWithSpaceBetween) {
  std::vector<uint8_t> out;
  std::string why;
  ASSERT_TRUE(kdl::dump::ParseHex(" 0aFf\n10 ", out, why));
  EXPECT_EQ(out, (std::vector<uint8_t>{0x0a, 0xff, 0x10}));
  EXPECT_FALSE(kdl::dump::ParseHex("0a f", out, why));
  EXPECT_FALSE(kdl::dump::ParseHex("0x10", out, why));
  ASSERT_TRUE(kdl::dump::ParseHex("", out, why));
  EXPECT_TRUE(out.empty());
}

}  // namespace

namespace {

// kLoginAckHex in other notations.
const char kLoginAckXxd[] =
    "00000000: 0000 0000 0100 0280 2400 0000 0000 0000  ........$.......\n"
    "00000010: 0000 0000 0000 0000 0200 0000 0100 0000  ................\n"
    "00000020: 0300 0000                                ....\n";
const char kLoginAckHexdump[] =
    "00000000  00 00 00 00 01 00 02 80  24 00 00 00 00 00 00 00  |........$.......|\n"
    "00000010  00 00 00 00 00 00 00 00  02 00 00 00 01 00 00 00  |................|\n"
    "00000020  03 00 00 00                                       |....|\n"
    "00000024\n";
const char kKeepAliveHex[] = "00000000 01000000 18000000 00000000 00000000 00000000";

// The plain hex as separated bytes: "0x00, 0x00, ..." or "00:00:...".
std::string Separated(const std::string& hex, const std::string& prefix, const std::string& sep) {
  std::string digits, out;
  for (char c : hex)
    if (c != ' ') digits += c;
  for (size_t i = 0; i < digits.size(); i += 2)
    out += (i ? sep : "") + prefix + digits.substr(i, 2);
  return out;
}

TEST(DumpInput, EveryHexNotationGivesTheSamePacket) {
  const std::string expected = Dump({"--json", kLoginAckHex}).out;
  ASSERT_NE(expected.find("CPktToolLoginAck"), std::string::npos);
  const std::string xxdPlain = "000000000100028024000000000000000000000000000000020000000100\n"
                               "000003000000\n";
  for (const std::string& text :
       {std::string(kLoginAckXxd), std::string(kLoginAckHexdump), xxdPlain,
        Separated(kLoginAckHex, "0x", ", "), Separated(kLoginAckHex, "", ":")}) {
    DumpRun r = Dump({"--json"}, text);
    EXPECT_EQ(r.status, kdl::dump::kDumpOk) << text << r.out << r.err;
    EXPECT_EQ(r.out, expected) << text;
  }
  // hexdump -C squeezes repeated rows into "*": a select reply with an empty Path.
  DumpRun squeezed = Dump({"--json"},
      "00000000  00 00 00 00 05 00 02 80  19 01 00 00 00 00 00 00  |................|\n"
      "00000010  00 00 00 00 00 00 00 00  01 00 00 00 00 00 00 00  |................|\n"
      "00000020  00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |................|\n"
      "*\n"
      "00000110  00 00 00 00 00 00 00 00  00                       |.........|\n"
      "00000119\n");
  ASSERT_EQ(squeezed.status, kdl::dump::kDumpOk) << squeezed.out << squeezed.err;
  Json d = Json::parse(squeezed.out);
  EXPECT_EQ(d["bytes"], 281);
  EXPECT_EQ(d["fields"]["bSucc"], 1);
}

TEST(DumpInput, PacketsOneAfterAnotherOrOnePerLine) {
  std::string both = std::string(kKeepAliveHex) + "\n" + kLoginAckHex + "\n";
  DumpRun r = Dump({"--json"}, both);
  ASSERT_EQ(r.status, kdl::dump::kDumpOk) << r.out << r.err;
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(Json::parse(lines[0])["name"], "keep-alive");
  EXPECT_EQ(Json::parse(lines[1])["offset"], 24);
  EXPECT_EQ(Json::parse(lines[1])["class"], "CPktToolLoginAck");

  // A filter by packet name, code or class.
  for (const char* type : {"login reply", "0x80020001", "CPktToolLoginAck"})
    EXPECT_EQ(Dump({"--json", "--type", type}, both).out, lines[1] + "\n") << type;

  // One packet per line keeps a line whose Length is wrong to itself.
  DumpRun perLine = Dump({"--json", "--split", "line"}, std::string(kLoginAckHex) + " abcd\n" +
                                                             kKeepAliveHex + "\n");
  ASSERT_EQ(perLine.status, kdl::dump::kDumpOk) << perLine.out << perLine.err;
  EXPECT_NE(perLine.out.find("\"surplus\":\"abcd\""), std::string::npos) << perLine.out;
  EXPECT_NE(perLine.out.find("keep-alive"), std::string::npos) << perLine.out;
}

TEST(DumpInput, CapturesAndCutStreamsAreRefusedWithAReason) {
  // A pcap file read as hex or as raw bytes.
  const std::string pcap("\xd4\xc3\xb2\xa1\x02\x00\x04\x00", 8);
  DumpRun asHex = Dump({}, pcap);
  EXPECT_EQ(asHex.status, kdl::dump::kDumpBadInput);
  EXPECT_NE(asHex.err.find("pcap capture file, not hex: read it with --pcap FILE"),
            std::string::npos) << asHex.err;
  std::string path = ::testing::TempDir() + "kelvane_dump_ng_" + std::to_string(getpid());
  std::ofstream(path, std::ios::binary) << std::string("\x0a\x0d\x0d\x0a\x1c\0\0\0", 8);
  DumpRun asFile = Dump({"--file", path});
  std::remove(path.c_str());
  EXPECT_EQ(asFile.status, kdl::dump::kDumpBadInput);
  EXPECT_NE(asFile.err.find("is a pcapng capture file"), std::string::npos) << asFile.err;
  // --pcap on a file that is not there, or in a build without libpcap.
  DumpRun noCapture = Dump({"--pcap", path});
  EXPECT_EQ(noCapture.status, kdl::dump::kDumpBadInput);
  EXPECT_NE(noCapture.err.find(kdl::dump::CaptureSupported() ? "cannot read " + path
                                                             : "--pcap is not available in this build"),
            std::string::npos) << noCapture.err;

  // A stream that ends inside its second packet: the first still shows.
  std::string cut = std::string(kKeepAliveHex) + std::string(kLoginAckHex, 0, 72);  // 32 bytes
  DumpRun r = Dump({}, cut);
  EXPECT_EQ(r.status, kdl::dump::kDumpNotDecoded);
  EXPECT_NE(r.out.find("keep-alive"), std::string::npos);
  EXPECT_NE(r.err.find("the input ends mid-packet: the packet at byte 24 has Length 36 but "
                       "only 32 bytes remain"), std::string::npos) << r.err;

  DumpRun badRow = Dump({}, std::string(kLoginAckXxd) + "00000024: 03zz\n");
  EXPECT_EQ(badRow.status, kdl::dump::kDumpBadInput);
  EXPECT_NE(badRow.err.find("line 4: "), std::string::npos) << badRow.err;
  EXPECT_EQ(Dump({"--type", "no-such-packet", kKeepAliveHex}).status, kdl::dump::kDumpBadInput);
}

}  // namespace
