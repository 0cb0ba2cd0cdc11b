// The kelvane-dump command line: input forms, output forms, exit statuses.
#include "tools/dump/DumpCommand.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tools/dump/PacketDescribe.h"

namespace {

using kdl::dump::Json;

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
  EXPECT_NE(r.out.find("0x80020001 CPktToolLoginAck, 36 bytes, Length 36 (matches)"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n    ClientType: 2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n    Length: 36 (0x24)\n"), std::string::npos) << r.out;
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
  size_t n = kdl::dump::AllPacketCodes().size();
  EXPECT_NE(text.out.find("0x80020005  CPktToolSelectImgAck\n"), std::string::npos);
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
