// kelvane-logview following the log writer of this test process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/shm.h>
#include <unistd.h>

#include <ctime>

#include <nlohmann/json.hpp>

#include "KelvaneVersion.h"
#include "tests/e2e/ProcessRunner.h"
#include "tests/log/LogTestEnv.h"

using kdl::log::LogLevelName;
using kdl::test::BackgroundProcess;
using kdl::test::RunProcess;

namespace {

const std::string kViewer = KELVANE_LOGVIEW_BIN;

uint32_t LevelOf(int n) { return 1u << (n % 6); }  // every level the writer passes

// The writer's fixed 09:05:03.007 with the date the viewer gives it: the
// last day on which that time has come.
std::string DatedWriterTime() {
  std::time_t now = std::time(nullptr);
  std::tm day = *std::localtime(&now);
  if (day.tm_hour * 3600 + day.tm_min * 60 + day.tm_sec < 9 * 3600 + 5 * 60 + 4) day.tm_mday -= 1;
  day.tm_isdst = -1;
  std::mktime(&day);  // normalises the day before the first of a month
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d 09:05:03.007", &day);
  return text;
}

class LogviewProcess : public kdl::test::WriterTest {
 protected:
  void Lines(int from, int to) {
    for (int n = from; n <= to; ++n) kdl::test::Print(Writer(), LevelOf(n), "line %d", n);
  }
  std::string Out() const { return m_dir + "/viewer.out"; }
};

}  // namespace

// Every line once, in order, with its level; an overrun while the viewer is
// stopped; a restarted writer; a block removed and made anew; a name taken
// from under both; Ctrl-C.
TEST_F(LogviewProcess, FollowsAWriterThroughOverrunAndRestarts) {
  Lines(0, 0);
  BackgroundProcess viewer;
  ASSERT_TRUE(viewer.Start({kViewer, "--json", m_exeName}, Out()));
  ASSERT_TRUE(viewer.WaitForOutput("\"line 0\"", 10)) << viewer.Output();
  for (int n = 1; n <= 300; n += 50) {  // never more than the ring holds ahead
    Lines(n, n + 49);
    ASSERT_TRUE(viewer.WaitForOutput("\"line " + std::to_string(n + 49) + "\"", 10));
  }
  ASSERT_EQ(0, kill(viewer.Pid(), SIGSTOP));
  Lines(301, 800);
  ASSERT_EQ(0, kill(viewer.Pid(), SIGCONT));
  ASSERT_TRUE(viewer.WaitForOutput("\"line 800\"", 10)) << viewer.Output();

  m_writer.reset();  // a new writer opens the block and zeroes it
  kdl::test::Print(Writer(), LOG_INFO, "after restart");
  ASSERT_TRUE(viewer.WaitForOutput("after restart", 10));
  m_writer.reset();
  kdl::plat::SharedBlockUnlink(m_mem, m_evt);
  kdl::test::Print(Writer(), LOG_ERROR, "in a new block");
  ASSERT_TRUE(viewer.WaitForOutput("in a new block", 10)) << viewer.Output();
  // Another process removes the name and puts a small segment under its
  // key: writer and viewer go on in their block.
  ASSERT_EQ(0, shmctl(kdl::plat::SharedBlockSegment(m_mem), IPC_RMID, nullptr));
  const int small = shmget(kdl::plat::SharedBlockKey(m_mem), 4096, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(small, 0);
  kdl::test::Print(Writer(), LOG_ERROR, "still followed");
  const bool followed = viewer.WaitForOutput("still followed", 10);
  shmctl(small, IPC_RMID, nullptr);
  ASSERT_TRUE(followed) << viewer.Output();
  EXPECT_EQ(0, viewer.Stop());

  std::vector<nlohmann::json> want;
  auto line = [](int n) {
    return nlohmann::json{{"time", DatedWriterTime()}, {"thread", "0a1c"},
                          {"level", LogLevelName(LevelOf(n))}, {"text", "line " + std::to_string(n)}};
  };
  for (int n = 0; n <= 300; ++n) want.push_back(line(n));
  want.push_back({{"lost", 800 - 300 - 127}});
  for (int n = 800 - 126; n <= 800; ++n) want.push_back(line(n));
  for (const char* text : {"after restart", "in a new block", "still followed"}) {
    if (text[0] != 's') want.push_back({{"restart", true}});
    want.push_back(line(0));
    want.back()["text"] = text;
    want.back()["level"] = text[0] == 'a' ? "Info" : "Error";
  }
  std::vector<nlohmann::json> got;
  for (const std::string& l : kdl::test::SplitLines(viewer.Output())) {
    got.push_back(nlohmann::json::parse(l));
  }
  ASSERT_EQ(want.size(), got.size()) << viewer.Output();
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(want[i], got[i]) << i;
}

// --wait for a host that starts later; the ring's last lines with -n and
// --no-follow, counted after the filters; --list; a missing block; output
// that cannot be written; usage errors; --version.
TEST_F(LogviewProcess, WaitsListsAndPrintsTheRing) {
  BackgroundProcess waiting;
  ASSERT_TRUE(waiting.Start({kViewer, "--wait", m_exeName}, Out()));
  ASSERT_TRUE(waiting.WaitForOutput("waiting for", 10));
  kdl::test::Print(Writer(), LOG_WARNING, "late line");
  ASSERT_TRUE(waiting.WaitForOutput("[09:05:03.007]|[0a1c]|[Warning]|late line\n", 10))
      << waiting.Output();
  EXPECT_EQ(0, waiting.Stop());

  kdl::test::Print(Writer(), LOG_INFO, "keep info");
  kdl::test::Print(Writer(), LOG_ERROR, "keep error");
  auto r = RunProcess({kViewer, "--no-follow", "-n", "2", m_exeName}, "", 20);
  EXPECT_EQ("[09:05:03.007]|[0a1c]|[Info]|keep info\n[09:05:03.007]|[0a1c]|[Error]|keep error\n",
            r.out);
  r = RunProcess({kViewer, "--no-follow", "--level", "warning", "--grep", "keep",
                  "--color=always", m_exeName}, "", 20);
  EXPECT_EQ("\033[31m[09:05:03.007]|[0a1c]|[Error]|keep error\033[0m\n", r.out);
  kdl::test::Print(Writer(), LOG_INFO, "last info");
  r = RunProcess({kViewer, "--no-follow", "-n", "2", "--level", "Warning", m_exeName}, "", 20);
  EXPECT_EQ("[09:05:03.007]|[0a1c]|[Warning]|late line\n[09:05:03.007]|[0a1c]|[Error]|keep error\n",
            r.out);
  r = RunProcess({"/bin/sh", "-c", "exec \"$0\" --no-follow \"$1\" >/dev/full", kViewer, m_exeName},
                 "", 20);
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ("kelvane-logview: cannot write the output: No space left on device\n", r.err);

  r = RunProcess({kViewer, "--list"}, "", 20);
  EXPECT_NE(std::string::npos, r.out.find("4 lines published  " + m_mem)) << r.out;

  r = RunProcess({kViewer, m_exeName + "_none"}, "", 20);
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("no log block")) << r.err;
  r = RunProcess({kViewer, "--version"}, "", 20);
  EXPECT_EQ(std::string("kelvane-logview ") + KELVANE_VERSION + "\n", r.out);
  for (const auto& bad : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-n", "-3", "x"}, "--lines: must be a number from 0 to 2147483647 (decimal or 0x "
                               "hex), not \"-3\""},
           {{"--color", "x", "x"}, "--color: must be auto, always or never, not \"x\""},
           {{"--level"}, "--level needs a value (--level LEVEL)"},
           {{"--follow", "x"}, "unknown option --follow"}}) {
    std::vector<std::string> argv = {kViewer};
    argv.insert(argv.end(), bad.first.begin(), bad.first.end());
    r = RunProcess(argv, "", 20);
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("kelvane-logview: " + bad.second + "\nTry 'kelvane-logview --help' for more "
              "information.\n", r.err);
  }
  r = RunProcess({kViewer, "--help"}, "", 20);
  EXPECT_NE(std::string::npos, r.out.find("  --color WHEN  ")) << r.out;
}
