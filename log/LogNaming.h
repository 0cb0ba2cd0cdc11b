// Names the log writer derives from the host executable's path: the log
// folder, the daily file, the pattern and cut-off of old files and the names
// of the shared block. Pure functions, so both naming flavours can be checked
// on any system.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace kdl::log {

// Windows: case-insensitive names, lower-cased, '\' separator, ".exe"
// executables. POSIX: case kept, '/' separator, executables without suffix.
enum class NameFlavour { kWindows, kPosix };

#ifdef _WIN32
constexpr NameFlavour kNativeFlavour = NameFlavour::kWindows;
#else
constexpr NameFlavour kNativeFlavour = NameFlavour::kPosix;
#endif

// Longest executable name (up to its first dot) kept in the base name; a
// longer one is cut to this many bytes.
constexpr size_t kMaxBaseNameChars = 62;

struct LogNames {
  // Windows: the executable's directory, lower-cased, followed by "\Log"
  // (C:\Tools\Host.exe -> c:\tools\Log). POSIX: <directory>/Log.
  std::string logDir;
  // Separator and executable file name (lower-cased on Windows): \host.exe.
  std::string exeTail;
  // Backslash and the executable's name up to its first dot, lower-cased,
  // at most 63 bytes: \host. Used for the shared objects in both flavours.
  std::string baseName;
};

// An empty path counts as the name "kelvane"; a path without a separator is
// a bare name in the current directory (log folder "Log").
LogNames MakeLogNames(const std::string& exePath, NameFlavour flavour);

// "Global" + base + ".mem" / ".evt": Global\host.mem, Global\host.evt.
std::string SharedMemName(const std::string& baseName);
std::string SharedEventName(const std::string& baseName);

// "%04u%02u%02u.log" of a date: 20261207.log.
std::string DayName(const kdl::plat::LocalTime& t);

// The daily file. Windows: log dir + exe tail with every ".exe" replaced by
// the day name (c:\tools\Log\host20261207.log). POSIX: log dir + tail + day
// name (/opt/tools/Log/host20261207.log).
std::string DailyFilePath(const LogNames& n, const std::string& dayName, NameFlavour flavour);

// Wildcard of the writer's daily files: host*.log (on POSIX the name's
// wildcard characters are escaped).
std::string OldFilesPattern(const LogNames& n, NameFlavour flavour);

// Path of the oldest daily file kept, for the cut-off day's name; lower-cased
// on Windows.
std::string CutOffPath(const LogNames& n, const std::string& cutOffDayName, NameFlavour flavour);

// True when `path` sorts before `cutOff` byte by byte (after lower-casing on
// Windows): such a file is deleted.
bool SortsBeforeCutOff(const std::string& path, const std::string& cutOff, NameFlavour flavour);

// Every occurrence of `from` in `s` replaced by `to`.
std::string ReplaceAll(const std::string& s, const std::string& from, const std::string& to);
std::string ToLowerAscii(const std::string& s);

}  // namespace kdl::log
