// The log writer: line building and the four outputs.
#include "log/LogWriter.h"

#include <cstring>
#include <vector>

#include "util/NeverDestroyed.h"

namespace {

// Room for the prefix and the text; the line feed and the NUL follow.
constexpr size_t kLineRoom = 2042;

// The length of a line after a field of n bytes (a snprintf result) was
// added at `len`: the field is cut rather than allowed past the room.
size_t Added(size_t len, int n) {
  if (n <= 0) return len;
  return len + static_cast<size_t>(n) > kLineRoom ? kLineRoom : len + static_cast<size_t>(n);
}

// The text of a line, formatted before the writer's lock is taken, so that
// other threads wait only for the outputs: at most the whole room, which the
// prefix then shortens. Returns its length (0 without a format).
size_t FormatText(char (&text)[kLineRoom + 1], const char* format, va_list args) {
  text[0] = '\0';
  if (format == nullptr) return 0;
  const int n = std::vsnprintf(text, sizeof(text), format, args);
  return n < 0 ? 0 : Added(0, n);
}

// The date of `t` as one number, yyyymmdd.
uint32_t DayKey(const kdl::plat::LocalTime& t) { return t.year * 10000u + t.month * 100u + t.day; }

// Writes v in `base` (10 or 16, lower-case digits) with at least `width`
// digits, zero-padded, as "%0*u" and "%0*x" do. Returns the end of the text.
char* PutNumber(char* out, uint32_t v, uint32_t base, int width) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[v % base];
    v /= base;
  } while (v != 0);
  for (; width > n; --width) *out++ = '0';
  while (n > 0) *out++ = digits[--n];
  return out;
}

// Two digits of a time field below 100, as PutNumber(out, v, 10, 2) writes
// them, without its loop (the prefix of every line has three such fields).
char* PutTwoDigits(char* out, uint32_t v) {
  if (v >= 100) return PutNumber(out, v, 10, 2);
  out[0] = static_cast<char>('0' + v / 10);
  out[1] = static_cast<char>('0' + v % 10);
  return out + 2;
}

// Appends to `list` the full path of every entry of `directory` that
// matches one of the ';'-separated wildcard `patterns` (no subdirectories).
void FindFiles(const char* directory, const char* patterns, std::vector<std::string>& list) {
  if (directory == nullptr || patterns == nullptr) return;
  const char sep = kdl::plat::PathSeparator();
  std::string dir = directory;
  std::string prefix = dir;
  if (!prefix.empty() && prefix.back() != sep) prefix += sep;
  const char* p = patterns;
  while (*p != '\0') {
    const char* end = std::strchr(p, ';');
    std::string pattern = end == nullptr ? std::string(p) : std::string(p, end);
    if (!pattern.empty()) {
      for (const std::string& name : kdl::plat::ListDirectory(dir, pattern)) {
        list.push_back(prefix + name);
      }
    }
    if (end == nullptr) break;
    p = end + 1;
  }
}

}  // namespace

namespace kdl::log {

const char* LogLevelName(uint32_t level) {
  switch (level) {
    case LOG_STARTUP: return "Startup";
    case LOG_SHUTDOWN: return "Shutdown";
    case LOG_INFO: return "Info";
    case LOG_WARNING: return "Warning";
    case LOG_TRACE: return "Trace";
    case LOG_ERROR: return "Error";
    case LOG_DEBUG: return "Debug";
    default: return "Unkown";
  }
}

}  // namespace kdl::log

CLogWriter* CLogWriter::Instance() {
  // Static storage: building the writer cannot fail for want of memory, and
  // it is never destroyed, so lines logged during process exit still work.
  static kdl::util::TNeverDestroyed<CLogWriter> s_writer;
  return &s_writer.Get(kdl::log::LogEnvironment());
}

CLogWriter::CLogWriter(const kdl::log::LogEnvironment& env) : m_Env(env) {
  if (m_Env.now == nullptr) m_Env.now = kdl::plat::GetLocalTimeNow;
  if (m_Env.threadId == nullptr) m_Env.threadId = kdl::plat::CurrentThreadId;
  if (m_Env.executablePath == nullptr) m_Env.executablePath = kdl::plat::ExecutablePath;
  m_szLine[0] = '\0';
  SetUpNames();
}

bool CLogWriter::SetUpNames() noexcept {
  try {
    const std::string exe = m_Env.executablePath();
    m_Names = kdl::log::MakeLogNames(exe, kdl::log::kNativeFlavour);
    // Deliberate: on Linux a program under /usr (or one whose folder takes
    // no files) logs where the system keeps logs, not beside itself.
    m_Names.logDir = kdl::plat::LogFolderFor(exe, m_Names.logDir);
    // A failure shows later as a daily file that cannot be opened.
    kdl::plat::MakeDirectories(m_Names.logDir);
    m_bNamed = true;
    m_SharedBlock.Open(m_Names.baseName.c_str());
  } catch (...) {
    // Out of memory: the next attempt to open the daily file tries again;
    // the ring stays off.
  }
  return m_bNamed;
}

CLogWriter::~CLogWriter() { CloseFile(); }

void CLogWriter::CloseFile() {
  kdl::plat::LockGuard hold(m_Lock);
  if (m_pFile != nullptr) std::fclose(m_pFile);
  m_pFile = nullptr;
  // The next file line opens the day's file again.
  m_szDay[0] = '\0';
  m_nDayKey = 0;
}

void CLogWriter::SetLocationLocked(const char* file, int line) {
  m_strLocationFile = file == nullptr ? "" : file;
  m_nLocationLine = line;
}

// Logging never fails a caller: a line that cannot be built or written for
// want of memory is lost, nothing more.
void CLogWriter::SetLocation(const char* file, int line) {
  try {
    kdl::plat::LockGuard hold(m_Lock);
    SetLocationLocked(file, line);
  } catch (...) {
  }
}

void CLogWriter::WriteV(uint32_t level, const char* format, va_list args) {
  if ((level & m_nLevelMask) == 0) return;
  try {
    char text[kLineRoom + 1];
    const size_t length = FormatText(text, format, args);
    kdl::plat::LockGuard hold(m_Lock);
    WriteLocked(level, text, length);
  } catch (...) {
  }
}

void CLogWriter::WriteAt(const char* file, int line, uint32_t level, const char* format, ...) {
  if ((level & m_nLevelMask) == 0) return;
  va_list args;
  va_start(args, format);
  try {
    char text[kLineRoom + 1];
    const size_t length = FormatText(text, format, args);
    kdl::plat::LockGuard hold(m_Lock);
    SetLocationLocked(file, line);
    WriteLocked(level, text, length);
  } catch (...) {
  }
  va_end(args);
}

size_t CLogWriter::BuildPrefixLocked(uint32_t level, const kdl::plat::LocalTime& now) {
  // The time and thread fields come first and take at most 37 bytes, far
  // below the room; they are built by hand, as the formatter costs more than
  // the rest of the prefix.
  char* p = m_szLine;
  if (m_nPrefixMask & LOG_PREFIX_TIME) {
    *p++ = '[';
    p = PutTwoDigits(p, now.hour);
    *p++ = ':';
    p = PutTwoDigits(p, now.minute);
    *p++ = ':';
    p = PutTwoDigits(p, now.second);
    *p++ = '.';
    if (now.milliseconds < 1000) {
      *p++ = static_cast<char>('0' + now.milliseconds / 100);
      p = PutTwoDigits(p, now.milliseconds % 100u);
    } else {
      p = PutNumber(p, now.milliseconds, 10, 3);
    }
    *p++ = ']';
    *p++ = '|';
  }
  if (m_nPrefixMask & LOG_PREFIX_THREAD) {
    *p++ = '[';
    p = PutNumber(p, m_Env.threadId(), 16, 4);
    *p++ = ']';
    *p++ = '|';
  }
  size_t len = static_cast<size_t>(p - m_szLine);
  if (m_nPrefixMask & LOG_PREFIX_LOCATION) {
    len = Added(len, std::snprintf(m_szLine + len, kLineRoom + 1 - len, "[%s:%d]|",
                                   m_strLocationFile.c_str(), m_nLocationLine));
  }
  // "[%s]|" with the level's name, cut at the room like the other fields.
  const char* name = kdl::log::LogLevelName(level);
  char field[16];
  size_t n = 0;
  field[n++] = '[';
  while (*name != '\0') field[n++] = *name++;
  field[n++] = ']';
  field[n++] = '|';
  if (n > kLineRoom - len) n = kLineRoom - len;
  std::memcpy(m_szLine + len, field, n);
  return len + n;
}

void CLogWriter::WriteLocked(uint32_t level, const char* text, size_t textLength) {
  const kdl::plat::LocalTime now = m_Env.now();
  size_t len = BuildPrefixLocked(level, now);

  // The text, cut to what is left of the room.
  const size_t keep = textLength < kLineRoom - len ? textLength : kLineRoom - len;
  std::memcpy(m_szLine + len, text, keep);
  len += keep;
  m_szLine[len] = '\n';
  m_szLine[len + 1] = '\0';
  // The text may hold a NUL of its own (a %c of 0): every output ends the
  // line there, as a text output would.
  const size_t lineLength = std::strlen(m_szLine);

  if (m_nOutputMask & LOG_OUT_CONSOLE) std::fputs(m_szLine, stdout);
  if (m_nOutputMask & LOG_OUT_DEBUGGER) kdl::plat::DebugOutput(m_szLine);
  if (m_nOutputMask & LOG_OUT_FILE) WriteToFile(now, lineLength);
  if (m_nOutputMask & LOG_OUT_SHARED) PublishLocked(lineLength, level);
}

void CLogWriter::PublishLocked(size_t lineLength, uint32_t level) {
  if (m_SharedBlock.IsReady()) {
    m_SharedBlock.Publish(m_szLine, lineLength, level);
    return;
  }
  const kdl::plat::SharedBlockStatus status = m_SharedBlock.Status();
  if (m_bRingFailureShown || status == kdl::plat::SharedBlockStatus::kOk ||
      (m_nOutputMask & LOG_OUT_CONSOLE) == 0) {
    return;
  }
  m_bRingFailureShown = true;
  const char* why = status == kdl::plat::SharedBlockStatus::kOtherOwner ? "belongs to another user"
                    : status == kdl::plat::SharedBlockStatus::kTooSmall
                        ? "is smaller than the ring"
                        : "cannot be opened";
  const std::string& name = m_SharedBlock.MemName();
  std::fprintf(stdout, "Shared log block %s %s: lines are not published to it.\n",
               name.empty() ? "(no name)" : name.c_str(), why);
}

void CLogWriter::WriteToFile(const kdl::plat::LocalTime& now, size_t lineLength) {
  // The steady path: the day's file is open.
  if (m_pFile != nullptr && DayKey(now) == m_nDayKey) {
    std::fwrite(m_szLine, 1, lineLength, m_pFile);
    std::fflush(m_pFile);
    return;
  }
  // "%04u%02u%02u.log", built by hand: the formatter cost more than the
  // rest of the line's path outside the message text.
  char day[32];
  char* d = PutNumber(day, now.year, 10, 4);
  d = PutNumber(d, now.month, 10, 2);
  d = PutNumber(d, now.day, 10, 2);
  std::memcpy(d, ".log", 5);
  const int minute = now.hour * 60 + now.minute;
  const bool newDay = std::strcmp(day, m_szDay) != 0;
  // A file that could not be opened is tried again once a minute.
  if (newDay || (m_pFile == nullptr && minute != m_nFailedMinute)) {
    OpenDailyFile(day, now, newDay);
  }
  if (m_pFile != nullptr) {
    std::fwrite(m_szLine, 1, lineLength, m_pFile);
    std::fflush(m_pFile);
  }
}

void CLogWriter::OpenDailyFile(const char* day, const kdl::plat::LocalTime& now, bool newDay) {
  if (m_pFile != nullptr) std::fclose(m_pFile);
  m_pFile = nullptr;
  std::memcpy(m_szDay, day, sizeof(m_szDay));
  m_nDayKey = DayKey(now);
  std::string path;
  if (m_bNamed || SetUpNames()) {
    try {
      if (newDay) CleanOldFiles(m_nDaysKept, now);
      path = kdl::log::DailyFilePath(m_Names, day, kdl::log::kNativeFlavour);
      m_pFile = kdl::plat::OpenAppendShared(path);
    } catch (...) {
    }
  }
  if (m_pFile != nullptr) {
    m_bFileFailureShown = false;
    return;
  }
  m_nFailedMinute = now.hour * 60 + now.minute;
  if (!m_bFileFailureShown && (m_nOutputMask & LOG_OUT_CONSOLE)) {
    std::fprintf(stdout, "Log file %s cannot be opened: lines are not written to a file.\n",
                 path.empty() ? "(no name)" : path.c_str());
  }
  m_bFileFailureShown = true;
}

void CLogWriter::CleanOldFiles(uint32_t days, const kdl::plat::LocalTime& now) {
  const kdl::log::NameFlavour flavour = kdl::log::kNativeFlavour;
  std::vector<std::string> files;
  FindFiles(m_Names.logDir.c_str(), kdl::log::OldFilesPattern(m_Names, flavour).c_str(), files);
  if (files.empty()) return;
  // Deliberate: the cut-off is `days` calendar days back. Subtracting
  // seconds would cross a daylight-saving change an hour short and delete a
  // file a day early.
  const std::string cutOff =
      kdl::log::CutOffPath(m_Names, kdl::log::DayName(kdl::plat::SubtractDays(now, days)), flavour);
  for (const std::string& path : files) {
    if (kdl::log::SortsBeforeCutOff(path, cutOff, flavour)) kdl::plat::DeleteFileAt(path);
  }
}

void LogPrint(uint32_t level, const char* format, ...) {
  CLogWriter* w = CLogWriter::Instance();
  if ((level & w->m_nLevelMask) == 0) return;
  va_list args;
  va_start(args, format);
  w->WriteV(level, format, args);
  va_end(args);
}
