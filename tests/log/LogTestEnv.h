// A writer with a fixed clock, thread id and an executable inside a fresh
// temporary directory, plus helpers to read what it wrote.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "log/LogWriter.h"

namespace kdl::test {

inline kdl::plat::LocalTime g_now;
inline uint32_t g_tid = 0xa1c;
inline std::string g_exe;

inline kdl::plat::LocalTime FixedNow() { return g_now; }
inline uint32_t FixedThread() { return g_tid; }
inline std::string FixedExe() { return g_exe; }

inline void SetClock(int y, int mo, int d, int h, int mi, int s, int ms) {
  g_now = kdl::plat::LocalTime();
  g_now.year = static_cast<uint16_t>(y);
  g_now.month = static_cast<uint16_t>(mo);
  g_now.day = static_cast<uint16_t>(d);
  g_now.hour = static_cast<uint16_t>(h);
  g_now.minute = static_cast<uint16_t>(mi);
  g_now.second = static_cast<uint16_t>(s);
  g_now.milliseconds = static_cast<uint16_t>(ms);
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvlog.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    m_dir = tmpl;
    m_exeName = "KvHost_" + std::to_string(getpid());
    g_exe = m_dir + "/" + m_exeName;
    g_tid = 0xa1c;
    SetClock(2026, 12, 7, 9, 5, 3, 7);
    m_mem = "Global\\kvhost_" + std::to_string(getpid()) + ".mem";
    m_evt = "Global\\kvhost_" + std::to_string(getpid()) + ".evt";
    kdl::plat::SharedBlockUnlink(m_mem, m_evt);
  }
  void TearDown() override {
    m_writer.reset();
    kdl::plat::SharedBlockUnlink(m_mem, m_evt);
    std::filesystem::remove_all(m_dir);
  }

  CLogWriter& Writer() {
    if (!m_writer) {
      kdl::log::LogEnvironment env;
      env.now = FixedNow;
      env.threadId = FixedThread;
      env.executablePath = FixedExe;
      m_writer = std::make_unique<CLogWriter>(env);
      m_writer->m_nOutputMask = LOG_OUT_FILE | LOG_OUT_SHARED;
    }
    return *m_writer;
  }

  // Path of the daily file of a date.
  std::string DailyFile(const char* yyyymmdd) const {
    return m_dir + "/Log/" + m_exeName + yyyymmdd + ".log";
  }

  std::string m_dir;
  std::string m_exeName;
  std::string m_mem, m_evt;
  std::unique_ptr<CLogWriter> m_writer;
};

// printf-style call of WriteV, as LogPrint does for the process's writer.
inline void Print(CLogWriter& w, uint32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  w.WriteV(level, format, args);
  va_end(args);
}

}  // namespace kdl::test
