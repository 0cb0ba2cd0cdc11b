// The process-wide log writer: one line per message, sent to the console,
// a daily file in a Log folder beside the host executable (on Linux, for a
// program under /usr or in a folder it cannot write, the folder that
// plat::LogFolderFor chooses), the debugger and a shared-memory ring that an
// outside viewer can follow.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "log/LogNaming.h"
#include "log/LogSharedBlock.h"
#include "platform/Platform.h"

// Levels: single bits.
enum : uint32_t {
  LOG_STARTUP = 1,
  LOG_SHUTDOWN = 2,
  LOG_INFO = 4,
  LOG_WARNING = 8,
  LOG_TRACE = 16,
  LOG_ERROR = 32,
  LOG_DEBUG = 64,
};

// Output mask bits.
enum : uint32_t {
  LOG_OUT_CONSOLE = 0x01,
  LOG_OUT_FILE = 0x02,
  LOG_OUT_SHARED = 0x08,
  LOG_OUT_DEBUGGER = 0x10,
};

// Prefix mask bits (the level field is always present).
enum : uint32_t {
  LOG_PREFIX_TIME = 0x01,
  LOG_PREFIX_THREAD = 0x02,
  LOG_PREFIX_LOCATION = 0x04,
};

namespace kdl::log {

// Name of a level; "Unkown" for anything that is not a single known bit.
const char* LogLevelName(uint32_t level);

// Sources of time, thread id and executable path; tests replace them.
struct LogEnvironment {
  kdl::plat::LocalTime (*now)() = kdl::plat::GetLocalTimeNow;
  uint32_t (*threadId)() = kdl::plat::CurrentThreadId;
  std::string (*executablePath)() = kdl::plat::ExecutablePath;
};

}  // namespace kdl::log

class CLogWriter {
 public:
  // The one writer of the process, built on first use and never destroyed.
  static CLogWriter* Instance();

  // Stores the caller's source location for the following lines.
  void SetLocation(const char* file, int line);
  // Builds and sends one line.
  void WriteV(uint32_t level, const char* format, va_list args);
  // Location and text in one locked step, so that concurrent callers never
  // pick up each other's location.
  void WriteAt(const char* file, int line, uint32_t level, const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 5, 6)))
#endif
      ;

  // Masks and retention. Defaults: output 0x0F, prefix 0x03, level 0x3F, 30
  // days. Set them before the writer is shared between threads.
  uint32_t m_nOutputMask = 0x0F;
  uint32_t m_nPrefixMask = 0x03;
  uint32_t m_nLevelMask = 0x3F;
  uint32_t m_nDaysKept = 30;

  const std::string& LogDirectory() const { return m_Names.logDir; }
  const kdl::log::LogNames& Names() const { return m_Names; }

  // ---- for tests -----------------------------------------------------------
  // A writer built with the given environment instead of the process's; it
  // names its files and shared block after `env.executablePath()`.
  explicit CLogWriter(const kdl::log::LogEnvironment& env);
  ~CLogWriter();
  CLogWriter(const CLogWriter&) = delete;
  CLogWriter& operator=(const CLogWriter&) = delete;
  kdl::log::CLogSharedBlock& SharedBlock() { return m_SharedBlock; }
  // Closes the open daily file (tests that remove the log folder call this).
  void CloseFile();

 private:
  // Builds the line from the prefix and `text` (its first `textLength`
  // bytes, cut to the room) and sends it to the outputs.
  void WriteLocked(uint32_t level, const char* text, size_t textLength);
  // Writes the prefix fields and the level field into m_szLine; returns
  // their length.
  size_t BuildPrefixLocked(uint32_t level, const kdl::plat::LocalTime& now);
  // Writes the first `lineLength` bytes of m_szLine to the daily file.
  void WriteToFile(const kdl::plat::LocalTime& now, size_t lineLength);
  // Publishes the first `lineLength` bytes of m_szLine to the shared ring;
  // says once on the console when the ring was refused.
  void PublishLocked(size_t lineLength, uint32_t level);
  // Opens the daily file of `day` (and on a new day removes old files).
  // When it cannot be opened, notes the minute for the next try and says so
  // once on the console.
  void OpenDailyFile(const char* day, const kdl::plat::LocalTime& now, bool newDay);
  // Builds the file names, makes the folder and opens the shared ring. False
  // when out of memory; tried again with the next daily file.
  bool SetUpNames() noexcept;
  void CleanOldFiles(uint32_t days, const kdl::plat::LocalTime& now);
  void SetLocationLocked(const char* file, int line);

  kdl::plat::Lock m_Lock;
  kdl::log::LogEnvironment m_Env;
  std::string m_strLocationFile;
  int m_nLocationLine = 0;
  kdl::log::LogNames m_Names;
  kdl::log::CLogSharedBlock m_SharedBlock;
  // Used only under m_Lock.
  char m_szLine[2044];
  char m_szDay[32] = {};
  uint32_t m_nDayKey = 0;  // the current day as yyyymmdd (0: none)
  std::FILE* m_pFile = nullptr;
  bool m_bNamed = false;
  int m_nFailedMinute = -1;         // minute of the day of the last failed open
  bool m_bFileFailureShown = false;  // the console has been told
  bool m_bRingFailureShown = false;  // the console has been told
};

// printf-style line through the process's writer.
void LogPrint(uint32_t level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The library's own call sites: location and text in one locked step.
// `source` is the subsystem's source name ("NetManager", ...).
#define KLOG_AT(source, level, ...) \
  CLogWriter::Instance()->WriteAt(source, __LINE__, level, __VA_ARGS__)
// The same with an explicit line number instead of the call site's.
#define KLOG_LINE(source, line, level, ...) \
  CLogWriter::Instance()->WriteAt(source, line, level, __VA_ARGS__)
