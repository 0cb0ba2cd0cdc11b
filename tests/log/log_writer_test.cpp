#include "log/LogWriter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "LogTestEnv.h"

using kdl::log::LogLevelName;
using kdl::test::Print;
using kdl::test::ReadAll;
using kdl::test::WriterTest;

TEST(LogLevelName, NamesEverySingleBitAndUnkownOtherwise) {
  EXPECT_STREQ("Startup", LogLevelName(1));
  EXPECT_STREQ("Shutdown", LogLevelName(2));
  EXPECT_STREQ("Info", LogLevelName(4));
  EXPECT_STREQ("Warning", LogLevelName(8));
  EXPECT_STREQ("Trace", LogLevelName(16));
  EXPECT_STREQ("Error", LogLevelName(32));
  EXPECT_STREQ("Debug", LogLevelName(64));
  EXPECT_STREQ("Unkown", LogLevelName(0));
  EXPECT_STREQ("Unkown", LogLevelName(12));
  EXPECT_STREQ("Unkown", LogLevelName(128));
  EXPECT_STREQ("Unkown", LogLevelName(0xffffffffu));
}

TEST_F(WriterTest, DefaultsAndLogDirectory) {
  CLogWriter& w = Writer();
  EXPECT_EQ(0x03u, w.m_nPrefixMask);
  EXPECT_EQ(0x3Fu, w.m_nLevelMask);
  EXPECT_EQ(30u, w.m_nDaysKept);
  EXPECT_EQ(m_dir + "/Log", w.LogDirectory());
  EXPECT_TRUE(std::filesystem::is_directory(m_dir + "/Log"));
  EXPECT_TRUE(w.SharedBlock().IsReady());
  EXPECT_EQ(m_mem, w.SharedBlock().MemName());
  EXPECT_EQ(m_evt, w.SharedBlock().EventName());
}

#ifndef _WIN32
// An installed program (/usr/bin/...) does not log into /usr/bin/Log: as
// root into /var/log/<name>, as a user into $XDG_STATE_HOME/<name>/Log.
TEST_F(WriterTest, AProgramUnderUsrLogsWhereTheSystemKeepsLogs) {
  const std::string name = "kvusr_" + std::to_string(getpid());
  kdl::test::g_exe = "/usr/bin/" + name;
  const char* old = std::getenv("XDG_STATE_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_STATE_HOME", m_dir.c_str(), 1);
  const std::string folder = geteuid() == 0 ? "/var/log/" + name : m_dir + "/" + name + "/Log";
  {
    CLogWriter& w = Writer();
    Print(w, LOG_ERROR, "installed");
    EXPECT_EQ(folder, w.LogDirectory());
    EXPECT_EQ("[09:05:03.007]|[0a1c]|[Error]|installed\n",
              ReadAll(folder + "/" + name + "20261207.log"));
  }
  m_writer.reset();
  if (geteuid() == 0) std::filesystem::remove_all(folder);
  if (old) setenv("XDG_STATE_HOME", saved.c_str(), 1); else unsetenv("XDG_STATE_HOME");
  kdl::plat::SharedBlockUnlink("Global\\" + name + ".mem", "Global\\" + name + ".evt");
}
#endif

TEST_F(WriterTest, DefaultProcessWriterMasks) {
  kdl::log::LogEnvironment env;
  env.now = kdl::test::FixedNow;
  env.threadId = kdl::test::FixedThread;
  env.executablePath = kdl::test::FixedExe;
  CLogWriter w(env);
  EXPECT_EQ(0x0Fu, w.m_nOutputMask);
}

TEST_F(WriterTest, ExactLineWithTimeAndThread) {
  CLogWriter& w = Writer();
  Print(w, LOG_ERROR, "Udp Create failed.");
  EXPECT_EQ("[09:05:03.007]|[0a1c]|[Error]|Udp Create failed.\n",
            ReadAll(DailyFile("20261207")));

  // More than four hex digits are printed in full; the fields follow the
  // prefix mask.
  kdl::test::g_tid = 0x12345;
  kdl::test::SetClock(2026, 12, 7, 23, 59, 59, 999);
  Print(w, LOG_INFO, "n=%d s=%s", 42, "ok");
  w.m_nPrefixMask = 0;
  Print(w, LOG_WARNING, "bare");
  EXPECT_EQ(
      "[09:05:03.007]|[0a1c]|[Error]|Udp Create failed.\n"
      "[23:59:59.999]|[12345]|[Info]|n=42 s=ok\n"
      "[Warning]|bare\n",
      ReadAll(DailyFile("20261207")));
}

TEST_F(WriterTest, LocationFieldStandsBetweenThreadAndLevel) {
  CLogWriter& w = Writer();
  w.m_nPrefixMask = 0x07;
  w.WriteAt("NetManager", 215, LOG_ERROR, "Udp Create failed.");
  // SetLocation stays in force for later lines, until the next one.
  w.SetLocation("BasePlatform/NetHandler2", 88);
  Print(w, LOG_INFO, "first");
  Print(w, LOG_INFO, "second");
  w.SetLocation(nullptr, -3);
  Print(w, LOG_INFO, "third");
  EXPECT_EQ(
      "[09:05:03.007]|[0a1c]|[NetManager:215]|[Error]|Udp Create failed.\n"
      "[09:05:03.007]|[0a1c]|[BasePlatform/NetHandler2:88]|[Info]|first\n"
      "[09:05:03.007]|[0a1c]|[BasePlatform/NetHandler2:88]|[Info]|second\n"
      "[09:05:03.007]|[0a1c]|[:-3]|[Info]|third\n",
      ReadAll(DailyFile("20261207")));
}

TEST_F(WriterTest, MaskedLevelsWriteNothing) {
  CLogWriter& w = Writer();
  Print(w, LOG_DEBUG, "debug");
  Print(w, 0, "zero");
  w.WriteAt("x", 1, LOG_DEBUG, "debug");
  // No line means no daily file either, and nothing in the ring.
  EXPECT_FALSE(kdl::test::Exists(DailyFile("20261207")));
  const unsigned char* b = w.SharedBlock().Base();
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(0, b[4]);
  EXPECT_EQ(0, b[12]);

  // A level with several bits passes if one of them is in the mask.
  Print(w, 12, "two bits");
  Print(w, 64 | 32, "debug and error");
  w.m_nLevelMask = LOG_ERROR;
  Print(w, LOG_INFO, "now masked");
  EXPECT_EQ(
      "[09:05:03.007]|[0a1c]|[Unkown]|two bits\n"
      "[09:05:03.007]|[0a1c]|[Unkown]|debug and error\n",
      ReadAll(DailyFile("20261207")));
}

TEST_F(WriterTest, LongTextIsCutAndKeepsItsLineFeed) {
  CLogWriter& w = Writer();
  const std::string text(3000, 'x');
  Print(w, LOG_ERROR, "%s", text.c_str());
  const std::string line = ReadAll(DailyFile("20261207"));
  // 2,042 bytes of room: a 30-byte prefix leaves 2,012 for the text.
  const std::string prefix = "[09:05:03.007]|[0a1c]|[Error]|";
  ASSERT_EQ(30u, prefix.size());
  EXPECT_EQ(prefix + std::string(2012, 'x') + "\n", line);

  // A text that fits exactly is not cut.
  std::filesystem::remove(DailyFile("20261207"));
  w.CloseFile();
  Print(w, LOG_ERROR, "%s", std::string(2012, 'y').c_str());
  EXPECT_EQ(prefix + std::string(2012, 'y') + "\n", ReadAll(DailyFile("20261207")));
}

TEST_F(WriterTest, HugeLocationLeavesNoRoomButStaysBounded) {
  CLogWriter& w = Writer();
  w.m_nPrefixMask = 0x07;
  const std::string file(5000, 'f');
  w.WriteAt(file.c_str(), 7, LOG_INFO, "lost text");
  const std::string line = ReadAll(DailyFile("20261207"));
  EXPECT_EQ(2043u, line.size());
  EXPECT_EQ('\n', line.back());
  EXPECT_EQ(std::string::npos, line.find("lost"));
}

TEST_F(WriterTest, NullFormatWritesAnEmptyText) {
  CLogWriter& w = Writer();
  Print(w, LOG_INFO, nullptr);
  w.WriteAt("NetManager", 3, LOG_INFO, nullptr);
  EXPECT_EQ("[09:05:03.007]|[0a1c]|[Info]|\n[09:05:03.007]|[0a1c]|[Info]|\n",
            ReadAll(DailyFile("20261207")));
}

TEST_F(WriterTest, UnopenableFileDoesNotStopOtherOutputs) {
  // A regular file named Log where the folder should be.
  std::ofstream(m_dir + "/Log") << "in the way";
  CLogWriter& w = Writer();
  Print(w, LOG_ERROR, "first");
  Print(w, LOG_ERROR, "second");
  EXPECT_EQ("in the way", ReadAll(m_dir + "/Log"));
  const unsigned char* b = w.SharedBlock().Base();
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(2, b[4]);
  EXPECT_STREQ("[09:05:03.007]|[0a1c]|[Error]|second\n",
               reinterpret_cast<const char*>(b + 12 + 1020 + 4));
}

TEST_F(WriterTest, FileFailureIsRetriedOnlyOnTheNextDay) {
  CLogWriter& w = Writer();
  std::filesystem::remove_all(m_dir + "/Log");
  Print(w, LOG_INFO, "lost");
  ASSERT_TRUE(std::filesystem::create_directory(m_dir + "/Log"));
  Print(w, LOG_INFO, "still lost on the same day");
  EXPECT_FALSE(kdl::test::Exists(DailyFile("20261207")));
  kdl::test::SetClock(2026, 12, 8, 0, 0, 0, 1);
  Print(w, LOG_INFO, "next day");
  EXPECT_EQ("[00:00:00.001]|[0a1c]|[Info]|next day\n", ReadAll(DailyFile("20261208")));
}

TEST_F(WriterTest, ConsoleOutputCarriesTheLine) {
  CLogWriter& w = Writer();
  w.m_nOutputMask = LOG_OUT_CONSOLE;
  testing::internal::CaptureStdout();
  Print(w, LOG_WARNING, "to the console %u", 5u);
  std::fflush(stdout);
  EXPECT_EQ("[09:05:03.007]|[0a1c]|[Warning]|to the console 5\n",
            testing::internal::GetCapturedStdout());
  EXPECT_FALSE(kdl::test::Exists(DailyFile("20261207")));
  EXPECT_EQ(0, w.SharedBlock().Base()[4]);
}

TEST_F(WriterTest, FileFailureIsRetriedOnceAMinuteAndShownOnce) {
  CLogWriter& w = Writer();
  w.m_nOutputMask = LOG_OUT_FILE | LOG_OUT_CONSOLE;
  std::filesystem::remove_all(m_dir + "/Log");
  testing::internal::CaptureStdout();
  Print(w, LOG_INFO, "lost");
  kdl::test::SetClock(2026, 12, 7, 9, 6, 0, 0);
  Print(w, LOG_INFO, "lost a minute later");
  const std::string console = testing::internal::GetCapturedStdout();
  const std::string note = "Log file " + DailyFile("20261207") +
                           " cannot be opened: lines are not written to a file.\n";
  EXPECT_EQ(console, "[09:05:03.007]|[0a1c]|[Info]|lost\n" + note +
                         "[09:06:00.000]|[0a1c]|[Info]|lost a minute later\n");
  // The folder is back: the same minute does not try again, the next does.
  ASSERT_TRUE(std::filesystem::create_directory(m_dir + "/Log"));
  w.m_nOutputMask = LOG_OUT_FILE;
  Print(w, LOG_INFO, "same minute");
  EXPECT_FALSE(kdl::test::Exists(DailyFile("20261207")));
  kdl::test::SetClock(2026, 12, 7, 9, 7, 0, 0);
  Print(w, LOG_INFO, "written");
  EXPECT_EQ("[09:07:00.000]|[0a1c]|[Info]|written\n", ReadAll(DailyFile("20261207")));
}
