// The kelvane executable against a stand-in library: which requests it sends
// with which parameters, what it prints, its exit status, and how a shell
// session logs in again after the link closed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "tests/e2e/ProcessRunner.h"

namespace kdl::test {
namespace {

class HostProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    calls = ::testing::TempDir() + "kelvane_calls_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::remove(calls.c_str());
  }
  void TearDown() override { std::remove(calls.c_str()); }

  ProcessResult Host(std::vector<std::string> args, const std::string& input = "",
                     std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {KELVANE_HOST_BIN, "--lib", KELVANE_FAKE_LIB};
    argv.insert(argv.end(), args.begin(), args.end());
    env.push_back("KELVANE_FAKE_CALLS=" + calls);
    return RunProcess(argv, input, 60, env);
  }
  std::vector<std::string> Calls() { return SplitLines(ReadFile(calls)); }

  std::string calls;
};

TEST_F(HostProcessTest, EachCommandDiscoversLogsInAndSendsItsRequest) {
  ProcessResult r = Host({"--json", "--name", "tool-7", "images"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // stdout holds only the JSON: the library's console line went to stderr.
  EXPECT_EQ(r.out,
            "{\"result\":0,\"images\":["
            "{\"image_id\":1,\"name\":\"base\",\"param1\":1,\"server_ip\":\"10.77.0.1\","
            "\"server_port\":8000},"
            "{\"image_id\":2,\"name\":\"caf\xEF\xBF\xBD\",\"param1\":2,\"server_ip\":\"10.77.0.1\","
            "\"server_port\":8000}]}\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Calls(), (std::vector<std::string>{"1", "2 name=tool-7", "3", "stop"}));

  // -v shows the library's console lines on stderr, never on stdout.
  ProcessResult verbose = Host({"discover", "-v"});
  EXPECT_EQ(verbose.out, "server    10.77.0.1\ntcp port  8000\nresult: 0 (ok)\n");
  EXPECT_EQ(verbose.err, "[00:00:00.000]|[0001]|[Info]|fake library started\n");
}

TEST_F(HostProcessTest, ParametersReachTheLibraryInItsLayouts) {
  ASSERT_EQ(Host({"create", "new image", "4", "9"}).exitCode, 0);
  ASSERT_EQ(Host({"select", "0x2A"}).exitCode, 0);
  ASSERT_EQ(Host({"set-admin", "4294967295"}).exitCode, 0);
  ASSERT_EQ(Host({"cancel-admin", "1", "200", "see you"}).exitCode, 0);
  ASSERT_EQ(Host({"heartbeat"}).exitCode, 0);
  ASSERT_EQ(Host({"--name", std::string(32, 'n'), "login"}).exitCode, 0);
  // A name longer than the login field is refused, not cut.
  ProcessResult longName = Host({"--name", std::string(33, 'n'), "login"});
  EXPECT_EQ(longName.exitCode, 2);
  EXPECT_NE(longName.err.find("--name: must hold at most 32 bytes"), std::string::npos);
  std::vector<std::string> c = Calls();
  auto has = [&](const std::string& line) {
    return std::find(c.begin(), c.end(), line) != c.end();
  };
  EXPECT_TRUE(has("5 name=new image p1=4 p2=9"));
  EXPECT_TRUE(has("6 value=42"));
  EXPECT_TRUE(has("7 value=4294967295"));
  EXPECT_TRUE(has("8 flags=1,200 text=see you"));
  EXPECT_TRUE(has("9"));
  EXPECT_TRUE(has("2 name=" + std::string(32, 'n')));
  EXPECT_FALSE(has("2 name=" + std::string(33, 'n')));
}

TEST_F(HostProcessTest, AFailingStepIsNamedAndStopsTheCommand) {
  ProcessResult r = Host({"--json", "snapshots"}, "", {"KELVANE_FAKE_RESULTS=2=5"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "{\"result\":5,\"failed_step\":\"login\"}\n");
  EXPECT_NE(r.err.find("kelvane: login failed: result 5 (server error code 5)"),
            std::string::npos) << r.err;
  EXPECT_EQ(Calls(), (std::vector<std::string>{"1", "2 name=kelvane", "stop"}));

  // In text mode the failure goes to stderr, once; stdout carries results only.
  ProcessResult d = Host({"images"}, "", {"KELVANE_FAKE_RESULTS=1=1"});
  EXPECT_EQ(d.exitCode, 1);
  EXPECT_EQ(d.out, "");
  EXPECT_EQ(d.err, "kelvane: discover failed: result 1 (local failure: fake failure of request 1)\n");

  // The command's own request failing with a server code keeps its reply.
  ProcessResult s = Host({"--json", "select", "9"}, "", {"KELVANE_FAKE_RESULTS=6=3"});
  EXPECT_EQ(s.exitCode, 1);
  EXPECT_EQ(s.out, "{\"result\":3,\"failed_step\":\"select\",\"succ\":true,"
                   "\"path\":\"/images/base.img\"}\n");
  // ...while 1 (nothing stored) shows no records, but what kind of no-answer it was.
  ProcessResult t = Host({"--json", "images"}, "", {"KELVANE_FAKE_RESULTS=3=1"});
  EXPECT_EQ(t.out, "{\"result\":1,\"failure\":\"local\",\"failed_step\":\"images\"}\n");
  ProcessResult late = Host({"--json", "images"}, "", {"KELVANE_FAKE_TIMEOUT=3"});
  EXPECT_EQ(late.out, "{\"result\":1,\"failure\":\"timeout\",\"failed_step\":\"images\"}\n");
  EXPECT_EQ(late.err, "kelvane: images failed: result 1 (no reply within 3 s)\n");
}

TEST_F(HostProcessTest, ReadableOutputAndHelp) {
  ProcessResult r = Host({"snapshots"});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("SNAPSHOT"), std::string::npos);
  EXPECT_LT(r.out.find("three"), r.out.find("seven"));
  EXPECT_NE(r.out.find("2026-03-04 05:06:07"), std::string::npos);
  EXPECT_NE(r.out.find("result: 0 (ok)"), std::string::npos);

  ProcessResult help = RunProcess({KELVANE_HOST_BIN, "cancel-admin", "--help"}, "", 30);
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("cancel-admin [OPTIONS] FLAG1 FLAG2 TEXT"), std::string::npos);
  ProcessResult usage = RunProcess({KELVANE_HOST_BIN, "select", "x"}, "", 30);
  EXPECT_EQ(usage.exitCode, 2);
  EXPECT_NE(usage.err.find("IMAGE_ID: must be a number"), std::string::npos);
}

TEST_F(HostProcessTest, LibraryThatCannotBeLoadedOrStarted) {
  ProcessResult missing =
      RunProcess({KELVANE_HOST_BIN, "--json", "--lib", "/nonexistent/libKelvaneDll.so", "images"},
                 "", 30);
  EXPECT_EQ(missing.exitCode, 3);
  EXPECT_EQ(missing.out, "{\"result\":1,\"failed_step\":\"load\"}\n");
  EXPECT_NE(missing.err.find("/nonexistent/libKelvaneDll.so"), std::string::npos);

  ProcessResult env = RunProcess({KELVANE_HOST_BIN, "--json", "discover"}, "", 30,
                                 {std::string("KELVANE_LIB=") + KELVANE_FAKE_LIB});
  EXPECT_EQ(env.exitCode, 0) << env.err;

  ProcessResult start = Host({"--json", "images"}, "", {"KELVANE_FAKE_START=0"});
  EXPECT_EQ(start.exitCode, 3);
  EXPECT_EQ(start.out, "{\"result\":1,\"failed_step\":\"start\"}\n");
  EXPECT_TRUE(Calls().empty());
}

TEST_F(HostProcessTest, ShellLogsInOnceAndAgainAfterTheLinkClosed) {
  // The link closes right after the images reply (call 3).
  ProcessResult r = Host({"--json", "shell"}, "images\n# comment\n\nsnapshots\nheartbeat\n", {
      "KELVANE_FAKE_CLOSE_AFTER=3"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> out = SplitLines(r.out);
  ASSERT_EQ(out.size(), 3u) << r.out;
  EXPECT_EQ(out[0].rfind("{\"command\":\"images\",\"result\":0,\"images\":[", 0), 0u);
  EXPECT_EQ(out[1].rfind("{\"command\":\"snapshots\",\"result\":0,\"snapshots\":[", 0), 0u);
  EXPECT_EQ(out[2], "{\"command\":\"heartbeat\",\"result\":0}");
  EXPECT_NE(r.err.find("the server closed the link"), std::string::npos);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"1", "2 name=kelvane", "3", "2 name=kelvane", "4",
                                               "9", "stop"}));
  // --quiet keeps the notice off stderr.
  ProcessResult quiet = Host({"--json", "--quiet", "shell"}, "images\nsnapshots\n",
                             {"KELVANE_FAKE_CLOSE_AFTER=3"});
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(SplitLines(quiet.out).size(), 2u) << quiet.out;
  EXPECT_EQ(quiet.err, "");
}

TEST_F(HostProcessTest, ShellRepeatsARequestThatFoundTheLinkClosed) {
  ProcessResult r = Host({"--json", "shell"}, "images\nsnapshots\n", {"KELVANE_FAKE_CLOSE_DURING=4"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Calls(), (std::vector<std::string>{"1", "2 name=kelvane", "3", "4",
                                               "2 name=kelvane", "4", "stop"}));
  // A create is not repeated: its first attempt may have reached the server.
  std::remove(calls.c_str());
  ProcessResult c = Host({"--json", "shell"}, "images\ncreate x 1\n", {"KELVANE_FAKE_CLOSE_DURING=4"});
  EXPECT_EQ(c.exitCode, 1);
  EXPECT_EQ(SplitLines(c.out).back(),
            "{\"command\":\"create x 1\",\"result\":1,\"failure\":\"closed\","
            "\"failed_step\":\"create\"}");
}

TEST_F(HostProcessTest, FailuresAreNamedTruthfullyAndOnlyReadsAreSentTwice) {
  const struct {
    std::vector<std::string> args;
    std::string failures;  // KELVANE_FAKE_FAIL
    std::string out;
    std::vector<std::string> calls;
    std::string says;
  } cases[] = {
      // Closed under the images request, sent again after a new login, whose
      // link is gone before the close is told: closed both times.
      {{"--json", "images"}, "3:close,5:late",
       R"({"result":1,"failure":"closed","failed_step":"images","repeated":true})",
       {"1", "2 name=kelvane", "3", "2 name=kelvane", "3"},
       "images failed: result 1 (the server closed the link before the request could be sent)"},
      // Requests that act on the server are never sent twice...
      {{"--json", "set-admin", "5"}, "3:close",
       R"({"result":1,"failure":"closed","failed_step":"set-admin"})",
       {"1", "2 name=kelvane", "7 value=5"}, "not sent again"},
      {{"--json", "cancel-admin", "1", "2", "t"}, "3:close",
       R"({"result":1,"failure":"closed","failed_step":"cancel-admin"})",
       {"1", "2 name=kelvane", "8 flags=1,2 text=t"}, "not sent again"},
      // ... but one that could not be sent at all is sent after a new login.
      {{"--json", "create", "x", "1"}, "3:late", R"({"result":0})",
       {"1", "2 name=kelvane", "5 name=x p1=1 p2=0", "2 name=kelvane", "5 name=x p1=1 p2=0"},
       "the server closed the link; logging in again to send create\n"},
      // The snapshots step failed; trying again stopped at the login.
      {{"--json", "snapshots"}, "3:close,4:error",
       R"({"result":1,"failure":"closed","failed_step":"snapshots","repeat_failed_step":"login"})",
       {"1", "2 name=kelvane", "4", "2 name=kelvane"},
       "trying it again failed at login: result 1 (local failure: fake local failure)"},
      // Closed by the library: a read is sent once more, after a new login.
      {{"--json", "images"}, "3:protocol,5:protocol",
       R"({"result":1,"failure":"protocol","failed_step":"images","repeated":true})",
       {"1", "2 name=kelvane", "3", "2 name=kelvane", "3"},
       "(the library closed the link: the server sent a packet head"},
      {{"--json", "images"}, "3:owed", R"({"result":0,"images":[)",
       {"1", "2 name=kelvane", "3", "2 name=kelvane", "3"},
       "kelvane: the library closed the link: it still owed a reply of that kind after another "
       "time-out; logging in again to send images once more\n"},
      {{"--", "--json", "images"}, "", "", {}, "unknown command \"--json\""},
      {{"--json", "--", "images"}, "", R"({"result":0,"images":[)", {"1", "2 name=kelvane", "3"},
       ""},
  };
  for (const auto& c : cases) {
    std::remove(calls.c_str());
    ProcessResult r = Host(c.args, "", {"KELVANE_FAKE_FAIL=" + c.failures});
    EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << c.failures;
    std::vector<std::string> expected = c.calls;
    if (!expected.empty()) expected.push_back("stop");
    EXPECT_EQ(Calls(), expected) << c.failures;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("the server closed") != std::string::npos,
              c.failures.find("close") != std::string::npos ||
                  c.failures.find("late") != std::string::npos) << r.err;
  }

  // A select that timed out, whose link the library then closed, is not
  // sent again; the next line logs in again.
  std::remove(calls.c_str());
  ProcessResult owed = Host({"--json", "shell"}, "select 1\nselect 1\nimages\n",
                            {"KELVANE_FAKE_FAIL=4:owed"});
  std::vector<std::string> out = SplitLines(owed.out);
  ASSERT_EQ(out.size(), 3u) << owed.out;
  EXPECT_EQ(out[1],
            R"({"command":"select 1","result":1,"failure":"timeout","failed_step":"select"})");
  EXPECT_EQ(Calls(), (std::vector<std::string>{"1", "2 name=kelvane", "6 value=1", "6 value=1",
                                               "2 name=kelvane", "3", "stop"}));
  EXPECT_NE(owed.err.find("kelvane: the library closed the link: it still owed a reply of that "
                          "kind after another time-out; the next command logs in again"),
            std::string::npos) << owed.err;
  EXPECT_EQ(owed.err.find("the server closed"), std::string::npos) << owed.err;
}

TEST_F(HostProcessTest, ShellReportsBadLinesGoesOnAndExitsWithTheWorstStatus) {
  ProcessResult r = Host({"--json", "shell"}, "frobnicate\nselect \"open\nimages\nquit\nheartbeat\n");
  EXPECT_EQ(r.exitCode, 2);
  std::vector<std::string> out = SplitLines(r.out);
  ASSERT_EQ(out.size(), 3u) << r.out;
  EXPECT_EQ(out[0], "{\"command\":\"frobnicate\",\"error\":\"unknown command \\\"frobnicate\\\"\"}");
  EXPECT_EQ(out[1], "{\"command\":\"select \\\"open\",\"error\":\"unterminated quote\"}");
  // Nothing after quit runs.
  std::vector<std::string> c = Calls();
  EXPECT_EQ(std::count(c.begin(), c.end(), "9"), 0);

  ProcessResult last = Host({"shell"}, "images\nselect\n");
  EXPECT_EQ(last.exitCode, 2);
  EXPECT_NE(last.out.find("kelvane> images"), std::string::npos);

  // Four failing lines, then a good one: still a failure.
  std::remove(calls.c_str());
  ProcessResult worst = Host({"shell"}, "select 1\nselect 2\nselect 3\nselect 4\nimages\n",
                             {"KELVANE_FAKE_RESULTS=6=3"});
  EXPECT_EQ(worst.exitCode, 1);
  // --stop-on-error ends at the first failing line.
  std::remove(calls.c_str());
  ProcessResult stop = Host({"--json", "shell", "--stop-on-error"}, "images\nselect 9\nimages\n",
                            {"KELVANE_FAKE_RESULTS=6=3"});
  EXPECT_EQ(stop.exitCode, 1);
  EXPECT_EQ(SplitLines(stop.out).size(), 2u) << stop.out;
  EXPECT_EQ(Calls(), (std::vector<std::string>{"1", "2 name=kelvane", "3", "6 value=9", "stop"}));
}

}  // namespace
}  // namespace kdl::test
