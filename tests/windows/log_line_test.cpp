// The log writer's line building on the Windows C runtime: the prefix fields,
// and a text longer than the line's room cut so that the line still ends with
// its line feed (stored as CR LF in the daily file). The writer runs with a
// fixed clock and thread id and names itself after an executable in a
// temporary folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <memory>
#include <string>

#include "log/LogWriter.h"
#include "tests/windows/WinTestSupport.h"

namespace {

std::string g_exe;

kdl::plat::LocalTime FixedNow() {
  kdl::plat::LocalTime t;
  t.year = 2026, t.month = 12, t.day = 7;
  t.hour = 9, t.minute = 5, t.second = 3, t.milliseconds = 7;
  return t;
}
uint32_t FixedThread() { return 0xa1c; }
std::string FixedExe() { return g_exe; }

void Print(CLogWriter& w, uint32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  w.WriteV(level, format, args);
  va_end(args);
}

class WindowsLogLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_tmp.Path().empty());
    g_exe = m_tmp.Path() + "\\LineHost_" + std::to_string(GetCurrentProcessId()) + ".exe";
    kdl::log::LogEnvironment env;
    env.now = FixedNow;
    env.threadId = FixedThread;
    env.executablePath = FixedExe;
    m_writer = std::make_unique<CLogWriter>(env);
    m_writer->m_nOutputMask = LOG_OUT_FILE;
  }
  void TearDown() override { m_writer.reset(); }

  std::string DailyFile() {
    m_writer->CloseFile();
    std::string bytes;
    kdl::test::ReadFileBytes(kdl::test::Lower(m_tmp.Path()) + "\\Log\\linehost_" +
                               std::to_string(GetCurrentProcessId()) + "20261207.log",
                           &bytes);
    return bytes;
  }

  kdl::test::TempFolder m_tmp{"KvLogLine"};
  std::unique_ptr<CLogWriter> m_writer;
};

}  // namespace

TEST_F(WindowsLogLine, PrefixFieldsAndLevelNames) {
  Print(*m_writer, LOG_ERROR, "Udp Create failed.");
  m_writer->m_nPrefixMask = 0x07;
  m_writer->SetLocation("NetManager", 171);
  Print(*m_writer, LOG_WARNING, "type:%d %s", -5, "x");
  m_writer->m_nPrefixMask = 0;
  Print(*m_writer, 12, "two bits");
  Print(*m_writer, LOG_DEBUG, "masked out");
  EXPECT_EQ(
      "[09:05:03.007]|[0a1c]|[Error]|Udp Create failed.\r\n"
      "[09:05:03.007]|[0a1c]|[NetManager:171]|[Warning]|type:-5 x\r\n"
      "[Unkown]|two bits\r\n",
      DailyFile());
}

// 2,042 bytes of prefix and text at most, then the line feed.
TEST_F(WindowsLogLine, LongTextIsCutAndKeepsItsLineFeed) {
  const std::string text(3000, 'a');
  Print(*m_writer, LOG_INFO, "%s", text.c_str());
  Print(*m_writer, LOG_INFO, "next");
  const std::string prefix = "[09:05:03.007]|[0a1c]|[Info]|";
  const std::string want = prefix + std::string(2042 - prefix.size(), 'a') + "\r\n" + prefix +
                           "next\r\n";
  EXPECT_EQ(want, DailyFile());
}
