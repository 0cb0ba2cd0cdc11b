#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "LogTestEnv.h"
#include "log/LogWriter.h"

using kdl::test::Exists;
using kdl::test::Print;
using kdl::test::ReadAll;
using kdl::test::WriterTest;

namespace {

// Lists every entry of `directory` matching one of the ';'-separated
// wildcard `patterns`, with its full path.
void FindFiles(const char* directory, const char* patterns, std::vector<std::string>& list) {
  if (directory == nullptr || patterns == nullptr) return;
  std::string prefix = directory;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  const char* p = patterns;
  while (*p != '\0') {
    const char* end = std::strchr(p, ';');
    std::string pattern = end == nullptr ? std::string(p) : std::string(p, end);
    if (!pattern.empty()) {
      for (const std::string& name : kdl::plat::ListDirectory(directory, pattern)) {
        list.push_back(prefix + name);
      }
    }
    if (end == nullptr) break;
    p = end + 1;
  }
}

// The separator and file name of the running executable, as the writer
// names its files after it; null when the path has none.
const char* ModuleFileTail() {
  static const std::string s_tail =
      kdl::log::MakeLogNames(kdl::plat::ExecutablePath(), kdl::log::kNativeFlavour).exeTail;
  return s_tail.empty() ? nullptr : s_tail.c_str();
}

// Daily-file names of the writer for every date from 1 October to 6
// December 2026.
std::vector<std::string> OldDates() {
  std::vector<std::string> dates;
  const int lengths[] = {31, 30, 6};
  for (int m = 0; m < 3; ++m) {
    for (int d = 1; d <= lengths[m]; ++d) {
      char buf[32];
      std::snprintf(buf, sizeof(buf), "2026%02d%02d", 10 + m, d);
      dates.push_back(buf);
    }
  }
  return dates;
}

size_t CountDailyFiles(const std::string& dir, const std::string& exeName) {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.size() == exeName.size() + 12 && name.compare(0, exeName.size(), exeName) == 0) ++n;
  }
  return n;
}

}  // namespace

using DailyFileTest = WriterTest;

TEST_F(DailyFileTest, FirstLineDeletesFilesOlderThanThirtyDays) {
  CLogWriter& w = Writer();
  const std::string log = m_dir + "/Log/";
  for (const std::string& d : OldDates()) std::ofstream(log + m_exeName + d + ".log") << d;
  std::ofstream(log + m_exeName + "_old.log") << "odd name";
  std::ofstream(log + "Other20200101.log") << "not ours";
  std::ofstream(log + "kvhost_" + std::to_string(getpid()) + "20200101.log") << "other case";
  ASSERT_EQ(67u, CountDailyFiles(log, m_exeName));

  Print(w, LOG_INFO, "first");  // 7 December 2026

  // 7 November and later stay: 30 old ones and today's.
  EXPECT_EQ(31u, CountDailyFiles(log, m_exeName));
  EXPECT_FALSE(Exists(DailyFile("20261106")));
  EXPECT_FALSE(Exists(DailyFile("20261001")));
  EXPECT_TRUE(Exists(DailyFile("20261107")));
  EXPECT_EQ("20261107", ReadAll(DailyFile("20261107")));
  EXPECT_TRUE(Exists(DailyFile("20261206")));
  EXPECT_TRUE(Exists(log + m_exeName + "_old.log"));
  EXPECT_TRUE(Exists(log + "Other20200101.log"));
  EXPECT_TRUE(Exists(log + "kvhost_" + std::to_string(getpid()) + "20200101.log"));

  // A second line on the same day does not run the deletion again.
  std::ofstream(log + m_exeName + "20200101.log") << "planted";
  Print(w, LOG_INFO, "second");
  EXPECT_TRUE(Exists(DailyFile("20200101")));
  EXPECT_EQ(
      "[09:05:03.007]|[0a1c]|[Info]|first\n"
      "[09:05:03.007]|[0a1c]|[Info]|second\n",
      ReadAll(DailyFile("20261207")));
}

TEST_F(DailyFileTest, AfterMidnightTheNextFileOpensAndOldFilesGo) {
  CLogWriter& w = Writer();
  const std::string log = m_dir + "/Log/";
  for (const std::string& d : OldDates()) std::ofstream(log + m_exeName + d + ".log") << d;
  Print(w, LOG_INFO, "late");
  EXPECT_TRUE(Exists(DailyFile("20261107")));

  kdl::test::SetClock(2026, 12, 8, 0, 0, 0, 5);
  Print(w, LOG_ERROR, "early");
  EXPECT_FALSE(Exists(DailyFile("20261107")));
  EXPECT_TRUE(Exists(DailyFile("20261108")));
  EXPECT_EQ(31u, CountDailyFiles(log, m_exeName));
  EXPECT_EQ("[09:05:03.007]|[0a1c]|[Info]|late\n", ReadAll(DailyFile("20261207")));
  EXPECT_EQ("[00:00:00.005]|[0a1c]|[Error]|early\n", ReadAll(DailyFile("20261208")));
}

TEST_F(DailyFileTest, DaysKeptAndAppendingToAnExistingFile) {
  CLogWriter& w = Writer();
  w.m_nDaysKept = 1;
  const std::string log = m_dir + "/Log/";
  std::ofstream(DailyFile("20261207")) << "earlier run\n";
  std::ofstream(DailyFile("20261206")) << "yesterday\n";
  std::ofstream(DailyFile("20261205")) << "two days ago\n";
  Print(w, LOG_INFO, "appended");
  EXPECT_EQ("earlier run\n[09:05:03.007]|[0a1c]|[Info]|appended\n", ReadAll(DailyFile("20261207")));
  EXPECT_TRUE(Exists(DailyFile("20261206")));
  EXPECT_FALSE(Exists(DailyFile("20261205")));
}

TEST_F(DailyFileTest, FindFilesListsEveryPatternWithFullPaths) {
  const std::string dir = m_dir + "/find";
  ASSERT_TRUE(std::filesystem::create_directories(dir + "/sub"));
  for (const char* n : {"a1.log", "a2.log", "b.txt", "c.dat"}) std::ofstream(dir + "/" + n) << n;
  std::ofstream(dir + "/sub/a3.log") << "deeper";

  std::vector<std::string> list = {"kept"};
  FindFiles(dir.c_str(), "a*.log;;*.txt", list);
  std::sort(list.begin() + 1, list.end());
  EXPECT_EQ((std::vector<std::string>{"kept", dir + "/a1.log", dir + "/a2.log", dir + "/b.txt"}),
            list);

  // A trailing separator is not doubled.
  std::vector<std::string> list2;
  FindFiles((dir + "/").c_str(), "*.dat", list2);
  EXPECT_EQ(std::vector<std::string>{dir + "/c.dat"}, list2);

  std::vector<std::string> none;
  FindFiles((dir + "/missing").c_str(), "*", none);
  FindFiles(nullptr, "*", none);
  FindFiles(dir.c_str(), nullptr, none);
  EXPECT_TRUE(none.empty());
}

TEST(ModuleFileTail, NamesTheRunningExecutable) {
  const char* tail = ModuleFileTail();
  ASSERT_NE(nullptr, tail);
  EXPECT_STREQ("/log_tests", tail);
}
