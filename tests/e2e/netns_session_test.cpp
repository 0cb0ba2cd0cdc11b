// Whole sessions over a real network: kelvane-server in one private network
// namespace, the kelvane host tool with the real library in another, joined
// by a veth pair. Needs root; skips with the reason otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>

#include "tests/e2e/HostCopy.h"
#include "tests/e2e/PrivateNetwork.h"
#include "tests/e2e/ProcessRunner.h"

namespace kdl::test {
namespace {

namespace fs = std::filesystem;

// One line of the daily log file, cut into its fields.
struct LogLine {
  std::string level;
  std::string text;
  std::string whole;  // as written, without its line feed
};

std::string Today() {
  std::time_t now = std::time(nullptr);
  std::tm tm;
  localtime_r(&now, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
  return buf;
}

class NetnsSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = PrivateNetwork::WhyUnavailable();
    if (!why.empty()) GTEST_SKIP() << "skipped: " << why;
    std::string error;
    if (!net.Create(&error)) GTEST_SKIP() << "skipped: cannot create network namespaces: " << error;
    // A copy of the host tool under a name of its own: its Log folder, daily
    // file and shared ring are this test's alone.
    ASSERT_TRUE(host.Make("kelvane-e2e", "kv" + std::to_string(getpid()) + "t"));
    dayBefore = Today();
  }

  void TearDown() override {
    server.Stop();
    net.Remove();
  }

  void StartServer(std::vector<std::string> args) {
    std::vector<std::string> argv = {KELVANE_SERVER_BIN, "--images", KELVANE_EXAMPLE_IMAGES,
                                     "--client-type", "3", "--manager-enable", "1",
                                     "--ext-info", "7"};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_TRUE(server.Start(net.InServer(argv), host.dir + "/server.out"));
    ASSERT_TRUE(server.WaitForOutput("tool service on tcp", 30)) << server.Output();
  }

  ProcessResult Host(std::vector<std::string> args, const std::string& input = "") {
    std::vector<std::string> argv = {host.exePath};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(net.InTool(argv), input, 90);
  }

  // The daily file: the only file in the Log folder beside the executable,
  // named after the executable and the day.
  std::vector<LogLine> DailyLog() {
    std::vector<LogLine> lines;
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(host.dir + "/Log", ec))
      files.push_back(e.path().filename().string());
    EXPECT_EQ(files.size(), 1u);
    if (files.size() != 1) return lines;
    std::string dayAfter = Today();
    EXPECT_TRUE(files[0] == host.exeName + dayBefore + ".log" || files[0] == host.exeName + dayAfter + ".log")
        << files[0];
    static const std::regex kLine(
        R"(^\[\d\d:\d\d:\d\d\.\d\d\d\]\|\[[0-9a-f]{4,}\]\|\[(\w+)\]\|(.*)$)");
    for (const std::string& l : SplitLines(ReadFile(host.dir + "/Log/" + files[0]))) {
      std::smatch m;
      if (std::regex_match(l, m, kLine))
        lines.push_back({m[1], m[2], l});
      else
        lines.push_back({"", l, l});  // continuation of a multi-line message
    }
    return lines;
  }

  static bool HasLine(const std::vector<LogLine>& log, const std::string& level,
                      const std::string& text) {
    for (const auto& l : log)
      if (l.level == level && l.text == text) return true;
    return false;
  }
  static size_t CountPrefix(const std::vector<LogLine>& log, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const LogLine& l) {
      return l.text.rfind(prefix, 0) == 0;
    }));
  }
  static std::string Dump(const std::vector<LogLine>& log) {
    std::string s;
    for (const auto& l : log) s += l.whole + "\n";
    return s;
  }

  PrivateNetwork net;
  BackgroundProcess server;
  HostCopy host;
  std::string dayBefore;
};

TEST_F(NetnsSessionTest, FullSession) {
  StartServer({});
  ProcessResult r = Host({"--json", "shell"},
                         "discover\nlogin\nimages\nsnapshots\ncreate e2e-image 1 2\n"
                         "create E2E-IMAGE 1 2\nimages\nselect 2\nselect 99\nset-admin 5\n"
                         "cancel-admin 1 0 \"all done\"\nheartbeat\n");
  // The shell's status is the worst of its lines: the refused create and select.
  ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
  std::vector<std::string> out = SplitLines(r.out);
  ASSERT_EQ(out.size(), 12u) << r.out;
  const std::string image1 =
      R"({"image_id":1,"name":"base-desktop","param1":1,"server_ip":"10.77.0.1","server_port":8000})";
  const std::string image2 =
      R"({"image_id":2,"name":"classroom","param1":2,"server_ip":"10.77.0.1","server_port":8000})";
  const std::string image3 =
      R"({"image_id":3,"name":"lab-tools","param1":1,"server_ip":"10.77.0.1","server_port":8000})";
  const std::string image4 =
      R"({"image_id":4,"name":"e2e-image","param1":1,"server_ip":"10.77.0.1","server_port":8000})";
  EXPECT_EQ(out[0], R"({"command":"discover","result":0,"server_ip":"10.77.0.1","server_port":8000})");
  EXPECT_EQ(out[1], R"({"command":"login","result":0,"client_type":3,"manager_enable":1,"ext_info":7})");
  EXPECT_EQ(out[2], R"({"command":"images","result":0,"images":[)" + image1 + "," + image2 + "," +
                        image3 + "]}");
  EXPECT_EQ(out[3],
            R"({"command":"snapshots","result":0,"snapshots":[)"
            R"({"snapshot_id":101,"image_id":1,"image_param3":40960,"param2":1,"param3":0,)"
            R"("param4":0,"param5":0,"param6":0,"text":"fresh install","time":"2026-01-05 08:30:00"},)"
            R"({"snapshot_id":102,"image_id":1,"image_param3":40960,"param2":2,"param3":101,)"
            R"("param4":0,"param5":0,"param6":0,"text":"drivers updated","time":"2026-02-11 17:45:12"},)"
            R"({"snapshot_id":201,"image_id":2,"image_param3":81920,"param2":1,"param3":0,)"
            R"("param4":0,"param5":0,"param6":0,"text":"term start","time":"2026-03-02 07:00:00"}]})");
  EXPECT_EQ(out[4], R"({"command":"create e2e-image 1 2","result":0})");
  EXPECT_EQ(out[5], R"({"command":"create E2E-IMAGE 1 2","result":17,"failed_step":"create"})");
  EXPECT_EQ(out[6], R"({"command":"images","result":0,"images":[)" + image1 + "," + image2 + "," +
                        image3 + "," + image4 + "]}");
  EXPECT_EQ(out[7], R"({"command":"select 2","result":0,"succ":true,)"
                    R"("path":"/srv/kelvane/images/classroom.img"})");
  EXPECT_EQ(out[8],
            R"({"command":"select 99","result":3,"failed_step":"select","succ":false,"path":""})");
  EXPECT_EQ(out[9], R"({"command":"set-admin 5","result":0})");
  EXPECT_EQ(out[10], R"({"command":"cancel-admin 1 0 \"all done\"","result":0})");
  EXPECT_EQ(out[11], R"({"command":"heartbeat","result":0})");

  // The server saw the requests with the host's parameters, on one link.
  server.Stop();
  std::string log = server.Output();
  for (const char* expect :
       {"udp 10.77.0.2:", "login name=\"kelvane\" -> err=0",
        "create name=\"e2e-image\" param1=1 param2=2 -> err=0 image_id=4",
        "create name=\"E2E-IMAGE\" param1=1 param2=2 -> err=17", "set-admin param1=0 param2=5",
        "cancel-admin flags=1,0 text=\"all done\" -> err=0", "heartbeat -> no reply expected"})
    EXPECT_NE(log.find(expect), std::string::npos) << expect << "\n" << log;
  size_t connects = 0;
  for (const auto& l : SplitLines(log)) connects += l.find(" connected") != std::string::npos;
  EXPECT_EQ(connects, 1u) << log;
}

TEST_F(NetnsSessionTest, DiscoveryWithoutAServerTimesOut) {
  ProcessResult r = Host({"--json", "discover"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.out, "{\"result\":1,\"failure\":\"timeout\",\"failed_step\":\"discover\"}\n");
  EXPECT_GE(r.seconds, 2.9);
  EXPECT_EQ(r.err, "kelvane: discover failed: result 1 (no reply within 3 s)\n");
  auto log = DailyLog();
  EXPECT_TRUE(HasLine(log, "Error", "Wait Discover Server Pack Overtime.")) << Dump(log);
}

TEST_F(NetnsSessionTest, LoginThatIsNotAnswered) {
  StartServer({"--no-reply", "login"});
  ProcessResult r = Host({"--json", "images"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "{\"result\":1,\"failure\":\"timeout\",\"failed_step\":\"login\"}\n");
  EXPECT_GE(r.seconds, 2.9);
  EXPECT_NE(r.err.find("login failed"), std::string::npos) << r.err;
  auto log = DailyLog();
  EXPECT_TRUE(HasLine(log, "Error", "Wait Login Server Pack Overtime.")) << Dump(log);
  EXPECT_EQ(CountPrefix(log, "RetLoginServer"), 0u);
  EXPECT_NE(server.Output().find("login name=\"kelvane\" -> err=0"), std::string::npos);
  EXPECT_EQ(server.Output().find(" images -> "), std::string::npos) << server.Output();
}

TEST_F(NetnsSessionTest, LinkClosedMidSessionIsReportedAndTheNextCommandLogsInAgain) {
  StartServer({"--close-after", "2"});
  ProcessResult r = Host({"--json", "shell"}, "images\nsnapshots\nselect 1\n");
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  std::vector<std::string> out = SplitLines(r.out);
  ASSERT_EQ(out.size(), 3u) << r.out;
  EXPECT_EQ(out[0].rfind(R"({"command":"images","result":0,"images":[{"image_id":1,)", 0), 0u)
      << out[0];
  EXPECT_EQ(out[1].rfind(R"({"command":"snapshots","result":0,"snapshots":[{"snapshot_id":101,)", 0),
            0u) << out[1];
  EXPECT_EQ(out[2], R"({"command":"select 1","result":0,"succ":true,)"
                    R"("path":"/srv/kelvane/images/base-desktop.img"})");
  EXPECT_NE(r.err.find("the server closed the link"), std::string::npos) << r.err;

  auto log = DailyLog();
  EXPECT_EQ(CountPrefix(log, "TcpConnect m_hTcpLink: "), 3u) << Dump(log);
  EXPECT_GE(CountPrefix(log, "TcpClosed hLink:"), 2u) << Dump(log);
  server.Stop();
  std::string srv = server.Output();
  size_t logins = 0, closes = 0;
  for (const auto& l : SplitLines(srv)) {
    logins += l.find("login name=") != std::string::npos;
    closes += l.find("closed after 2 requests [fault]") != std::string::npos;
  }
  EXPECT_EQ(logins, 3u) << srv;
  EXPECT_EQ(closes, 3u) << srv;
}

TEST_F(NetnsSessionTest, FaultsOfTheNthRequestLetAScriptRetry) {
  StartServer({"--fail", "select@1=5", "--no-reply", "images@1"});
  ProcessResult r = Host({"--json", "shell"}, "select 1\nselect 1\nimages\nimages\n");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  std::vector<std::string> out = SplitLines(r.out);
  ASSERT_EQ(out.size(), 4u) << r.out;
  EXPECT_EQ(out[0].rfind(R"({"command":"select 1","result":5,"failed_step":"select")", 0), 0u)
      << out[0];
  EXPECT_EQ(out[1], R"({"command":"select 1","result":0,"succ":true,)"
                    R"("path":"/srv/kelvane/images/base-desktop.img"})");
  EXPECT_EQ(out[2], R"({"command":"images","result":1,"failure":"timeout","failed_step":"images"})");
  EXPECT_EQ(out[3].rfind(R"({"command":"images","result":0,"images":[{"image_id":1,)", 0), 0u)
      << out[3];
  // The first images reply never came, so the second images' reply was
  // taken for it: the library closed the link, and the read was sent once
  // more on a new one.
  EXPECT_NE(out[3].find(R"(,"repeated":true})"), std::string::npos) << out[3];
  EXPECT_NE(r.err.find("kelvane: the library closed the link: it still owed a reply of that kind "
                       "after another time-out; logging in again to send images once more"),
            std::string::npos) << r.err;
}

TEST_F(NetnsSessionTest, DiscoverReplyWithABadLengthIsDumpedAndDropped) {
  StartServer({"--bad-length", "discover=+8"});
  ProcessResult r = Host({"--json", "discover"});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.out, "{\"result\":1,\"failure\":\"timeout\",\"failed_step\":\"discover\"}\n");
  auto log = DailyLog();
  auto it = std::find_if(log.begin(), log.end(), [](const LogLine& l) {
    return l.level == "Error" && std::regex_match(l.text, std::regex(
        R"(CNetProtocolEvent Link\[[0-9a-f]{4,}\] LenInvalid Failed PktLen=40 cbSize=32 DstIP:Port=10\.77\.0\.1:800\.)"));
  });
  ASSERT_NE(it, log.end()) << Dump(log);
  // The dump follows: an Info line whose text starts on the next line.
  ASSERT_LT(it + 2, log.end());
  EXPECT_EQ((it + 1)->level, "Info");
  EXPECT_EQ((it + 1)->text, "");
  EXPECT_EQ((it + 2)->whole, "00 00 00 00 00 00 02 80  28 00 00 00 00 00 00 00  "
                             "00 00 00 00 00 00 00 00  01 00 00 00 40 1F 00 00 ");
  EXPECT_TRUE(HasLine(log, "Error", "Wait Discover Server Pack Overtime.")) << Dump(log);
  EXPECT_TRUE(server.Alive());
}

TEST_F(NetnsSessionTest, ReplyOfAnUnknownTypeIsDumpedAndTheRequestTimesOut) {
  StartServer({"--unknown-type", "images"});
  ProcessResult r = Host({"--json", "images"});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "{\"result\":1,\"failure\":\"timeout\",\"failed_step\":\"images\"}\n");
  EXPECT_GE(r.seconds, 2.9);
  auto log = DailyLog();
  auto it = std::find_if(log.begin(), log.end(), [](const LogLine& l) {
    return l.level == "Warning" &&
           std::regex_match(l.text, std::regex(R"(CNetProtocolEvent Link\[[0-9a-f]{4,}\] )"
                                               R"(OnTcpRecvUnkownPacket PktSize=40\.)"));
  });
  ASSERT_NE(it, log.end()) << Dump(log);
  ASSERT_LT(it + 3, log.end());
  EXPECT_EQ((it + 1)->level, "Info");
  EXPECT_EQ((it + 2)->whole, "00 00 00 00 01 00 FE 00  28 00 00 00 00 00 00 00  "
                             "00 00 00 00 00 00 00 00  A0 A1 A2 A3 A4 A5 A6 A7 ");
  EXPECT_EQ((it + 3)->whole, "A8 A9 AA AB AC AD AE AF ");
  EXPECT_TRUE(HasLine(log, "Error", "Wait Query Image List Pack Overtime.")) << Dump(log);
  EXPECT_TRUE(server.Alive());
}

TEST_F(NetnsSessionTest, TcpFrameWithAnImpossibleLengthEndsTheLink) {
  StartServer({"--bad-length", "login=12"});
  ProcessResult r = Host({"--json", "login"});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exitCode, 1);
  // The library's close ended the login at once: not a time-out, and not
  // the server's close.
  // A login is sent once more after that, and fails the same way.
  EXPECT_EQ(r.out, "{\"result\":1,\"failure\":\"protocol\",\"failed_step\":\"login\","
                   "\"repeated\":true}\n");
  auto log = DailyLog();
  bool protocolError = std::any_of(log.begin(), log.end(), [](const LogLine& l) {
    return l.level == "Error" &&
           std::regex_match(l.text, std::regex(R"(CNetProtocolEvent Link\[[0-9a-f]{4,}\] )"
                                               R"(OnTcpErrProtocol RemoteIP:Port=10\.77\.0\.1:8000\.)"));
  });
  EXPECT_TRUE(protocolError) << Dump(log);
  EXPECT_GE(CountPrefix(log, "TcpClosed hLink:"), 1u) << Dump(log);
  // The close ends the waiting login at once: it never runs into its time-out.
  EXPECT_FALSE(HasLine(log, "Error", "Wait Login Server Pack Overtime.")) << Dump(log);
  EXPECT_NE(r.err.find("login failed: result 1 (the library closed the link: the server sent a "
                       "packet head with a Length below 24 or above 16 MiB)"),
            std::string::npos) << r.err;
  EXPECT_TRUE(server.Alive());
}

TEST_F(NetnsSessionTest, AServerThatClosesAfterEachRequestIsToldAsTheClose) {
  StartServer({"--close-after", "1"});
  for (int i = 0; i < 3; ++i) {
    ProcessResult r = Host({"--json", "images"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out.rfind(R"({"result":1,"failure":"closed","failed_step":"images")", 0), 0u)
        << r.out << r.err;
  }
}

TEST_F(NetnsSessionTest, NormalSessionWritesExactLinesToTheFileAndTheRing) {
  StartServer({});
  ProcessResult r = Host({"--json", "--quiet", "shell"}, "images\nselect 2\n");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto log = DailyLog();
  ASSERT_EQ(log.size(), 5u) << Dump(log);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(log[0].text, m, std::regex(R"(TcpCreate m_hTcpLink:(\d+))")))
      << log[0].text;
  const std::string link = m[1];
  const std::vector<std::string> expected = {
      "TcpCreate m_hTcpLink:" + link,
      "TcpConnect m_hTcpLink: " + link + ", IP: 10.77.0.1, Port: 8000",
      "RetLoginServer ClientType:3, ManagerEnable:1",
      "RetQueryImageList ServerIP:172818433, ServerPort:8000",  // 10.77.0.1 as a number
      "RetSelectImageInfo bSucc:1",
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(log[i].level, "Info");
    EXPECT_EQ(log[i].text, expected[i]);
  }

  // The shared ring, named after the executable: the same lines, level first.
  const std::string mem = "Global\\" + host.exeName + ".mem";
  const size_t kBlock = 0x20000;
  kdl::plat::SharedBlockHandles h = kdl::plat::SharedBlockOpenExisting(mem, "", kBlock);
  ASSERT_NE(h.view, nullptr) << "no shared block " << mem;
  const void* view = h.view;
  const auto* block = static_cast<const uint8_t*>(view);
  auto word = [&](size_t at) {
    return uint32_t(block[at]) | uint32_t(block[at + 1]) << 8 | uint32_t(block[at + 2]) << 16 |
           uint32_t(block[at + 3]) << 24;
  };
  EXPECT_EQ(word(4), 5u);  // next slot
  for (size_t i = 0; i < 5; ++i) {
    const size_t slot = 12 + i * 1020;
    EXPECT_EQ(word(slot), 4u) << "level of slot " << i;
    std::string line(reinterpret_cast<const char*>(block + slot + 4),
                     strnlen(reinterpret_cast<const char*>(block + slot + 4), 1016));
    EXPECT_EQ(line, log[i].whole + "\n") << "slot " << i;
  }
  EXPECT_EQ(word(12 + 5 * 1020), 0u);  // nothing after the last line
  kdl::plat::SharedBlockClose(h, kBlock);
}

}  // namespace
}  // namespace kdl::test
