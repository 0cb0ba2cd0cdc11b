// Four writer processes of one name flat out, a fifth opening the block among
// them, kelvane-logview following: no line torn or stale, every line counted.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/ProcessRunner.h"
#include "tests/log/LogTestEnv.h"

namespace {

constexpr int kWriters = 4;
constexpr int kLines = 10000;  // per writer

// Line `seq` of writer `id`: its length and letters depend on both, and it
// ends with both again, so that a line mixed from two shows.
std::string Text(int id, int seq) {
  const size_t pad = static_cast<size_t>(seq * 131 + id * 17) % 900;
  return "w" + std::to_string(id) + " " + std::to_string(seq) + " " +
         std::string(pad, static_cast<char>('a' + (seq + id) % 26)) + " " + std::to_string(id) +
         ":" + std::to_string(seq);
}

// A writer process: opens the block (an opening clears the ring), says so on
// `ready`, waits for a byte on `go`, writes its lines, saying on `half` when
// half are out.
pid_t StartWriter(int id, int ready, int go, int half) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  kdl::log::LogEnvironment env;
  env.executablePath = kdl::test::FixedExe;  // the test's name for all of them
  CLogWriter w(env);
  w.m_nOutputMask = LOG_OUT_SHARED;
  w.m_nPrefixMask = 0;
  char c = 0;
  if ((ready >= 0 && write(ready, "r", 1) != 1) || (go >= 0 && read(go, &c, 1) != 1)) _exit(3);
  for (int seq = 1; seq <= kLines; ++seq) {
    w.WriteAt("torture", 0, LOG_INFO, "%s", Text(id, seq).c_str());
    if (seq == kLines / 2 && half >= 0 && write(half, "h", 1) != 1) _exit(4);
  }
  _exit(0);
}

struct Tally {
  long shown = 0, lost = 0, torn = 0, stale = 0, restarts = 0;
  std::map<int, int> last;  // writer -> last seq shown
};

// Counts the viewer's lines between the two markers.
Tally Count(const std::string& output) {
  Tally t;
  bool inside = false;
  for (const std::string& line : kdl::test::SplitLines(output)) {
    long lost = 0;
    int id = 0, seq = 0;
    if (line == "[Info]|marker start" || line == "[Info]|marker end") {
      inside = line == "[Info]|marker start";
    } else if (!inside) {
      continue;
    } else if (std::sscanf(line.c_str(), "\xe2\x80\xa6 %ld line", &lost) == 1) {
      t.lost += lost;
    } else if (line == "\xe2\x80\xa6 writer restarted \xe2\x80\xa6") {
      ++t.restarts;
    } else if (std::sscanf(line.c_str(), "[Info]|w%d %d ", &id, &seq) == 2 &&
               line == "[Info]|" + Text(id, seq)) {
      ++t.shown;
      if (t.last.count(id) != 0 && seq <= t.last[id]) ++t.stale;
      t.last[id] = seq;
    } else {
      ADD_FAILURE() << "torn: " << ++t.torn << " " << line;
    }
  }
  return t;
}

using RingTorture = kdl::test::WriterTest;

}  // namespace

TEST_F(RingTorture, ManyWritersAndARestartNeverShowATornOrStaleLine) {
  int ready[2], go[2], half[2];
  ASSERT_TRUE(pipe(ready) == 0 && pipe(go) == 0 && pipe(half) == 0);
  Writer().m_nPrefixMask = 0;
  std::vector<pid_t> writers;
  for (int id = 1; id <= kWriters; ++id) {
    writers.push_back(StartWriter(id, ready[1], go[0], half[1]));
  }
  char c;
  for (int i = 0; i < kWriters; ++i) ASSERT_EQ(1, read(ready[0], &c, 1));

  // Every writer has opened the block; the viewer attaches to the ring as
  // it is now, which holds the start marker.
  kdl::test::Print(Writer(), LOG_INFO, "marker start");
  kdl::test::BackgroundProcess viewer;
  ASSERT_TRUE(viewer.Start({KELVANE_LOGVIEW_BIN, m_exeName}, m_dir + "/viewer.out"));
  ASSERT_TRUE(viewer.WaitForOutput("marker start", 30)) << viewer.Output();
  ASSERT_EQ(kWriters, write(go[1], "gggg", kWriters));
  // A fifth writer opens the block once the first is half way.
  ASSERT_EQ(1, read(half[0], &c, 1));
  writers.push_back(StartWriter(kWriters + 1, -1, -1, -1));
  for (pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  for (int fd : {ready[0], ready[1], go[0], go[1], half[0], half[1]}) close(fd);

  // Once the viewer shows the end marker it has dealt with every line before.
  kdl::test::Print(Writer(), LOG_INFO, "marker end");
  ASSERT_TRUE(viewer.WaitForOutput("marker end", 120));
  viewer.Stop();
  const Tally t = Count(viewer.Output());
  EXPECT_EQ(0, t.torn);
  EXPECT_EQ(0, t.stale);
  EXPECT_EQ(1, t.restarts);
  EXPECT_EQ((kWriters + 1) * kLines, t.shown + t.lost);
  EXPECT_GT(t.shown, 0);
}
