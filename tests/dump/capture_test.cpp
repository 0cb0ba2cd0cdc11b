// A synthetic capture with one packet of every type code, through
// kelvane-dump --pcap and through tshark with the generated dissector.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include "tests/dump/TestCapture.h"
#include "tests/e2e/ProcessRunner.h"
#include "tools/dump/DumpCommand.h"
#include "tools/dump/PacketDescribe.h"

namespace kdl::test {
namespace {

using dump::Json;

struct DumpRun {
  int status;
  std::string out, err;
};

DumpRun Dump(const std::vector<std::string>& args) {
  std::istringstream in;
  std::ostringstream out, err;
  int status = dump::RunDump(args, in, out, err);
  return {status, out.str(), err.str()};
}

std::vector<Json> JsonLines(const std::string& text) {
  std::vector<Json> rows;
  for (const std::string& line : SplitLines(text)) rows.push_back(Json::parse(line));
  return rows;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::istringstream in(s);
  for (std::string p; std::getline(in, p, sep);) parts.push_back(p);
  return parts;
}

class CaptureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    path = ::testing::TempDir() + "kelvane_capture_" + std::to_string(getpid()) + ".pcap";
    written = WriteTestCapture(KELVANE_CORPUS_DIR, path, &info, &why);
  }
  static void TearDownTestSuite() { std::remove(path.c_str()); }
  void SetUp() override { ASSERT_TRUE(written) << why; }

  // Every code of the tables decodes to its class; the packet sent in three
  // segments out of order (and one of them twice) comes out once.
  static void ExpectEveryCode(const std::map<uint32_t, std::string>& classes, int splitCount) {
    EXPECT_EQ(classes.size(), dump::AllPacketCodes().size());
    for (const dump::CodeRow& row : dump::AllPacketCodes()) {
      auto it = classes.find(row.code);
      EXPECT_TRUE(it != classes.end() && it->second == row.name) << dump::CodeText(row.code);
    }
    EXPECT_EQ(splitCount, 1);
  }

  static std::string path, why;
  static TestCapture info;
  static bool written;
};
std::string CaptureTest::path, CaptureTest::why;
TestCapture CaptureTest::info;
bool CaptureTest::written = false;

TEST_F(CaptureTest, KelvaneDumpDecodesEveryCode) {
  DumpRun r = Dump({"--pcap", path, "--json"});
  ASSERT_EQ(r.status, dump::kDumpOk) << r.err;
  EXPECT_NE(r.err.find("tool service on TCP port 8000 (discovery reply from 10.1.0.1 in frame 2)"),
            std::string::npos) << r.err;
  std::map<uint32_t, std::string> classes;
  int split = 0;
  for (const Json& p : JsonLines(r.out)) {
    uint32_t code = std::stoul(p["type"].get<std::string>(), nullptr, 16);
    classes[code] = p["class"];
    if (p["direction"] == "from server" && p["transport"] == "tcp") {
      EXPECT_EQ(code, TestCapture::kSplitCode);
      EXPECT_EQ(p["fields"]["Images"].size(), 2u);
      ++split;
    }
  }
  ExpectEveryCode(classes, split);

  DumpRun only = Dump({"--pcap", path, "--json", "--type", "image-list reply"});
  ASSERT_EQ(JsonLines(only.out).size(), 2u) << only.out;  // one each way
  EXPECT_NE(only.err.find(", 2 of them shown"), std::string::npos) << only.err;
}

TEST_F(CaptureTest, TsharkWithTheDissectorDecodesEveryCode) {
  if (std::string(KELVANE_TSHARK).empty()) GTEST_SKIP() << "tshark is not installed";
  // No TCP port preference: the port comes from the discovery reply.
  ProcessResult t = RunProcess(
      {KELVANE_TSHARK, "-r", path, "-X", "lua_script:" KELVANE_DISSECTOR, "-o",
       "tcp.reassemble_out_of_order:TRUE", "-o", "kelvane.tcp_port:0", "-Y", "kelvane", "-T",
       "fields", "-E", "aggregator=;", "-e", "tcp.srcport", "-e", "kelvane.type", "-e",
       "kelvane.class"},
      "", 120);
  ASSERT_EQ(t.exitCode, 0) << t.err;
  std::map<uint32_t, std::string> classes;
  int split = 0;
  for (const std::string& line : SplitLines(t.out)) {
    std::vector<std::string> cols = Split(line, '\t');
    ASSERT_EQ(cols.size(), 3u) << line;
    std::vector<std::string> types = Split(cols[1], ';'), names = Split(cols[2], ';');
    ASSERT_EQ(types.size(), names.size()) << line;
    for (size_t i = 0; i < types.size(); ++i) {
      uint32_t code = std::stoul(types[i], nullptr, 16);
      classes[code] = names[i];
      if (cols[0] == std::to_string(TestCapture::kServicePort)) {
        EXPECT_EQ(code, TestCapture::kSplitCode);
        ++split;
      }
    }
  }
  ExpectEveryCode(classes, split);
}

TEST_F(CaptureTest, ATruncatedCaptureIsReported) {
  std::string cut = path + ".cut";
  std::filesystem::copy_file(path, cut, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::resize_file(cut, std::filesystem::file_size(path) - 100);
  DumpRun r = Dump({"--pcap", cut});
  std::filesystem::remove(cut);
  EXPECT_EQ(r.status, dump::kDumpNotDecoded);
  EXPECT_NE(r.err.find("the capture file ends inside a record"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("CPktToolLogin (login request)"), std::string::npos);

  DumpRun header = Dump({"--pcap", KELVANE_CORPUS_DIR "/0x00000001"});
  EXPECT_EQ(header.status, dump::kDumpBadInput);
  EXPECT_NE(header.err.find("as a capture"), std::string::npos) << header.err;
}

}  // namespace
}  // namespace kdl::test
