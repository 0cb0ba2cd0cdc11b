// kelvane-logview: the follow loop and the listing.
#include "tools/logview/LogviewApp.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>

#include "log/LogNaming.h"
#include "log/LogSharedBlock.h"
#include "platform/Platform.h"
#include "tools/cli/Output.h"
#include "tools/logview/LogRingReader.h"

namespace kdl::logview {

namespace {

using Block = kdl::log::CLogSharedBlock;

// A viewer sleeps on the writers' event. On POSIX a signal wakes every
// viewer that waits; on Windows one signal wakes one of them, so each also
// polls, quickly soon after lines came, since another viewer may be taking
// the signals.
constexpr uint32_t kIdlePollMs = 100;
constexpr uint32_t kBusyPollMs = 10;
// How often an idle viewer checks whether its block's name was given to a
// new block, and how often --wait looks for the block.
constexpr auto kRecheckEvery = std::chrono::seconds(1);
constexpr auto kWaitPoll = std::chrono::milliseconds(100);

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

volatile std::sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

struct Target {
  std::string name;  // as shown: the base name without its backslash
  std::string mem, evt;
  kdl::plat::SharedBlockHandles h;

  explicit Target(const std::string& base)
      : name(base.substr(1)), mem(kdl::log::SharedMemName(base)), evt(kdl::log::SharedEventName(base)) {}
  ~Target() { kdl::plat::SharedBlockClose(h, Block::kBlockSize); }
  bool Open() {
    h = kdl::plat::SharedBlockOpenExisting(mem, evt, Block::kBlockSize);
    return h.view != nullptr;
  }
  const unsigned char* View() const { return static_cast<const unsigned char*>(h.view); }
};

std::string BaseOf(const std::string& program) {
  return kdl::log::MakeLogNames(program, kdl::log::kNativeFlavour).baseName;
}

const char kTool[] = "kelvane-logview";

// Prints the events that `fo` lets through; false (said on stderr) when the
// output cannot be written.
bool Print(const std::vector<RingEvent>& events, FormatOptions fo) {
  fo.now = kdl::plat::GetLocalTimeNow();
  for (const RingEvent& e : events) {
    const std::string line = FormatEvent(e, fo);
    if (!line.empty()) std::fwrite(line.data(), 1, line.size(), stdout);
  }
  return kdl::cli::OutputWritten(stdout, kTool);
}

// The ring's lines shown first: the last `lines` that the filters let
// through (all of them when negative), with the markers among them.
void KeepLastShown(std::vector<RingEvent>& events, long lines, const FormatOptions& fo) {
  if (lines < 0) return;
  size_t from = events.size();
  for (long shown = 0; from > 0 && shown < lines; --from) {
    const RingEvent& e = events[from - 1];
    if (e.kind == RingEvent::kLine && !FormatEvent(e, fo).empty()) ++shown;
  }
  events.erase(events.begin(), events.begin() + static_cast<long>(from));
  while (!events.empty() && events.front().kind != RingEvent::kLine) events.erase(events.begin());
}

// Opens the block, waiting for it with --wait. False when it is not there
// (or Ctrl-C ended the wait).
bool Attach(Target& t, bool wait) {
  if (t.Open()) return true;
  if (!wait) {
    std::fprintf(stderr,
                 "kelvane-logview: no log block of %s (%s): the program has not logged since "
                 "the machine started, or runs as another user; --wait waits for it\n",
                 t.name.c_str(), t.mem.c_str());
    return false;
  }
  std::fprintf(stderr, "kelvane-logview: waiting for %s (%s) ...\n", t.name.c_str(),
               t.mem.c_str());
  while (!g_stop) {
    std::this_thread::sleep_for(kWaitPoll);
    if (t.Open()) return true;
  }
  return false;
}

// A name now given to a new block (POSIX, after the old one was removed):
// follow the new one.
void FollowReplacement(Target& t, CLogRingReader& reader) {
  const uint64_t now = kdl::plat::SharedBlockIdentity(t.mem);
  if (now == 0 || now == t.h.identity) return;
  kdl::plat::SharedBlockHandles fresh = kdl::plat::SharedBlockOpenExisting(t.mem, t.evt, Block::kBlockSize);
  if (fresh.view == nullptr) return;
  reader.Reattach(static_cast<const unsigned char*>(fresh.view));
  kdl::plat::SharedBlockClose(t.h, Block::kBlockSize);
  t.h = fresh;
}

// Reads and prints what is new; false when the output cannot be written.
// `lines`: for the first read, the number of the ring's lines to show.
bool ReadAndPrint(CLogRingReader& reader, std::vector<RingEvent>& events, const FormatOptions& fo,
                  long lines = -1) {
  events.clear();
  reader.Read(events, NowMs());
  KeepLastShown(events, lines, fo);
  return Print(events, fo);
}

int Follow(const LogviewOptions& o) {
  Target t(BaseOf(o.names.front()));
  if (!Attach(t, o.wait)) return g_stop ? 0 : 1;
  CLogRingReader reader(t.View());
  // All the ring: -n counts the lines that pass the filters.
  reader.Start(Block::kSlotCount);
  std::vector<RingEvent> events;
  bool busy = false;
  auto lastCheck = std::chrono::steady_clock::now();
  if (!ReadAndPrint(reader, events, o.format, o.lines)) return 1;
  while (!g_stop) {
    if (!ReadAndPrint(reader, events, o.format)) return 1;
    if (!o.follow && !reader.Waiting()) break;
    if (!o.follow) {  // a line being written: it comes, or is given up, soon
      std::this_thread::sleep_for(std::chrono::milliseconds(kBusyPollMs));
      continue;
    }
    if (!events.empty()) {  // there may be more at once
      busy = true;
      continue;
    }
    // Nothing new: announce the wait, look once more, then sleep.
    kdl::plat::SharedBlockPrepareWait(t.h);
    if (!ReadAndPrint(reader, events, o.format)) return 1;
    if (!events.empty()) continue;
    const uint32_t pollMs = busy ? kBusyPollMs : kIdlePollMs;
    busy = false;
    if (t.h.event == nullptr) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    } else if (kdl::plat::SharedBlockWait(t.h, pollMs)) {
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastCheck >= kRecheckEvery) {
      lastCheck = now;
      FollowReplacement(t, reader);
    }
  }
  return 0;
}

// Base names (with their backslash) of the blocks that may exist: the names
// given, the shared-memory objects of the writer's naming, and the running
// programs (the only source on Windows).
std::set<std::string> Candidates(const std::vector<std::string>& given) {
  std::set<std::string> bases;
  for (const std::string& g : given) bases.insert(BaseOf(g));
  // A block's name is that of an empty base name with the base between
  // the two parts: "Global" + base + ".mem".
  const std::string model = kdl::log::SharedMemName("");
  const std::string head = model.substr(0, model.find('.'));
  const std::string tail = model.substr(head.size());
  for (const std::string& n : kdl::plat::ListSharedBlockNames(Block::kBlockSize)) {
    if (n.size() > model.size() && n.compare(0, head.size(), head) == 0 &&
        n.compare(n.size() - tail.size(), tail.size(), tail) == 0 && n[head.size()] == '\\') {
      bases.insert(n.substr(head.size(), n.size() - model.size()));
    }
  }
  for (const std::string& exe : kdl::plat::ListProcessExecutables()) bases.insert(BaseOf(exe));
  return bases;
}

int List(const LogviewOptions& o) {
  int found = 0;
  for (const std::string& base : Candidates(o.names)) {
    Target t(base);
    if (!t.Open()) continue;
    const CLogRingReader reader(t.View());
    std::printf("%-24s %10u lines published  %s\n", t.name.c_str(), reader.Published(),
                t.mem.c_str());
    ++found;
  }
  if (found == 0) std::fprintf(stderr, "kelvane-logview: no log blocks found\n");
  return kdl::cli::OutputWritten(stdout, kTool) ? 0 : 1;
}

}  // namespace

int RunLogview(LogviewOptions o) {
  std::signal(SIGINT, OnStop);
  std::signal(SIGTERM, OnStop);
  const bool terminal = kdl::plat::PrepareTerminalOutput();
  o.format.color = o.color == "always" ||
                   (o.color == "auto" && terminal && !o.format.json && !std::getenv("NO_COLOR"));
  return o.list ? List(o) : Follow(o);
}

}  // namespace kdl::logview
