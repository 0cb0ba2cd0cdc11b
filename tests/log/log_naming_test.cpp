#include "log/LogNaming.h"

#include <gtest/gtest.h>

using kdl::log::NameFlavour;

namespace {
kdl::plat::LocalTime Day(int y, int m, int d) {
  kdl::plat::LocalTime t;
  t.year = static_cast<uint16_t>(y);
  t.month = static_cast<uint16_t>(m);
  t.day = static_cast<uint16_t>(d);
  return t;
}
}  // namespace

TEST(LogNaming, WindowsExecutable) {
  kdl::log::LogNames n = kdl::log::MakeLogNames("C:\\Tools\\Host.exe", NameFlavour::kWindows);
  EXPECT_EQ("c:\\tools\\Log", n.logDir);
  EXPECT_EQ("\\host.exe", n.exeTail);
  EXPECT_EQ("\\host", n.baseName);
  EXPECT_EQ("Global\\host.mem", kdl::log::SharedMemName(n.baseName));
  EXPECT_EQ("Global\\host.evt", kdl::log::SharedEventName(n.baseName));
  EXPECT_EQ("c:\\tools\\Log\\host20261207.log",
            kdl::log::DailyFilePath(n, "20261207.log", NameFlavour::kWindows));
  EXPECT_EQ("host*.log", kdl::log::OldFilesPattern(n, NameFlavour::kWindows));
  EXPECT_EQ("c:\\tools\\log\\host20261107.log",
            kdl::log::CutOffPath(n, "20261107.log", NameFlavour::kWindows));
}

TEST(LogNaming, WindowsNameWithSeveralDots) {
  kdl::log::LogNames n = kdl::log::MakeLogNames("D:\\Apps.v2\\A.B.exe", NameFlavour::kWindows);
  EXPECT_EQ("d:\\apps.v2\\Log", n.logDir);  // dots of the directory stay
  EXPECT_EQ("\\a", n.baseName);
  EXPECT_EQ("Global\\a.mem", kdl::log::SharedMemName(n.baseName));
  EXPECT_EQ("d:\\apps.v2\\Log\\a.b20261207.log",
            kdl::log::DailyFilePath(n, "20261207.log", NameFlavour::kWindows));
  EXPECT_EQ("a.b*.log", kdl::log::OldFilesPattern(n, NameFlavour::kWindows));
}

TEST(LogNaming, WindowsCutOffComparesLowerCased) {
  const std::string cut = "c:\\tools\\log\\host20261107.log";
  EXPECT_TRUE(kdl::log::SortsBeforeCutOff("c:\\tools\\Log\\HOST20261106.log", cut,
                                      NameFlavour::kWindows));
  EXPECT_FALSE(kdl::log::SortsBeforeCutOff("c:\\tools\\Log\\Host20261107.LOG", cut,
                                       NameFlavour::kWindows));
  EXPECT_FALSE(kdl::log::SortsBeforeCutOff("c:\\tools\\Log\\host20261207.log", cut,
                                       NameFlavour::kWindows));
  // '_' (0x5f) sorts after every digit: an odd name survives.
  EXPECT_FALSE(kdl::log::SortsBeforeCutOff("c:\\tools\\Log\\host_old.log", cut,
                                       NameFlavour::kWindows));
  // An earlier year sorts before even with a later month.
  EXPECT_TRUE(kdl::log::SortsBeforeCutOff("c:\\tools\\Log\\host20251231.log", cut,
                                      NameFlavour::kWindows));
}

TEST(LogNaming, PosixExecutableKeepsCase) {
  kdl::log::LogNames n = kdl::log::MakeLogNames("/opt/Tools/Host", NameFlavour::kPosix);
  EXPECT_EQ("/opt/Tools/Log", n.logDir);
  EXPECT_EQ("/Host", n.exeTail);
  EXPECT_EQ("\\host", n.baseName);  // shared objects: lower-cased, Windows style
  EXPECT_EQ("/opt/Tools/Log/Host20261207.log",
            kdl::log::DailyFilePath(n, "20261207.log", NameFlavour::kPosix));
  EXPECT_EQ("Host*.log", kdl::log::OldFilesPattern(n, NameFlavour::kPosix));
  EXPECT_EQ("/opt/Tools/Log/Host20261107.log",
            kdl::log::CutOffPath(n, "20261107.log", NameFlavour::kPosix));
  // Case is significant on POSIX.
  EXPECT_FALSE(kdl::log::SortsBeforeCutOff("/opt/Tools/Log/host20201107.log",
                                       "/opt/Tools/Log/Host20261107.log", NameFlavour::kPosix));
  EXPECT_TRUE(kdl::log::SortsBeforeCutOff("/opt/Tools/Log/Host20261106.log",
                                      "/opt/Tools/Log/Host20261107.log", NameFlavour::kPosix));
}

TEST(LogNaming, PosixNameWithDotsAndWildcards) {
  kdl::log::LogNames n = kdl::log::MakeLogNames("/srv/a.b.bin", NameFlavour::kPosix);
  EXPECT_EQ("\\a", n.baseName);
  EXPECT_EQ("/srv/Log/a.b.bin20261207.log",
            kdl::log::DailyFilePath(n, "20261207.log", NameFlavour::kPosix));
  kdl::log::LogNames w = kdl::log::MakeLogNames("/srv/x[1]*", NameFlavour::kPosix);
  EXPECT_EQ("x\\[1]\\**.log", kdl::log::OldFilesPattern(w, NameFlavour::kPosix));
}

TEST(LogNaming, LongBaseNameIsCut) {
  const std::string name(80, 'N');
  kdl::log::LogNames n = kdl::log::MakeLogNames("C:\\" + name + ".exe", NameFlavour::kWindows);
  EXPECT_EQ("\\" + std::string(62, 'n'), n.baseName);
  EXPECT_EQ(63u, n.baseName.size());
  // The daily file keeps the whole name.
  EXPECT_EQ("c:\\Log\\" + std::string(80, 'n') + "20261207.log",
            kdl::log::DailyFilePath(n, "20261207.log", NameFlavour::kWindows));
}

TEST(LogNaming, PathsWithoutDirectory) {
  kdl::log::LogNames n = kdl::log::MakeLogNames("tool.exe", NameFlavour::kWindows);
  EXPECT_EQ("Log", n.logDir);
  EXPECT_EQ("\\tool.exe", n.exeTail);
  EXPECT_EQ("\\tool", n.baseName);
  kdl::log::LogNames e = kdl::log::MakeLogNames("", NameFlavour::kPosix);
  EXPECT_EQ("Log", e.logDir);
  EXPECT_EQ("\\kelvane", e.baseName);
  kdl::log::LogNames r = kdl::log::MakeLogNames("/init", NameFlavour::kPosix);
  EXPECT_EQ("/Log", r.logDir);
  EXPECT_EQ("/Log/init20261207.log", kdl::log::DailyFilePath(r, "20261207.log", NameFlavour::kPosix));
}

TEST(LogNaming, DayNameAndReplace) {
  EXPECT_EQ("20261207.log", kdl::log::DayName(Day(2026, 12, 7)));
  EXPECT_EQ("20270101.log", kdl::log::DayName(Day(2027, 1, 1)));
  EXPECT_EQ("\\x20261207.loghost20261207.log",
            kdl::log::ReplaceAll("\\x.exehost.exe", ".exe", "20261207.log"));
  EXPECT_EQ("abc", kdl::log::ReplaceAll("abc", "", "z"));
}
