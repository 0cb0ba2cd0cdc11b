// What a soak counts: every request by kind and outcome, the longest time one
// blocked, the answers that were not the request's own, and per phase the
// process's resident memory, open descriptors and log bytes at its start
// and end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdl::soak {

// The requests, in the order of their SendAskPack types 1 to 9.
constexpr int kKinds = 9;
// "discover", "login", ... as the kelvane commands name them.
const char* KindName(int kind);
// The SendAskPack type of `kind`.
uint32_t AskType(int kind);

enum Outcome {
  kOwn,         // the request's own answer
  kTimeout,     // 1: no reply within the library's wait
  kClosed,      // 1: the link closed while it waited
  kLocal,       // 1: failed at once (no link, connection refused)
  kWrong,       // another request's answer
  kBadRecord,   // its own result, but records of another request or none
  kUnexpected,  // a result that is neither a tag nor 1
  kAltered,     // not its own, in a phase that alters bytes: not counted as wrong
  kOutcomes,
};
const char* OutcomeName(int outcome);

// The process as measured at one moment.
struct Sample {
  uint64_t rssBytes = 0;
  uint32_t openFds = 0;
  uint64_t logBytes = 0;  // the library's files in the Log folder beside the program
};

// Measures this process now; `logDir` is the library's Log folder.
Sample SampleProcess(const std::string& logDir);

struct PhaseFigures {
  std::string name;
  double seconds = 0;
  Sample start;
  Sample end;
  uint64_t outcomes[kOutcomes] = {};
  uint32_t longestMs = 0;
};

class SoakFigures {
 public:
  // Starts the phase `name` (ending the one before) with the sample `now`.
  void BeginPhase(const std::string& name, const Sample& now, double atSeconds);
  // Ends the last phase.
  void Finish(const Sample& now, double atSeconds);

  // One request of `kind` that blocked `ms` and came to `outcome`; `detail`
  // says what was wrong (kept for the first few of each wrong outcome).
  void Count(int kind, Outcome outcome, uint32_t ms, const std::string& detail = "");
  // A restart of the library's service after links that stopped answering.
  void CountRestart() { ++m_restarts; }

  uint64_t Total(Outcome o) const;
  uint32_t LongestMs(int kind) const { return m_longestMs[kind]; }
  // The documented bound of one request of `kind`: the reply wait, for a
  // login the connect's limit on top.
  static uint32_t BoundMs(int kind);
  // True when no answer was wrong, no record bad, no result unexpected and
  // every request stayed within its bound plus `slackMs`.
  bool Passed(uint32_t slackMs) const;

  // The figures as text tables (Markdown), for the terminal and docs/.
  std::string Table(uint32_t slackMs) const;

 private:
  uint64_t m_counts[kKinds][kOutcomes] = {};
  uint32_t m_longestMs[kKinds] = {};
  std::vector<PhaseFigures> m_phases;
  std::vector<std::string> m_details;
  uint32_t m_detailsPerOutcome[kOutcomes] = {};
  uint64_t m_restarts = 0;
};

}  // namespace kdl::soak
