// Naming rules of the log writer.
#include "log/LogNaming.h"

#include <cstdio>
#include <cstring>

namespace kdl::log {

namespace {

char Separator(NameFlavour f) { return f == NameFlavour::kWindows ? '\\' : '/'; }

// The executable's file name without its directory: everything after the
// last separator.
std::string FileNamePart(const std::string& path, NameFlavour f, std::string* dir) {
  size_t pos = path.rfind(Separator(f));
  if (pos == std::string::npos) {
    dir->clear();
    return path;
  }
  *dir = path.substr(0, pos);
  return path.substr(pos + 1);
}

}  // namespace

std::string ReplaceAll(const std::string& s, const std::string& from, const std::string& to) {
  if (from.empty()) return s;
  std::string out;
  size_t start = 0;
  for (size_t pos; (pos = s.find(from, start)) != std::string::npos; start = pos + from.size()) {
    out.append(s, start, pos - start);
    out += to;
  }
  out.append(s, start, std::string::npos);
  return out;
}

std::string ToLowerAscii(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

LogNames MakeLogNames(const std::string& exePath, NameFlavour flavour) {
  const bool windows = flavour == NameFlavour::kWindows;
  std::string path = exePath.empty() ? std::string("kelvane") : exePath;
  if (windows) path = ToLowerAscii(path);
  std::string dir;
  std::string name = FileNamePart(path, flavour, &dir);

  LogNames n;
  const char sep = Separator(flavour);
  if (dir.empty() && path.find(sep) == std::string::npos) {
    n.logDir = "Log";
  } else {
    n.logDir = dir + sep + "Log";
  }
  n.exeTail = std::string(1, sep) + name;

  // The base name ends at the first dot and always uses a backslash, so the
  // shared objects fall in the Global namespace under either flavour.
  std::string stem = name.substr(0, name.find('.'));
  if (stem.size() > kMaxBaseNameChars) stem.resize(kMaxBaseNameChars);
  n.baseName = "\\" + ToLowerAscii(stem);
  return n;
}

std::string SharedMemName(const std::string& baseName) { return "Global" + baseName + ".mem"; }
std::string SharedEventName(const std::string& baseName) { return "Global" + baseName + ".evt"; }

std::string DayName(const kdl::plat::LocalTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%04u%02u%02u.log", static_cast<unsigned>(t.year),
                static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
  return buf;
}

std::string DailyFilePath(const LogNames& n, const std::string& dayName, NameFlavour flavour) {
  if (flavour == NameFlavour::kWindows) return n.logDir + ReplaceAll(n.exeTail, ".exe", dayName);
  return n.logDir + n.exeTail + dayName;
}

std::string OldFilesPattern(const LogNames& n, NameFlavour flavour) {
  std::string name = n.exeTail.substr(1);
  if (flavour == NameFlavour::kWindows) return ReplaceAll(name, ".exe", "*.log");
  std::string escaped;
  for (char c : name) {
    if (c == '*' || c == '?' || c == '[' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped + "*.log";
}

std::string CutOffPath(const LogNames& n, const std::string& cutOffDayName, NameFlavour flavour) {
  std::string name = n.exeTail.substr(1);
  if (flavour == NameFlavour::kWindows) {
    return ToLowerAscii(n.logDir + "\\" + ReplaceAll(name, ".exe", cutOffDayName));
  }
  return n.logDir + "/" + name + cutOffDayName;
}

bool SortsBeforeCutOff(const std::string& path, const std::string& cutOff, NameFlavour flavour) {
  const std::string p = flavour == NameFlavour::kWindows ? ToLowerAscii(path) : path;
  const std::string c = flavour == NameFlavour::kWindows ? ToLowerAscii(cutOff) : cutOff;
  return std::strcmp(p.c_str(), c.c_str()) < 0;
}

}  // namespace kdl::log
