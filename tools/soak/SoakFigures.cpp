#include "tools/soak/SoakFigures.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "client/KelvaneDll.h"
#include "tools/host/Failure.h"

namespace kdl::soak {
namespace {

// TcpConnect gives up after this long (transport/TcpTransport.cpp); a login
// connects before it waits.
constexpr uint32_t kConnectLimitMs = 3000;
// Wrong answers and records described in the figures, per outcome.
constexpr uint32_t kDetailsKept = 8;

struct KindRow {
  uint32_t type;
  const char* name;
};
constexpr KindRow kKindRows[kKinds] = {
    {KELVANE_ASK_DISCOVER, "discover"},         {KELVANE_ASK_LOGIN, "login"},
    {KELVANE_ASK_IMAGE_LIST, "images"},         {KELVANE_ASK_IMAGE_INFO, "snapshots"},
    {KELVANE_ASK_CREATE_IMAGE, "create"},       {KELVANE_ASK_SELECT_IMAGE, "select"},
    {KELVANE_ASK_SET_ADMIN, "set-admin"},       {KELVANE_ASK_CANCEL_ADMIN, "cancel-admin"},
    {KELVANE_ASK_HEARTBEAT, "heartbeat"},
};

const char* const kOutcomeNames[kOutcomes] = {
    "own", "timeout", "closed", "local", "wrong", "bad record", "unexpected", "altered",
};

// Counts the entries of a folder (without . and the like), adding up their
// sizes into `bytes` if given; 0 when it cannot be read.
uint32_t CountEntries(const std::string& path, uint64_t* bytes) {
  DIR* dir = opendir(path.c_str());
  if (!dir) return 0;
  uint32_t n = 0;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    ++n;
    struct stat st;
    if (bytes && stat((path + "/" + e->d_name).c_str(), &st) == 0) *bytes += st.st_size;
  }
  closedir(dir);
  return n;
}

std::string Mib(uint64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", bytes / (1024.0 * 1024.0));
  return buf;
}

}  // namespace

const char* KindName(int kind) { return kKindRows[kind].name; }
uint32_t AskType(int kind) { return kKindRows[kind].type; }
const char* OutcomeName(int outcome) { return kOutcomeNames[outcome]; }

Sample SampleProcess(const std::string& logDir) {
  Sample s;
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  if (statm >> size >> resident)
    s.rssBytes = resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  // The folder's own descriptor, open while it is read, is not counted.
  const uint32_t fds = CountEntries("/proc/self/fd", nullptr);
  s.openFds = fds > 0 ? fds - 1 : 0;
  CountEntries(logDir, &s.logBytes);
  return s;
}

void SoakFigures::BeginPhase(const std::string& name, const Sample& now, double atSeconds) {
  Finish(now, atSeconds);
  PhaseFigures p;
  p.name = name;
  p.start = now;
  p.seconds = -atSeconds;  // the end adds its time
  m_phases.push_back(p);
}

void SoakFigures::Finish(const Sample& now, double atSeconds) {
  if (m_phases.empty() || m_phases.back().seconds >= 0) return;
  m_phases.back().end = now;
  m_phases.back().seconds += atSeconds;
}

void SoakFigures::Count(int kind, Outcome outcome, uint32_t ms, const std::string& detail) {
  ++m_counts[kind][outcome];
  m_longestMs[kind] = std::max(m_longestMs[kind], ms);
  if (!m_phases.empty()) {
    ++m_phases.back().outcomes[outcome];
    m_phases.back().longestMs = std::max(m_phases.back().longestMs, ms);
  }
  if (!detail.empty() && m_detailsPerOutcome[outcome]++ < kDetailsKept) {
    const std::string phase = m_phases.empty() ? "" : m_phases.back().name + ": ";
    m_details.push_back(phase + KindName(kind) + " " + OutcomeName(outcome) + ": " + detail);
  }
}

uint64_t SoakFigures::Total(Outcome o) const {
  uint64_t n = 0;
  for (int k = 0; k < kKinds; ++k) n += m_counts[k][o];
  return n;
}

uint32_t SoakFigures::BoundMs(int kind) {
  return AskType(kind) == KELVANE_ASK_LOGIN ? kConnectLimitMs + kReplyWaitMs : kReplyWaitMs;
}

bool SoakFigures::Passed(uint32_t slackMs) const {
  if (Total(kWrong) || Total(kBadRecord) || Total(kUnexpected)) return false;
  for (int k = 0; k < kKinds; ++k)
    if (m_longestMs[k] > BoundMs(k) + slackMs) return false;
  return true;
}

std::string SoakFigures::Table(uint32_t slackMs) const {
  std::string t = "| request |";
  for (int o = 0; o < kOutcomes; ++o) t += std::string(" ") + OutcomeName(o) + " |";
  t += " longest ms | bound ms |\n|---|";
  for (int o = 0; o <= kOutcomes + 1; ++o) t += "---:|";
  t += "\n";
  uint64_t all[kOutcomes] = {};
  for (int k = 0; k < kKinds; ++k) {
    t += std::string("| ") + KindName(k) + " |";
    for (int o = 0; o < kOutcomes; ++o) {
      t += " " + std::to_string(m_counts[k][o]) + " |";
      all[o] += m_counts[k][o];
    }
    t += " " + std::to_string(m_longestMs[k]) + " | " + std::to_string(BoundMs(k)) + " |\n";
  }
  t += "| all |";
  for (int o = 0; o < kOutcomes; ++o) t += " " + std::to_string(all[o]) + " |";
  t += " | |\n\n";

  t += "| phase | s | requests | own | 1 | wrong | bad record | unexpected | altered | "
       "longest ms | RSS MiB start | end | fds start | end | log KiB start | end |\n"
       "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const PhaseFigures& p : m_phases) {
    uint64_t n = 0;
    for (uint64_t c : p.outcomes) n += c;
    const uint64_t ones = p.outcomes[kTimeout] + p.outcomes[kClosed] + p.outcomes[kLocal];
    char secs[16];
    std::snprintf(secs, sizeof secs, "%.0f", std::max(0.0, p.seconds));
    t += "| " + p.name + " | " + secs + " | " + std::to_string(n) + " | " +
         std::to_string(p.outcomes[kOwn]) + " | " + std::to_string(ones) + " | " +
         std::to_string(p.outcomes[kWrong]) + " | " + std::to_string(p.outcomes[kBadRecord]) +
         " | " + std::to_string(p.outcomes[kUnexpected]) + " | " +
         std::to_string(p.outcomes[kAltered]) + " | " + std::to_string(p.longestMs) + " | " +
         Mib(p.start.rssBytes) + " | " + Mib(p.end.rssBytes) + " | " +
         std::to_string(p.start.openFds) + " | " + std::to_string(p.end.openFds) + " | " +
         std::to_string(p.start.logBytes / 1024) + " | " + std::to_string(p.end.logBytes / 1024) +
         " |\n";
  }
  t += "\nwrong answers: " + std::to_string(Total(kWrong)) +
       ", bad records: " + std::to_string(Total(kBadRecord)) +
       ", unexpected results: " + std::to_string(Total(kUnexpected)) +
       ", altered in corrupting phases: " + std::to_string(Total(kAltered)) +
       ", restarts of the service: " + std::to_string(m_restarts) + "\n";
  t += std::string("verdict: ") + (Passed(slackMs) ? "passed" : "FAILED") +
       " (every answer the request's own or 1, every request within its bound + " +
       std::to_string(slackMs) + " ms)\n";
  for (const std::string& d : m_details) t += "  " + d + "\n";
  return t;
}

}  // namespace kdl::soak
