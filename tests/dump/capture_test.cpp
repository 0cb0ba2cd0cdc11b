// A synthetic capture with one packet of every type code, through
// kelvane-dump --pcap and through tshark with the generated dissector.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include "describe/PacketDescribe.h"
#include "tests/dump/TestCapture.h"
#include "tests/e2e/ProcessRunner.h"
#include "tools/dump/DumpCommand.h"

namespace kdl::test {
namespace {

using describe::Json;

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
    EXPECT_EQ(classes.size(), describe::AllPacketCodes().size());
    for (const describe::CodeRow& row : describe::AllPacketCodes()) {
      auto it = classes.find(row.code);
      EXPECT_TRUE(it != classes.end() && it->second == row.name) << describe::CodeText(row.code);
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

// Little-endian head of `type` whose Length says `length`.
CaptureBytes Head(uint32_t type, uint32_t length) {
  CaptureBytes b(24);
  for (int i = 0; i < 4; ++i) b[4 + i] = uint8_t(type >> (8 * i)), b[8 + i] = uint8_t(length >> (8 * i));
  return b;
}

// A Length that disagrees with a datagram, bytes after a packet's fields, 50
// stream bytes the capture lacks, and a Length that cannot frame a packet.
// No discovery reply: the stream is found by its first head.
TEST_F(CaptureTest, FaultsAreShownAndDecodingGoesOn) {
  const std::string faults = path + ".faults.pcap";
  const uint32_t tool = 0x0a010002, server = 0x0a010001, seq = 100;
  const uint8_t push = PcapFile::kAck | PcapFile::kPsh;
  {
    PcapFile p(faults);
    p.Udp(tool, 40002, 0xffffffff, 800, Head(0x00020000, 30));
    CaptureBytes ack = Head(0x80020001, 40);
    ack.resize(40);
    p.Tcp(tool, 40002, server, 9000, seq, 0, push, ack);
    p.Tcp(tool, 40002, server, 9000, seq + 40 + 50, 0, push, Head(0x00000001, 24));
    p.Tcp(tool, 40002, server, 9000, seq + 40 + 50 + 24, 0, push, Head(0x00000001, 10));
  }
  DumpRun r = Dump({"--pcap", faults, "--json"});
  EXPECT_EQ(r.status, dump::kDumpNotDecoded);
  EXPECT_NE(r.err.find("no discovery reply and no --port"), std::string::npos) << r.err;
  std::vector<Json> rows = JsonLines(r.out);
  ASSERT_EQ(rows.size(), 5u) << r.out;
  EXPECT_EQ(rows[0]["length_ok"], false);
  EXPECT_EQ(rows[1]["surplus"], "00000000");
  EXPECT_NE(rows[2]["error"].get<std::string>().find(
                "50 bytes of the stream were not captured after stream byte 40"),
            std::string::npos) << rows[2];
  EXPECT_EQ(rows[3]["name"], "keep-alive");  // the next segment that starts a packet
  EXPECT_NE(rows[4]["error"].get<std::string>().find("has Length 10, which cannot frame"),
            std::string::npos) << rows[4];

  if (std::string(KELVANE_TSHARK).empty()) return;
  ProcessResult t = RunProcess({KELVANE_TSHARK, "-r", faults, "-X", "lua_script:" KELVANE_DISSECTOR,
                                "-o", "kelvane.tcp_port:9000", "-T", "fields", "-e",
                                "_ws.expert.message"},
                               "", 120);
  std::filesystem::remove(faults);
  for (const char* warning : {"Length 30, but the datagram holds 24 bytes",
                              "Length 40, but the fields end after 36 bytes",
                              "Length 10 cannot frame a packet"})
    EXPECT_NE(t.out.find(warning), std::string::npos) << warning << "\n" << t.out << t.err;
}

// kelvane-dump as a program reading pipes: a capture on standard input
// (--pcap -, as from tcpdump -w -) decodes as the file does, --count stops
// it, --file reads standard input and /dev/stdin; a folder is refused.
TEST_F(CaptureTest, TheProgramReadsCapturesAndBytesFromPipes) {
  const std::string capture = ReadFile(path);
  const std::string dump = KELVANE_DUMP_BIN;
  ProcessResult fromFile = RunProcess({dump, "--pcap", path, "--json"}, "", 60);
  ProcessResult piped = RunProcess({dump, "--pcap", "-", "--json"}, capture, 60);
  ASSERT_EQ(piped.exitCode, 0) << piped.err;
  EXPECT_EQ(piped.out, fromFile.out);
  EXPECT_EQ(SplitLines(piped.out).size(), info.codes + 1);  // the split packet both ways
  EXPECT_NE(piped.err.find("tool service on TCP port 8000"), std::string::npos) << piped.err;

  ProcessResult three = RunProcess({dump, "--pcap", "/dev/stdin", "--json", "--count", "3"},
                                   capture, 60);
  EXPECT_EQ(three.exitCode, 0) << three.err;
  ASSERT_EQ(SplitLines(three.out).size(), 3u) << three.out;
  EXPECT_EQ(three.out, fromFile.out.substr(0, three.out.size()));

  const std::string login = ReadFile(KELVANE_CORPUS_DIR "/0x00020001");
  for (const char* name : {"-", "/dev/stdin"}) {
    ProcessResult bytes = RunProcess({dump, "--json", "--file", name}, login, 60);
    EXPECT_EQ(bytes.exitCode, 0) << name << ": " << bytes.err;
    EXPECT_NE(bytes.out.find("\"name\":\"login request\""), std::string::npos) << bytes.out;
  }
  ProcessResult folder = RunProcess({dump, "--file", ::testing::TempDir()}, "", 60);
  EXPECT_EQ(folder.exitCode, 2);
  EXPECT_NE(folder.err.find("is a folder, not a file"), std::string::npos) << folder.err;
}

// HTTP on the service port beside a stream of the protocol: kelvane-dump
// and the dissector both leave it alone and decode the other stream.
TEST_F(CaptureTest, OtherTrafficOnTheServicePortIsNotClaimed) {
  const std::string mixed = path + ".http.pcap";
  const uint32_t tool = 0x0a010002, server = 0x0a010001;
  const uint8_t push = PcapFile::kAck | PcapFile::kPsh;
  const std::string get = "GET /index.html HTTP/1.1\r\nHost: 10.1.0.1:8000\r\n\r\n";
  {
    PcapFile p(mixed);
    p.Tcp(tool, 40010, server, 8000, 1, 0, push, CaptureBytes(get.begin(), get.end()));
    p.Tcp(tool, 40011, server, 8000, 1, 0, push, Head(0x00000001, 24));
  }
  DumpRun r = Dump({"--pcap", mixed, "--json", "--port", "8000"});
  EXPECT_EQ(r.status, dump::kDumpOk) << r.err;
  std::vector<Json> rows = JsonLines(r.out);
  ASSERT_EQ(rows.size(), 1u) << r.out;
  EXPECT_EQ(rows[0]["name"], "keep-alive");

  if (std::string(KELVANE_TSHARK).empty()) return;
  ProcessResult t = RunProcess({KELVANE_TSHARK, "-r", mixed, "-X", "lua_script:" KELVANE_DISSECTOR,
                                "-T", "fields", "-e", "tcp.srcport", "-e", "frame.protocols",
                                "-e", "kelvane.type"},
                               "", 120);
  std::filesystem::remove(mixed);
  std::vector<std::string> lines = SplitLines(t.out);
  ASSERT_EQ(lines.size(), 2u) << t.out << t.err;
  EXPECT_EQ(lines[0].find("kelvane"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(":kelvane\t0x00000001"), std::string::npos) << lines[1];
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
