// Display rules of the viewer.
#include "tools/logview/LineFormat.h"

#include <cctype>
#include <climits>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "log/LogWriter.h"
#include "util/TerminalText.h"

namespace kdl::logview {

namespace {

constexpr uint32_t kKnownLevels[] = {LOG_DEBUG, LOG_TRACE,   LOG_INFO, LOG_STARTUP,
                                     LOG_SHUTDOWN, LOG_WARNING, LOG_ERROR};
constexpr int kKnownRanks[] = {0, 1, 2, 2, 2, 3, 4};

// "[" + body + "]|" at `pos`: the body, and `pos` moved past the field.
bool TakeField(const std::string& line, size_t* pos, std::string* body) {
  if (*pos >= line.size() || line[*pos] != '[') return false;
  const size_t end = line.find("]|", *pos);
  if (end == std::string::npos) return false;
  *body = line.substr(*pos + 1, end - *pos - 1);
  *pos = end + 2;
  return true;
}

bool AllOf(const std::string& s, int (*pred)(int)) {
  for (char c : s) {
    if (!pred(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool IsTimeField(const std::string& f) {  // hh:mm:ss.mmm
  static const char kShape[] = "99:99:99.999";
  if (f.size() != sizeof(kShape) - 1) return false;
  for (size_t i = 0; i < f.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(f[i])) != 0;
    if (kShape[i] == '9' ? !digit : f[i] != kShape[i]) return false;
  }
  return true;
}

bool IsLevelName(const std::string& f) {
  if (f == kdl::log::LogLevelName(0)) return true;  // the name of every other value
  for (uint32_t level : kKnownLevels) {
    if (f == kdl::log::LogLevelName(level)) return true;
  }
  return false;
}

bool IsLocationField(const std::string& f) {
  const size_t colon = f.rfind(':');
  return colon != std::string::npos && colon + 1 < f.size() &&
         AllOf(f.substr(colon + 1), [](int c) -> int { return c == '-' || std::isdigit(c); });
}

const char* ColourOf(const RingEvent& e) {
  if (e.kind != RingEvent::kLine) return "\033[1m";  // bold
  if (IsGarbled(e)) return "\033[35m";                // magenta
  switch (LevelRank(e.level)) {
    case 0:
    case 1: return "\033[2m";   // dim
    case 3: return "\033[33m";  // yellow
    case 4: return "\033[31m";  // red
    default: return e.level == LOG_STARTUP || e.level == LOG_SHUTDOWN ? "\033[36m" : "";
  }
}

std::string Marker(const RingEvent& e) {
  if (e.kind == RingEvent::kRestart) return "\u2026 writer restarted \u2026";
  return "\u2026 " + std::to_string(e.lost) + (e.lost == 1 ? " line" : " lines") +
         " lost \u2026";
}

std::string JsonOf(const RingEvent& e, const std::string& line,
                   const kdl::plat::LocalTime& now) {
  nlohmann::ordered_json j;
  if (e.kind == RingEvent::kLost) {
    j["lost"] = e.lost;
  } else if (e.kind == RingEvent::kRestart) {
    j["restart"] = true;
  } else {
    const LineFields f = SplitFields(line);
    const auto orNull = [](const std::string& s) {
      return s.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(s);
    };
    j["time"] = orNull(f.time.empty() ? f.time : DatedTime(f.time, now));
    j["thread"] = orNull(f.thread);
    j["level"] = kdl::log::LogLevelName(e.level);
    if (!f.location.empty()) j["location"] = f.location;
    j["text"] = f.text;
    if (IsGarbled(e)) j["garbled"] = true;
  }
  // EscapeLine leaves only valid UTF-8; replacing is a second guard.
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

std::string DatedTime(const std::string& timeOfDay, const kdl::plat::LocalTime& now) {
  char clock[32];
  std::snprintf(clock, sizeof clock, "%02u:%02u:%02u.%03u", unsigned(now.hour),
                unsigned(now.minute), unsigned(now.second), unsigned(now.milliseconds));
  // Both are "hh:mm:ss.mmm": the text order is the time order.
  const kdl::plat::LocalTime day = timeOfDay > clock ? kdl::plat::SubtractDays(now, 1) : now;
  char date[32];
  std::snprintf(date, sizeof date, "%04u-%02u-%02u ", unsigned(day.year), unsigned(day.month),
                unsigned(day.day));
  return date + timeOfDay;
}

std::string EscapeLine(const std::string& raw) {
  const size_t end = !raw.empty() && raw.back() == '\n' ? raw.size() - 1 : raw.size();
  return kdl::util::EscapeForTerminal(raw.substr(0, end), /*keepTabs=*/true);
}

LineFields SplitFields(const std::string& line) {
  LineFields f;
  size_t pos = 0;
  std::string body;
  size_t at = pos;
  if (TakeField(line, &at, &body) && IsTimeField(body)) f.time = body, pos = at;
  at = pos;
  if (TakeField(line, &at, &body) && body.size() >= 4 && AllOf(body, std::isxdigit)) {
    f.thread = body, pos = at;
  }
  at = pos;
  if (TakeField(line, &at, &body) && !IsLevelName(body) && IsLocationField(body)) {
    f.location = body, pos = at;
  }
  at = pos;
  if (TakeField(line, &at, &body) && IsLevelName(body)) {
    f.parsed = true;
    f.level = body;
    f.text = line.substr(at);
    return f;
  }
  LineFields none;
  none.text = line;
  return none;
}

int LevelRank(uint32_t level) {
  int rank = -1;
  for (size_t i = 0; i < sizeof(kKnownLevels) / sizeof(kKnownLevels[0]); ++i) {
    if ((level & kKnownLevels[i]) && kKnownRanks[i] > rank) rank = kKnownRanks[i];
  }
  return rank < 0 ? INT_MAX : rank;
}

bool RankOfLevelName(const std::string& name, int* rank) {
  for (size_t i = 0; i < sizeof(kKnownLevels) / sizeof(kKnownLevels[0]); ++i) {
    if (kdl::log::ToLowerAscii(name) == kdl::log::ToLowerAscii(kdl::log::LogLevelName(kKnownLevels[i]))) {
      *rank = kKnownRanks[i];
      return true;
    }
  }
  return false;
}

bool IsGarbled(const RingEvent& e) {
  return e.kind == RingEvent::kLine && (!e.terminated || e.level == 0);
}

std::string FormatEvent(const RingEvent& e, const FormatOptions& o) {
  std::string line;
  if (e.kind == RingEvent::kLine) {
    if (LevelRank(e.level) < o.minRank) return std::string();
    line = EscapeLine(e.text);
    if (!o.grep.empty() && line.find(o.grep) == std::string::npos) return std::string();
  }
  if (o.json) return JsonOf(e, line, o.now) + "\n";
  if (e.kind != RingEvent::kLine) {
    line = Marker(e);
  } else if (IsGarbled(e)) {
    char head[48];
    std::snprintf(head, sizeof(head), "[garbled record, level 0x%x%s]|",
                  static_cast<unsigned>(e.level), e.terminated ? "" : ", no end");
    line = head + line;
  }
  const char* colour = o.color ? ColourOf(e) : "";
  if (*colour == '\0') return line + "\n";
  return colour + line + "\033[0m\n";
}

}  // namespace kdl::logview
