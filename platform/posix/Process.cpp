// Process facts on POSIX: executable path, local time, thread id, debugger
// output.
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Platform.h"

namespace kdl::plat {

std::string ExecutablePath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

LocalTime GetLocalTimeNow() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  // The calendar fields change once a second (offsets change on whole
  // seconds too): converted once per second and thread, not per call, since
  // the log writer asks for every line.
  thread_local time_t t_cachedSecond = -1;
  thread_local LocalTime t_cached;
  if (ts.tv_sec != t_cachedSecond) {
    const time_t secs = ts.tv_sec;
    struct tm tmv;
    if (localtime_r(&secs, &tmv) == nullptr) return LocalTime();
    LocalTime t;
    t.year = static_cast<uint16_t>(tmv.tm_year + 1900);
    t.month = static_cast<uint16_t>(tmv.tm_mon + 1);
    t.dayOfWeek = static_cast<uint16_t>(tmv.tm_wday);
    t.day = static_cast<uint16_t>(tmv.tm_mday);
    t.hour = static_cast<uint16_t>(tmv.tm_hour);
    t.minute = static_cast<uint16_t>(tmv.tm_min);
    // A leap second reads as second 59.
    t.second = static_cast<uint16_t>(tmv.tm_sec > 59 ? 59 : tmv.tm_sec);
    t_cached = t;
    t_cachedSecond = secs;
  }
  LocalTime t = t_cached;
  t.milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000L);
  return t;
}

namespace {

// The calling thread's id, read once: a system call per log line is the
// writer's largest cost. 0 means not read yet (no thread has id 0).
thread_local uint32_t t_threadId = 0;

// A forked child's only thread inherits the parent thread's cache but has an
// id of its own.
void ResetThreadIdInChild() { t_threadId = 0; }

void RegisterForkReset() {
  static const bool registered = pthread_atfork(nullptr, nullptr, &ResetThreadIdInChild) == 0;
  (void)registered;
}

}  // namespace

uint32_t CurrentThreadId() {
  uint32_t id = t_threadId;
  if (id != 0) return id;
  // Registered before the first value is cached, so no cache outlives a fork.
  RegisterForkReset();
  id = static_cast<uint32_t>(syscall(SYS_gettid));
  t_threadId = id;
  return id;
}

unsigned ThreadProcessorCount() {
  cpu_set_t cpus;
  if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 1;
  const int n = CPU_COUNT(&cpus);
  return n > 0 ? static_cast<unsigned>(n) : 1;
}

void DebugOutput(const char* text) {
  if (text == nullptr) return;
  std::fputs(text, stderr);
}

std::vector<std::string> ListProcessExecutables() {
  std::vector<std::string> names;
  DIR* d = opendir("/proc");
  if (d == nullptr) return names;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;  // process folders only
    const std::string link = std::string("/proc/") + e->d_name + "/exe";
    char buf[4096];
    ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
    if (n <= 0) continue;  // gone, or another user's
    std::string path(buf, static_cast<size_t>(n));
    names.push_back(path.substr(path.rfind('/') + 1));
  }
  closedir(d);
  return names;
}

bool PrepareTerminalOutput() {
  const char* term = std::getenv("TERM");
  return isatty(STDOUT_FILENO) == 1 && (term == nullptr || std::strcmp(term, "dumb") != 0);
}

void MakeStandardInputBinary() {}

}  // namespace kdl::plat
