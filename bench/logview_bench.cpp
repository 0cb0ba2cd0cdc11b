// kelvane-logview following a writer in this process: 100,000 lines written
// as fast as the writer goes, or one second of lines at a given rate, read by
// the viewer from the shared ring and printed to a pipe that this process
// reads back; and following four writer processes of one name flat out.
//
// Counters of each run:
//   shown_per_second  lines the viewer printed, per second of writing
//   lost_reported     lines the viewer reported lost (overwritten unread)
//   lost_unreported   lines missing from its output without a report: lines
//                     it dropped although the ring still held them (must be 0)
//   idle_cpu_percent  (Idle run) the viewer's CPU use while nothing is written
// and of the run with four writer processes of one name:
//   shown, lost       lines the viewer printed, and reported lost
//   torn              lines printed that no writer wrote (must be 0)
//   out_of_order      lines printed after a later one of the same writer (must be 0)
//   unaccounted       lines neither printed nor reported lost (must be 0)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "log/LogWriter.h"

namespace {

constexpr int kLines = 100000;
std::string g_exe;
std::string BenchExe() { return g_exe; }

// The viewer's output, read on a thread: which lines came, and the losses.
struct Tally {
  long total = 0;  // lines the writer publishes
  long shown = 0, lostReported = 0, outOfOrder = 0, last = 0;
  bool done = false;
};

void ReadOutput(int fd, Tally* t) {
  FILE* in = fdopen(fd, "r");
  char line[2048];
  while (in != nullptr && std::fgets(line, sizeof(line), in) != nullptr) {
    const char* text = std::strstr(line, "]|line ");
    long lost = 0;
    if (text != nullptr) {
      const long n = std::atol(text + 7);
      if (n <= t->last) ++t->outOfOrder;
      t->last = n;
      ++t->shown;
      if (n == t->total) t->done = true;
    } else if (std::sscanf(line, "\xe2\x80\xa6 %ld line", &lost) == 1) {
      t->lostReported += lost;
    }
  }
  if (in != nullptr) std::fclose(in);
}

// Viewer process with its standard output on a pipe.
pid_t StartViewer(const std::string& name, int* readFd, const char* backlog = "0") {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    execl(KELVANE_LOGVIEW_BIN, KELVANE_LOGVIEW_BIN, "-n", backlog, name.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  *readFd = fds[0];
  return pid;
}

// CPU time of a process in seconds: /proc/<pid>/schedstat counts it in ns.
double CpuSeconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/schedstat");
  unsigned long long ns = 0;
  f >> ns;
  return static_cast<double>(ns) / 1e9;
}

// One run: a fresh writer and viewer; `rate` lines per second (0: flat out).
void Follow(benchmark::State& state, long rate, bool idle) {
  char dir[] = "/tmp/kvlvbench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return state.SkipWithError("mkdtemp failed");
  const std::string name = "kvlvbench_" + std::to_string(getpid());
  g_exe = std::string(dir) + "/" + name;
  const std::string mem = "Global\\" + name + ".mem", evt = "Global\\" + name + ".evt";
  kdl::plat::SharedBlockUnlink(mem, evt);
  kdl::log::LogEnvironment env;
  env.executablePath = BenchExe;
  auto writer = std::make_unique<CLogWriter>(env);
  writer->m_nOutputMask = LOG_OUT_SHARED;
  writer->WriteAt("bench", 0, LOG_INFO, "ready");  // the block exists for the viewer

  int fd = -1;
  const pid_t viewer = StartViewer(name, &fd);
  Tally tally;
  tally.total = rate > 0 ? std::min<long>(rate, kLines) : kLines;
  std::thread reader(ReadOutput, fd, &tally);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // attached and waiting
  double idleCpu = 0;
  if (idle) {
    const double before = CpuSeconds(viewer);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    idleCpu = (CpuSeconds(viewer) - before) / 2 * 100;
  }

  const auto start = std::chrono::steady_clock::now();
  // Paced in bursts of 16 lines (far below the ring's 127) with a sleep
  // between them, so that the writer does not take a CPU from the viewer.
  for (long n = 1; n <= tally.total; ++n) {
    if (rate > 0 && n % 16 == 1) {
      std::this_thread::sleep_until(start + std::chrono::nanoseconds(n * 1000000000LL / rate));
    }
    writer->WriteAt("bench", 0, LOG_INFO, "line %ld", n);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the viewer catches up
  kill(viewer, SIGTERM);
  waitpid(viewer, nullptr, 0);
  reader.join();
  writer.reset();
  kdl::plat::SharedBlockUnlink(mem, evt);
  std::filesystem::remove_all(dir);

  state.SetIterationTime(seconds);
  state.counters["writer_per_second"] = tally.total / seconds;
  state.counters["shown_per_second"] = tally.shown / seconds;
  state.counters["lost_reported"] = static_cast<double>(tally.lostReported);
  state.counters["lost_unreported"] =
      static_cast<double>(tally.total - tally.shown - tally.lostReported + tally.outOfOrder);
  if (idle) state.counters["idle_cpu_percent"] = idleCpu;
  if (!tally.done && tally.lostReported == 0) state.SkipWithError("the last line never came");
}

void LogviewFollow(benchmark::State& state) {
  for (auto _ : state) Follow(state, state.range(0), state.range(0) == 0);
}

// ---- four writer processes of one name ---------------------------------------

constexpr int kWriters = 4;
constexpr int kWriterLines = 100000;

// Line `seq` of writer `id`; it carries both twice, so a mixed line shows.
std::string WriterText(int id, int seq) {
  return "w" + std::to_string(id) + " " + std::to_string(seq) + " " +
         std::string(static_cast<size_t>(seq % 64), 'x') + " " + std::to_string(id) + ":" +
         std::to_string(seq);
}

// A writer process: opens the block, says so on `ready`, waits for `go`,
// writes its lines flat out to the ring alone, ends.
[[noreturn]] void RunWriter(int id, int ready, int go) {
  kdl::log::LogEnvironment env;
  env.executablePath = BenchExe;
  CLogWriter w(env);
  w.m_nOutputMask = LOG_OUT_SHARED;
  w.m_nPrefixMask = 0;
  char c = 0;
  if (write(ready, "r", 1) != 1 || read(go, &c, 1) != 1) _exit(3);
  for (int seq = 1; seq <= kWriterLines; ++seq) {
    w.WriteAt("bench", 0, LOG_INFO, "%s", WriterText(id, seq).c_str());
  }
  _exit(0);
}

// The viewer's lines of the writers, from the start marker to the end one.
struct WritersTally {
  long shown = 0, lost = 0, torn = 0, outOfOrder = 0;
  int last[kWriters + 1] = {};
  bool started = false;
  std::atomic<bool> ended{false};
};

void ReadWritersOutput(int fd, WritersTally* t) {
  FILE* in = fdopen(fd, "r");
  char buf[2048];
  while (in != nullptr && std::fgets(buf, sizeof(buf), in) != nullptr) {
    std::string line(buf);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    long lost = 0;
    int id = 0, seq = 0;
    if (line == "[Info]|start" || line == "[Info]|end") {
      t->started = t->started || line == "[Info]|start";
      if (line == "[Info]|end") t->ended = true;
    } else if (!t->started || t->ended) {
      continue;
    } else if (std::sscanf(line.c_str(), "\xe2\x80\xa6 %ld line", &lost) == 1) {
      t->lost += lost;
    } else if (std::sscanf(line.c_str(), "[Info]|w%d %d ", &id, &seq) == 2 && id >= 1 &&
               id <= kWriters && line == "[Info]|" + WriterText(id, seq)) {
      ++t->shown;
      if (seq <= t->last[id]) ++t->outOfOrder;
      t->last[id] = seq;
    } else {
      ++t->torn;
    }
  }
  if (in != nullptr) std::fclose(in);
}

// One run: the writer processes open the block, the viewer attaches, all
// four write at once; the bench's own writer marks the start and the end.
void FollowWriters(benchmark::State& state) {
  char dir[] = "/tmp/kvlvbench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return state.SkipWithError("mkdtemp failed");
  const std::string name = "kvlvwriters_" + std::to_string(getpid());
  g_exe = std::string(dir) + "/" + name;
  const std::string mem = "Global\\" + name + ".mem", evt = "Global\\" + name + ".evt";
  kdl::log::LogEnvironment env;
  env.executablePath = BenchExe;
  auto marker = std::make_unique<CLogWriter>(env);
  marker->m_nOutputMask = LOG_OUT_SHARED;
  marker->m_nPrefixMask = 0;
  int ready[2], go[2];
  if (pipe(ready) != 0 || pipe(go) != 0) return state.SkipWithError("pipe failed");
  pid_t writers[kWriters];
  for (int id = 1; id <= kWriters; ++id) {
    writers[id - 1] = fork();
    if (writers[id - 1] == 0) RunWriter(id, ready[1], go[0]);
  }
  char c;
  for (int i = 0; i < kWriters; ++i) {
    if (read(ready[0], &c, 1) != 1) state.SkipWithError("a writer did not start");
  }
  marker->WriteAt("bench", 0, LOG_INFO, "start");
  int fd = -1;
  const pid_t viewer = StartViewer(name, &fd, "127");
  WritersTally tally;
  std::thread reader(ReadWritersOutput, fd, &tally);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // attached and waiting

  const auto start = std::chrono::steady_clock::now();
  if (write(go[1], "gggg", kWriters) != kWriters) state.SkipWithError("go failed");
  for (pid_t pid : writers) waitpid(pid, nullptr, 0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  marker->WriteAt("bench", 0, LOG_INFO, "end");
  // Once the viewer shows the end marker it has dealt with every line.
  for (int i = 0; i < 2000 && !tally.ended; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(viewer, SIGTERM);
  waitpid(viewer, nullptr, 0);
  reader.join();
  for (int p : {ready[0], ready[1], go[0], go[1]}) close(p);
  marker.reset();
  kdl::plat::SharedBlockUnlink(mem, evt);
  std::filesystem::remove_all(dir);

  state.SetIterationTime(seconds);
  state.counters["writers_per_second"] = kWriters * kWriterLines / seconds;
  state.counters["shown"] = static_cast<double>(tally.shown);
  state.counters["lost"] = static_cast<double>(tally.lost);
  state.counters["torn"] = static_cast<double>(tally.torn);
  state.counters["out_of_order"] = static_cast<double>(tally.outOfOrder);
  state.counters["unaccounted"] =
      static_cast<double>(kWriters * kWriterLines - tally.shown - tally.lost);
  if (!tally.ended) state.SkipWithError("the end marker never came");
}

void LogviewFollowWriters(benchmark::State& state) {
  for (auto _ : state) FollowWriters(state);
}

}  // namespace

// Paced rates, then flat out (0), which also measures the idle viewer.
BENCHMARK(LogviewFollow)
    ->ArgName("rate")
    ->Arg(10000)
    ->Arg(25000)
    ->Arg(50000)
    ->Arg(100000)
    ->Arg(200000)
    ->Arg(400000)
    ->Arg(0)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Four writer processes of one name, 100,000 lines each, flat out.
BENCHMARK(LogviewFollowWriters)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
