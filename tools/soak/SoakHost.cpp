#include "tools/soak/SoakHost.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "simulator/ReplyTag.h"
#include "tools/host/Failure.h"
#include "util/IPv4Text.h"
#include "util/TerminalText.h"
#include "util/Text.h"

namespace kdl::soak {
namespace {

using kdl::sim::DecodeTag;
using kdl::sim::EncodeTag;
using kdl::sim::ReplyTag;
using Clock = std::chrono::steady_clock;

// The kinds by their SendAskPack type less 1 (SoakFigures.cpp's table).
enum KindIndex {
  kDiscover, kLogin, kImages, kSnapshots, kCreate, kSelect, kSetAdmin, kCancelAdmin, kHeartbeat,
};

// Links that stop answering for this many requests in a row (a stream out of
// step after altered bytes never answers again) make the host restart the
// library's service, as a host whose requests keep failing would.
constexpr uint32_t kTimeoutsBeforeRestart = 3;
// Logins that fail in a row before the server is looked for again.
constexpr uint32_t kLoginFailuresBeforeDiscover = 5;
// Waits after a failed discovery or login, before the next try.
constexpr uint32_t kRetryPauseMs = 250;
// A session is left for a new one before its serials wrap.
constexpr uint32_t kMaxSerial = sim::kTagFieldMask - 64;
// Images that creates name, in turn: the simulator's list stays short.
constexpr uint32_t kCreateNames = 8;
constexpr char kCreatePrefix[] = "soak-img-";
// The simulator's code for a create of a name that exists.
constexpr uint32_t kErrImageExists = 17;

std::atomic<uint32_t> g_closes{0};

void KELVANE_CALL OnTcpClosed() { g_closes.fetch_add(1); }

void Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// "17.3" or, for a code that is no tag, the number.
std::string CodeText(int code) {
  ReplyTag t;
  if (DecodeTag(static_cast<uint32_t>(code), &t)) return "tag " + sim::TagText(t, true);
  return "code " + std::to_string(code);
}

bool SameImage(const Kelvane::_IN_IMAGE_INFO& a, const Kelvane::_IN_IMAGE_INFO& b) {
  return a.ImageId == b.ImageId && a.Param1 == b.Param1 &&
         std::strncmp(a.Name, b.Name, sizeof a.Name) == 0;
}

bool SameSnapshot(const Kelvane::_IN_SNAP_INFO& a, const Kelvane::_IN_SNAP_INFO& b) {
  return a.ImageId == b.ImageId && a.ImageParam3 == b.ImageParam3 &&
         a.SnapshotId == b.SnapshotId && a.Param2 == b.Param2 && a.Param3 == b.Param3 &&
         a.Param4 == b.Param4 && a.Param5 == b.Param5 && a.Param6 == b.Param6 &&
         std::strncmp(a.Text, b.Text, sizeof a.Text) == 0 &&
         std::memcmp(&a.Time, &b.Time, sizeof a.Time) == 0;
}

// The Log folder beside this program, where the library writes its files.
std::string LogFolder() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "Log";
  std::string exe(path, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/') + 1) + "Log";
}

}  // namespace

struct SoakHost::Ask {
  int kind = 0;
  bool retry = false;
  uint32_t session = 0;
  uint32_t serial = 0;         // its serial on the link (a login 0)
  uint32_t recordTagBefore = 0;
  uint32_t number = 0;         // select: the image id; set-admin: the value
  std::string name;            // login
  KelvaneCreateImageParam create = {};
  KelvaneCancelAdminParam cancel = {};

  void* Param() {
    switch (kind) {
      case kLogin:
        return &name[0];
      case kCreate:
        return &create;
      case kSelect:
      case kSetAdmin:
        return &number;
      case kCancelAdmin:
        return &cancel;
      default:
        return nullptr;
    }
  }
};

SoakHost::SoakHost(const kdl::host::KelvaneApi& api, const SoakOptions& options)
    : m_api(api), m_options(options), m_random(options.seed), m_logDir(LogFolder()) {
  if (!options.expectServer.empty()) {
    const size_t colon = options.expectServer.rfind(':');
    in_addr a = {};
    inet_pton(AF_INET, options.expectServer.substr(0, colon).c_str(), &a);
    m_serverIp = ntohl(a.s_addr);
    m_serverPort = static_cast<uint16_t>(std::atoi(options.expectServer.c_str() + colon + 1));
    m_haveServer = true;
  }
}

double SoakHost::Now() const {
  static const Clock::time_point start = Clock::now();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool SoakHost::Run() {
  Now();
  // The phase file names the first phase; without one it is all one phase.
  if (!PollPhase()) return true;
  if (m_phase.empty()) m_figures.BeginPhase("run", SampleProcess(m_logDir), Now());
  if (!StartService(m_options.seconds)) return false;
  while (Now() < m_options.seconds && PollPhase()) {
    Step();
    if (m_options.pauseMs) Sleep(m_options.pauseMs);
  }
  m_api.StopServer();
  m_figures.Finish(SampleProcess(m_logDir), Now());
  return true;
}

bool SoakHost::StartService(double untilSeconds) {
  // No operational interface (the network is down) fails the start: try on.
  while (!m_api.StartServer(OnTcpClosed)) {
    if (Now() >= untilSeconds) return false;
    Sleep(kRetryPauseMs);
  }
  m_closesSeen = g_closes.load();
  return true;
}

void SoakHost::RestartService() {
  m_figures.CountRestart();
  m_api.StopServer();
  StartService(m_options.seconds);
  m_discovered = false;
  m_loggedIn = false;
  m_timeoutsInRow = 0;
  m_retryKind = -1;
}

bool SoakHost::PollPhase() {
  if (m_options.phaseFile.empty()) return true;
  std::ifstream in(m_options.phaseFile);
  std::string line;
  if (!std::getline(in, line) || line.empty()) return true;
  std::istringstream words(line);
  std::string name, flag;
  words >> name;
  if (name == m_phase) return true;
  if (name == "end") return false;
  m_phase = name;
  m_corrupting = false;
  while (words >> flag) m_corrupting = m_corrupting || flag == "corrupting";
  m_figures.BeginPhase(name, SampleProcess(m_logDir), Now());
  return true;
}

int SoakHost::PickKind() {
  std::uniform_int_distribution<int> any(0, kKinds - 1);
  int kind = any(m_random);
  // Select needs an image id from a list first.
  if (kind == kSelect && !m_haveImages) kind = kImages;
  return kind;
}

void SoakHost::Step() {
  const uint32_t closes = g_closes.load();
  if (closes != m_closesSeen) {
    m_closesSeen = closes;
    m_loggedIn = false;
  }
  if (!m_discovered) {
    Request(kDiscover);
    if (!m_discovered) Sleep(kRetryPauseMs);
    return;
  }
  if (!m_loggedIn || m_serial >= kMaxSerial) {
    Request(kLogin);
    if (!m_loggedIn) Sleep(kRetryPauseMs);
    return;
  }
  const int kind = m_retryKind >= 0 ? m_retryKind : PickKind();
  Request(kind);
}

void SoakHost::Prepare(int kind, Ask* ask) {
  ask->kind = kind;
  ask->retry = m_retryKind == kind;
  m_retryKind = -1;
  ask->recordTagBefore = RecordTagOf(kind);
  if (kind == kDiscover) return;
  if (kind == kLogin) {
    ask->session = ++m_session;
    ask->serial = 0;
    ask->name = sim::TagLoginName(m_options.namePrefix, ask->session);
    return;
  }
  ask->session = m_session;
  ask->serial = ++m_serial;
  const uint32_t k = ask->serial;
  switch (kind) {
    case kCreate: {
      const std::string name = kCreatePrefix + std::to_string(k % kCreateNames);
      std::snprintf(ask->create.Name, sizeof ask->create.Name, "%s", name.c_str());
      ask->create.Param1 = 1;
      ask->create.Param2 = k;
      break;
    }
    case kSelect:
      ask->number = m_images[m_selectTurn++ % m_images.size()].ImageId;
      break;
    case kSetAdmin:
      ask->number = k;
      break;
    case kCancelAdmin:
      ask->cancel.Flag1 = static_cast<uint8_t>(k);
      ask->cancel.Flag2 = 1;
      std::snprintf(ask->cancel.Text, sizeof ask->cancel.Text, "soak %u.%u", ask->session, k);
      break;
    default:
      break;
  }
}

void SoakHost::Request(int kind) {
  Ask ask;
  Prepare(kind, &ask);
  const uint32_t closesBefore = g_closes.load();
  const Clock::time_point t0 = Clock::now();
  const int result = m_api.SendAskPack(AskType(kind), ask.Param());
  const uint32_t ms = static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
  Judge(ask, result, ms, g_closes.load() != closesBefore);
}

void SoakHost::Judge(const Ask& ask, int result, uint32_t ms, bool closed) {
  if (ask.kind == kDiscover) {
    JudgeDiscover(ms, result);
    return;
  }
  if (ask.kind == kHeartbeat) {
    // Sent or not: no answer to check. Unsent, there is no link to count on.
    if (result == 0) {
      m_figures.Count(ask.kind, kOwn, ms);
    } else {
      --m_serial;
      JudgeFailure(ask, ms, closed);
    }
    return;
  }
  if (result == 1) {
    JudgeFailure(ask, ms, closed);
    return;
  }
  m_timeoutsInRow = 0;
  ReplyTag got;
  const std::string own = sim::TagText(ReplyTag{ask.session, ask.serial, 0}, false);
  if (!DecodeTag(static_cast<uint32_t>(result), &got)) {
    Mismatch(ask, kUnexpected, ms, "request " + own + " got " + CodeText(result));
    return;
  }
  const uint32_t mask = sim::kTagFieldMask;
  if (got.session != (ask.session & mask) || got.serial != (ask.serial & mask)) {
    Mismatch(ask, kWrong, ms,
             std::string("request ") + own + (ask.retry ? " (a retry)" : "") +
                 " answered by request " + sim::TagText(got, false) + " (result " +
                 std::to_string(got.outcome) + ")");
    return;
  }
  const bool createExists = ask.kind == kCreate && got.outcome == kErrImageExists;
  if (got.outcome != 0 && !createExists) {
    Mismatch(ask, kUnexpected, ms, "request " + own + " got result " + std::to_string(got.outcome));
    return;
  }
  const uint32_t recordTag = EncodeTag(ReplyTag{ask.session, ask.serial, 0});
  const std::string bad = CheckRecords(ask, recordTag);
  if (!bad.empty()) {
    Mismatch(ask, kBadRecord, ms, "request " + own + ": " + bad);
    return;
  }
  if (ask.kind == kLogin) {
    m_loggedIn = true;
    m_serial = 0;
    m_loginFailuresInRow = 0;
  }
  m_figures.Count(ask.kind, kOwn, ms);
}

void SoakHost::JudgeFailure(const Ask& ask, uint32_t ms, bool closed) {
  const kdl::host::Failure f = kdl::host::ClassifyNoAnswer({}, ms / 1000.0, closed);
  const Outcome outcome = f.kind == kdl::host::FailureKind::kTimeout  ? kTimeout
                          : f.kind == kdl::host::FailureKind::kClosed ? kClosed
                                                                      : kLocal;
  // A request that got no answer leaves the records as they were.
  const uint32_t after = RecordTagOf(ask.kind);
  if (after != ask.recordTagBefore) {
    Mismatch(ask, kBadRecord, ms,
             "returned 1 (" + std::string(OutcomeName(outcome)) +
                 ") but its records changed from " + Hex(ask.recordTagBefore) + " to " +
                 Hex(after));
    return;
  }
  m_figures.Count(ask.kind, outcome, ms);
  if (ask.kind == kLogin) {
    m_loggedIn = false;
    if (++m_loginFailuresInRow >= kLoginFailuresBeforeDiscover) {
      m_loginFailuresInRow = 0;
      m_discovered = false;
    }
    return;
  }
  if (outcome != kTimeout) {
    m_loggedIn = false;  // no link, or not the one the serials count on
    return;
  }
  if (++m_timeoutsInRow >= kTimeoutsBeforeRestart) {
    RestartService();
    return;
  }
  if (!ask.retry) m_retryKind = ask.kind;
}

void SoakHost::JudgeDiscover(uint32_t ms, int result) {
  if (result != 0) {
    m_figures.Count(kDiscover, ms + 100 >= kdl::host::kReplyWaitSeconds * 1000 ? kTimeout : kLocal,
                    ms);
    return;
  }
  const Kelvane::_IN_DISCOVER_INFO& d = m_api.GetDiscoverInfo();
  if (!m_haveServer) {
    m_haveServer = true;
    m_serverIp = d.ServerIP;
    m_serverPort = d.ServerPort;
  }
  if (d.ServerIP != m_serverIp || d.ServerPort != m_serverPort) {
    m_figures.Count(kDiscover, kBadRecord, ms,
                    "found " + kdl::util::IPv4Text(d.ServerIP) + ":" +
                        std::to_string(d.ServerPort) + ", not " +
                        kdl::util::IPv4Text(m_serverIp) + ":" + std::to_string(m_serverPort));
    return;
  }
  m_discovered = true;
  m_figures.Count(kDiscover, kOwn, ms);
}

void SoakHost::Mismatch(const Ask& ask, Outcome outcome, uint32_t ms, const std::string& detail) {
  if (m_corrupting) {
    // Bytes altered on the way can make any number another; the protocol has
    // no check to catch it. The link may be out of step: start anew.
    m_figures.Count(ask.kind, kAltered, ms, detail);
    m_loggedIn = false;
    return;
  }
  m_figures.Count(ask.kind, outcome, ms, detail);
  // A wrong answer leaves the link in step (its own answer comes later and
  // is dropped); an unexpected result or record may not.
  if (outcome != kWrong) m_loggedIn = false;
}

uint32_t SoakHost::RecordTagOf(int kind) const {
  switch (kind) {
    case kLogin:
      return static_cast<uint32_t>(m_api.GetClientInfo().ExtInfo);
    case kImages: {
      const Kelvane::ImageInfoList& list = m_api.GetListImageInfo();
      return list.empty() ? 0 : list.back().ImageId;
    }
    case kSnapshots: {
      const Kelvane::SnapInfoMap& map = m_api.GetMapSnapInfo();
      auto it = map.lower_bound(sim::kTagMark);
      return it == map.end() ? 0 : static_cast<uint32_t>(it->first);
    }
    case kSelect: {
      const Kelvane::_IN_SELECTIMAGE_INFO& s = m_api.GetSelectImageInfo();
      const size_t n = strnlen(s.Path, sizeof s.Path);
      if (n < sim::kTagPathSuffixSize) return 0;
      const char* suffix = s.Path + n - sim::kTagPathSuffixSize;
      if (*suffix != sim::kTagPathMark) return 0;
      return static_cast<uint32_t>(std::strtoul(suffix + 1, nullptr, 16));
    }
    default:
      return 0;
  }
}

std::string SoakHost::CheckRecords(const Ask& ask, uint32_t tag) {
  switch (ask.kind) {
    case kLogin:
      return CheckLogin(tag);
    case kImages:
      return CheckImages(tag);
    case kSnapshots:
      return CheckSnapshots(tag);
    case kSelect:
      return CheckSelect(ask.number, tag);
    default:
      return "";
  }
}

std::string SoakHost::CheckLogin(uint32_t tag) {
  const Kelvane::_IN_CLIENT_INFO& c = m_api.GetClientInfo();
  if (static_cast<uint32_t>(c.ExtInfo) != tag)
    return "ExtInfo " + Hex(c.ExtInfo) + ", not " + Hex(tag);
  if (!m_haveClient) {
    if (m_corrupting) return "";  // never learn from altered bytes
    m_haveClient = true;
    m_client = c;
  }
  if (c.ClientType != m_client.ClientType || c.ManagerEnable != m_client.ManagerEnable)
    return "ClientType " + std::to_string(c.ClientType) + " ManagerEnable " +
           std::to_string(c.ManagerEnable) + " differ from the first login's";
  return "";
}

std::string SoakHost::CheckImages(uint32_t tag) {
  const Kelvane::ImageInfoList& list = m_api.GetListImageInfo();
  if (list.empty()) return "empty image list";
  const Kelvane::_IN_IMAGE_INFO& last = list.back();
  if (last.ImageId != tag || last.Param1 != tag ||
      std::strncmp(last.Name, sim::kTagRecordName, sizeof last.Name) != 0)
    return "last image " + Hex(last.ImageId) + " (Param1 " + Hex(last.Param1) + ", name \"" +
           kdl::util::EscapeForTerminal(kdl::util::FieldText(last.Name, sizeof last.Name)) +
           "\") is not the tag record " + Hex(tag);
  std::vector<Kelvane::_IN_IMAGE_INFO> served;  // the server's images, created ones apart
  size_t created = 0;
  for (auto it = list.begin(); std::next(it) != list.end(); ++it) {
    if (it->ServerPort != m_serverPort || it->ServerPort != last.ServerPort ||
        it->ServerIP != last.ServerIP)
      return "image " + std::to_string(it->ImageId) + " names another server";
    if (std::strncmp(it->Name, kCreatePrefix, sizeof kCreatePrefix - 1) == 0) {
      ++created;
    } else if (created) {
      return "image " + std::to_string(it->ImageId) + " after the created ones";
    } else {
      served.push_back(*it);
    }
  }
  if (created > kCreateNames) return std::to_string(created) + " created images listed";
  if (!m_haveImages) {
    if (served.empty()) return "no images";
    if (m_corrupting) return "";
    m_haveImages = true;
    m_images = served;
  }
  if (served.size() != m_images.size()) return std::to_string(served.size()) + " images listed";
  for (size_t i = 0; i < served.size(); ++i)
    if (!SameImage(served[i], m_images[i]))
      return "image " + std::to_string(served[i].ImageId) + " differs from the first list";
  return "";
}

std::string SoakHost::CheckSnapshots(uint32_t tag) {
  Kelvane::SnapInfoMap map = m_api.GetMapSnapInfo();
  auto it = map.find(tag);
  if (it == map.end()) return "no snapshot " + Hex(tag);
  const Kelvane::_IN_SNAP_INFO& s = it->second;
  if (s.ImageId != tag || s.SnapshotId != tag || s.ImageParam3 != tag ||
      std::strncmp(s.Text, sim::kTagRecordName, sizeof s.Text) != 0)
    return "snapshot " + Hex(tag) + " is not the tag record";
  map.erase(it);
  if (map.lower_bound(sim::kTagMark) != map.end()) return "a second tag snapshot";
  if (!m_haveSnapshots) {
    if (m_corrupting) return "";
    m_haveSnapshots = true;
    m_snapshots = map;
  }
  if (map.size() != m_snapshots.size()) return std::to_string(map.size()) + " snapshots";
  for (auto a = map.begin(), b = m_snapshots.begin(); a != map.end(); ++a, ++b)
    if (a->first != b->first || !SameSnapshot(a->second, b->second))
      return "snapshot " + std::to_string(a->first) + " differs from the first map";
  return "";
}

std::string SoakHost::CheckSelect(uint32_t imageId, uint32_t tag) {
  const Kelvane::_IN_SELECTIMAGE_INFO& s = m_api.GetSelectImageInfo();
  const std::string path = kdl::util::FieldText(s.Path, sizeof s.Path);
  const std::string suffix = sim::TagPathSuffix(tag);
  if (!s.bSucc) return "image " + std::to_string(imageId) + " not selected";
  if (path.size() < suffix.size() ||
      path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
    return "path \"" + kdl::util::EscapeForTerminal(path) + "\" does not end in " + suffix;
  const std::string base = path.substr(0, path.size() - suffix.size());
  auto known = m_paths.find(imageId);
  if (known == m_paths.end()) {
    if (!m_corrupting) m_paths.emplace(imageId, base);
    return "";
  }
  if (known->second != base)
    return "path \"" + kdl::util::EscapeForTerminal(base) + "\" of image " +
           std::to_string(imageId) + ", first \"" + known->second + "\"";
  return "";
}

}  // namespace kdl::soak
