#include "tools/faultproxy/Toxics.h"

#include <map>
#include <sstream>
#include <vector>

#include "tools/cli/ToolArgs.h"
#include "util/Text.h"

namespace kdl::proxy {
namespace {

// One toxic's name, its value keys in order, and the ways it applies to by
// default.
struct ToxicSyntax {
  const char* name;
  std::vector<std::string> keys;
  int defaultWays;  // bit 0 up, bit 1 down; 0: not per way
};

const ToxicSyntax kSyntax[] = {
    {"latency", {"ms", "jitter"}, 3},  {"bandwidth", {"rate"}, 2},
    {"hold", {"ms", "pass"}, 2},       {"corrupt", {"every"}, 2},
    {"cut", {"bytes"}, 3},             {"slow-close", {"ms"}, 0},
    {"reset", {"ms"}, 0},
};

const ToxicSyntax* FindSyntax(const std::string& name) {
  for (const ToxicSyntax& s : kSyntax)
    if (name == s.name) return &s;
  return nullptr;
}

bool ParseWays(const std::string& text, int* ways) {
  if (text == "up") *ways = 1;
  else if (text == "down") *ways = 2;
  else if (text == "both") *ways = 3;
  else return false;
  return true;
}

// Applies one toxic with its values to `t`.
void Apply(const std::string& name, const std::map<std::string, uint32_t>& v, int ways,
           Toxics* t) {
  auto at = [&v](const char* key) {
    auto it = v.find(key);
    return it == v.end() ? 0u : it->second;
  };
  if (name == "slow-close") t->slowCloseMs = at("ms");
  if (name == "reset") t->resetAfterMs = at("ms");
  for (int w = 0; w < kWays; ++w) {
    if (!(ways & (1 << w))) continue;
    WayToxics& x = t->way[w];
    if (name == "latency") {
      x.latencyMs = at("ms");
      x.jitterMs = at("jitter");
    } else if (name == "bandwidth") {
      x.bytesPerSecond = at("rate");
    } else if (name == "hold") {
      x.holdMs = at("ms");
      x.passMs = at("pass");
    } else if (name == "corrupt") {
      x.corruptEvery = at("every");
    } else if (name == "cut") {
      x.cutAfterBytes = at("bytes");
    }
  }
}

// Parses one line of words; "" when good, else what is wrong.
std::string ParseLine(const std::vector<std::string>& words, Toxics* t) {
  const ToxicSyntax* syntax = FindSyntax(words[0]);
  if (!syntax) return "unknown toxic \"" + words[0] + "\"";
  std::map<std::string, uint32_t> values;
  int ways = syntax->defaultWays;
  for (size_t i = 1; i < words.size(); ++i) {
    const size_t eq = words[i].find('=');
    const std::string key = words[i].substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : words[i].substr(eq + 1);
    if (key == "dir" && syntax->defaultWays != 0) {
      if (!ParseWays(value, &ways)) return "dir must be up, down or both, not \"" + value + "\"";
      continue;
    }
    bool known = false;
    for (const std::string& k : syntax->keys) known = known || k == key;
    if (!known || eq == std::string::npos) return "\"" + words[i] + "\" is no value of " + words[0];
    uint32_t n = 0;
    if (!kdl::cli::ParseU32(value, &n)) return key + " must be a number, not \"" + value + "\"";
    values[key] = n;
  }
  if (values.count(syntax->keys[0]) == 0 || values[syntax->keys[0]] == 0)
    return words[0] + " needs " + syntax->keys[0] + "=N with N at least 1";
  Apply(words[0], values, ways, t);
  return "";
}

std::string WayText(const WayToxics& x, const char* dir) {
  std::string s;
  const std::string d = std::string(" dir=") + dir + "\n";
  if (x.latencyMs || x.jitterMs)
    s += "latency ms=" + std::to_string(x.latencyMs) + " jitter=" + std::to_string(x.jitterMs) + d;
  if (x.bytesPerSecond) s += "bandwidth rate=" + std::to_string(x.bytesPerSecond) + d;
  if (x.holdMs)
    s += "hold ms=" + std::to_string(x.holdMs) + " pass=" + std::to_string(x.passMs) + d;
  if (x.corruptEvery) s += "corrupt every=" + std::to_string(x.corruptEvery) + d;
  if (x.cutAfterBytes) s += "cut bytes=" + std::to_string(x.cutAfterBytes) + d;
  return s;
}

}  // namespace

std::string Toxics::Describe() const {
  std::string s = WayText(way[kUp], "up") + WayText(way[kDown], "down");
  if (slowCloseMs) s += "slow-close ms=" + std::to_string(slowCloseMs) + "\n";
  if (resetAfterMs) s += "reset ms=" + std::to_string(resetAfterMs) + "\n";
  return s.empty() ? "none\n" : s;
}

bool ParseToxics(const std::string& text, Toxics* out, std::string* error) {
  Toxics t;
  const std::vector<std::string> lines = kdl::util::SplitLines(text);
  for (size_t n = 0; n < lines.size(); ++n) {
    std::istringstream in(lines[n]);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty() || words[0][0] == '#') continue;
    const std::string why = ParseLine(words, &t);
    if (!why.empty()) {
      *error = "line " + std::to_string(n + 1) + ": " + why;
      return false;
    }
  }
  *out = t;
  return true;
}

uint64_t HoldUntil(const WayToxics& t, uint64_t sinceLoadMs) {
  if (t.holdMs == 0) return sinceLoadMs;
  const uint64_t period = uint64_t(t.holdMs) + t.passMs;
  const uint64_t start = sinceLoadMs / period * period;
  return sinceLoadMs - start < t.holdMs ? start + t.holdMs : sinceLoadMs;
}

}  // namespace kdl::proxy
