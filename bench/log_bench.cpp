// Log writer throughput: lines through LogPrint with the default outputs less
// the console (the daily file, flushed after every line, and the shared
// ring), on one and two threads, next to spdlog writing the same lines to a
// basic file sink that flushes after every line; and the cost of a line whose
// level is masked out, alone and while another thread writes lines.
//
// Both files live in the writer's Log folder beside this executable, so they
// share a file system; each run starts them empty.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "log/LogWriter.h"

#if KELVANE_BENCH_HAVE_SPDLOG
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

constexpr uint32_t kOutputs = 0x0F & ~LOG_OUT_CONSOLE;  // file and shared ring

std::string g_strWriterDir;  // the writer's Log folder

// Empties every .log file of the Log folder. The writer keeps its file open
// in append mode, so it goes on writing at the new end.
void EmptyLogs() {
  for (const std::string& name : kdl::plat::ListDirectory(g_strWriterDir, "*.log")) {
    const std::string f = g_strWriterDir + "/" + name;
    if (truncate(f.c_str(), 0) != 0) std::perror(f.c_str());
  }
}
void TruncateLogs(const benchmark::State&) { EmptyLogs(); }

// The line both loggers write: a request result with a few numbers.
#define KBENCH_LINE_ARGS i, 0, 42u, "127.0.0.1"

void WriterLines(benchmark::State& state) {
  CLogWriter::Instance()->m_nOutputMask = kOutputs;
  uint32_t i = 0;
  for (auto _ : state) {
    LogPrint(LOG_INFO, "Request %u answered with %d in %u us from %s", KBENCH_LINE_ARGS);
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}

// One output at a time, to show where a line's time goes.
void WriterLinesTo(benchmark::State& state, uint32_t outputs) {
  CLogWriter::Instance()->m_nOutputMask = outputs;
  uint32_t i = 0;
  for (auto _ : state) {
    LogPrint(LOG_INFO, "Request %u answered with %d in %u us from %s", KBENCH_LINE_ARGS);
    ++i;
  }
  CLogWriter::Instance()->m_nOutputMask = kOutputs;
  state.SetItemsProcessed(state.iterations());
}

void WriterMasked(benchmark::State& state) {
  uint32_t i = 0;
  for (auto _ : state) {
    LogPrint(LOG_DEBUG, "Request %u answered with %d in %u us from %s", KBENCH_LINE_ARGS);
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}

// A masked-out line while another thread keeps the writer busy: if the level
// test took the writer's lock, this would cost a whole written line or more.
void WriterMaskedUnderLoad(benchmark::State& state) {
  CLogWriter::Instance()->m_nOutputMask = kOutputs;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> written{0};
  std::thread busy([&] {
    uint32_t i = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      LogPrint(LOG_INFO, "Request %u answered with %d in %u us from %s", KBENCH_LINE_ARGS);
      ++i;
    }
    written = i;
  });
  uint32_t i = 0;
  for (auto _ : state) {
    LogPrint(LOG_DEBUG, "Request %u answered with %d in %u us from %s", KBENCH_LINE_ARGS);
    ++i;
  }
  stop = true;
  busy.join();
  state.SetItemsProcessed(state.iterations());
  state.counters["busy_lines"] = static_cast<double>(written.load());
}

// Diagnostic: a second writer whose thread id is asked of the system once
// per thread instead of once per line, to show what that costs. It is named
// after a sibling of this executable, so it has its own file and ring.
uint32_t CachedThreadId() {
  thread_local uint32_t t_nId = kdl::plat::CurrentThreadId();
  return t_nId;
}

CLogWriter* g_pTidWriter = nullptr;

CLogWriter* TidCachedWriter() {
  if (g_pTidWriter == nullptr) {
    kdl::log::LogEnvironment env;
    env.threadId = CachedThreadId;
    env.executablePath = [] { return kdl::plat::ExecutablePath() + "_tid_cached"; };
    g_pTidWriter = new CLogWriter(env);
    g_pTidWriter->m_nOutputMask = kOutputs;
  }
  return g_pTidWriter;
}

void Write(CLogWriter* w, uint32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  w->WriteV(level, format, args);
  va_end(args);
}

void MakeTidCachedWriter(const benchmark::State& state) {
  TidCachedWriter();
  TruncateLogs(state);
}

void WriterTidCached(benchmark::State& state) {
  CLogWriter* w = g_pTidWriter;
  uint32_t i = 0;
  for (auto _ : state) {
    Write(w, LOG_INFO, "Request %u answered with %d in %u us from %s", KBENCH_LINE_ARGS);
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}

#if KELVANE_BENCH_HAVE_SPDLOG
std::shared_ptr<spdlog::logger> g_pSpd;

void SpdlogLines(benchmark::State& state) {
  uint32_t i = 0;
  for (auto _ : state) {
    g_pSpd->info("Request {} answered with {} in {} us from {}", KBENCH_LINE_ARGS);
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}

void SpdlogMasked(benchmark::State& state) {
  uint32_t i = 0;
  for (auto _ : state) {
    g_pSpd->debug("Request {} answered with {} in {} us from {}", KBENCH_LINE_ARGS);
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}
#endif

void RemoveBlock(CLogWriter* w) {
  kdl::plat::SharedBlockUnlink(w->SharedBlock().MemName(), w->SharedBlock().EventName());
}

// `--lines N [spdlog]`: writes N lines through LogPrint (or spdlog) as the
// benchmark does and exits, for counting system calls and instructions per
// line (strace -c -f, valgrind --tool=callgrind) against a run of 0 lines.
int WriteLines(const char* count, bool spdlog) {
  char* end = nullptr;
  const long n = std::strtol(count, &end, 10);
  if (end == count || *end != '\0' || n < 0) return 2;
#if !KELVANE_BENCH_HAVE_SPDLOG
  if (spdlog) return 2;
#endif
  for (uint32_t i = 0; i < static_cast<uint32_t>(n); ++i) {
#if KELVANE_BENCH_HAVE_SPDLOG
    if (spdlog) {
      g_pSpd->info("Request {} answered with {} in {} us from {}", KBENCH_LINE_ARGS);
      continue;
    }
#endif
    LogPrint(LOG_INFO, "Request %u answered with %d in %u us from %s", KBENCH_LINE_ARGS);
  }
  EmptyLogs();
  RemoveBlock(CLogWriter::Instance());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLogWriter* writer = CLogWriter::Instance();
  writer->m_nOutputMask = kOutputs;
  g_strWriterDir = writer->LogDirectory();
  if (access(g_strWriterDir.c_str(), W_OK) != 0) {
    std::fprintf(stderr, "log bench: cannot write to %s\n", g_strWriterDir.c_str());
    return 1;
  }
#if KELVANE_BENCH_HAVE_SPDLOG
  auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(
      g_strWriterDir + "/spdlog-baseline.log", /*truncate=*/true);
  g_pSpd = std::make_shared<spdlog::logger>("baseline", sink);
  // The writer's default prefix: time of day, thread, level.
  g_pSpd->set_pattern("[%H:%M:%S.%e]|[%t]|[%l]|%v");
  g_pSpd->set_level(spdlog::level::info);
  g_pSpd->flush_on(spdlog::level::trace);  // flush after every line
#endif
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--lines") == 0) {
    return WriteLines(argv[2], argc == 4 && std::strcmp(argv[3], "spdlog") == 0);
  }

  benchmark::RegisterBenchmark("Log/writer", WriterLines)
      ->Setup(TruncateLogs)->Threads(1)->Threads(2)->UseRealTime();
  benchmark::RegisterBenchmark("Log/writer_file_only", WriterLinesTo, LOG_OUT_FILE)
      ->Setup(TruncateLogs)->UseRealTime();
  benchmark::RegisterBenchmark("Log/writer_ring_only", WriterLinesTo, LOG_OUT_SHARED)
      ->UseRealTime();
  benchmark::RegisterBenchmark("Log/writer_tid_cached", WriterTidCached)
      ->Setup(MakeTidCachedWriter)->Threads(1)->Threads(2)->UseRealTime();
  benchmark::RegisterBenchmark("Log/writer_masked", WriterMasked);
  benchmark::RegisterBenchmark("Log/writer_masked_under_load", WriterMaskedUnderLoad)
      ->Setup(TruncateLogs);
#if KELVANE_BENCH_HAVE_SPDLOG
  benchmark::RegisterBenchmark("Log/spdlog", SpdlogLines)
      ->Setup(TruncateLogs)->Threads(1)->Threads(2)->UseRealTime();
  benchmark::RegisterBenchmark("Log/spdlog_masked", SpdlogMasked);
#else
  std::fprintf(stderr, "log bench: built without spdlog, no baseline\n");
#endif

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // Leave no large files and no shared blocks behind.
  EmptyLogs();
  RemoveBlock(writer);
  if (g_pTidWriter != nullptr) {
    g_pTidWriter->CloseFile();
    RemoveBlock(g_pTidWriter);
  }
  return 0;
}
