// Where a program's daily log files go: the rule, with the facts of any
// system, and (POSIX) with this process's own.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/Platform.h"

namespace {

using kdl::plat::ChooseLogFolder;
using kdl::plat::LogPlaceFacts;

LogPlaceFacts Facts(bool systemPrefix, bool writable, bool root, const char* xdg,
                    const char* home) {
  LogPlaceFacts f;
  f.programName = "kelvane";
  f.systemPrefix = systemPrefix;
  f.writable = writable;
  f.root = root;
  f.xdgStateHome = xdg;
  f.home = home;
  return f;
}

TEST(LogFolderTest, SystemProgramsLogWhereTheSystemKeepsLogs) {
  const std::string beside = "/opt/tools/Log";
  // A program elsewhere that may write beside itself keeps the designed place.
  EXPECT_EQ(beside, ChooseLogFolder(Facts(false, true, false, "/x/state", "/home/u"), beside));
  EXPECT_EQ(beside, ChooseLogFolder(Facts(false, true, true, "", ""), beside));
  // Under /usr, /bin or /sbin (even where root could write), or in a folder
  // that takes no files: /var/log for root, the XDG state folder for a user.
  EXPECT_EQ("/var/log/kelvane", ChooseLogFolder(Facts(true, true, true, "/x", "/root"), beside));
  EXPECT_EQ("/var/log/kelvane", ChooseLogFolder(Facts(false, false, true, "", ""), beside));
  EXPECT_EQ("/x/state/kelvane/Log",
            ChooseLogFolder(Facts(true, false, false, "/x/state", "/home/u"), beside));
  EXPECT_EQ("/home/u/.local/state/kelvane/Log",
            ChooseLogFolder(Facts(false, false, false, "", "/home/u"), beside));
  EXPECT_EQ(beside, ChooseLogFolder(Facts(true, false, false, "", ""), beside));  // no home

  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin", "/sbin", "/usr"})
    EXPECT_TRUE(kdl::plat::UnderSystemPrefix(dir)) << dir;
  for (const char* dir : {"/opt/kelvane/bin", "/usr2/bin", "/home/u/bin", "/binaries", "/"})
    EXPECT_FALSE(kdl::plat::UnderSystemPrefix(dir)) << dir;
}

#ifndef _WIN32
TEST(LogFolderTest, ThisProcessUnderUsrGetsVarLogAsRootElseItsStateFolder) {
  const char* old = std::getenv("XDG_STATE_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_STATE_HOME", "/tmp/kv-state", 1);
  const std::string got = kdl::plat::LogFolderFor("/usr/bin/kvprog", "/usr/bin/Log");
  EXPECT_EQ(geteuid() == 0 ? "/var/log/kvprog" : "/tmp/kv-state/kvprog/Log", got);
  // The test's own folder takes files: the designed place.
  const std::string self = kdl::plat::ExecutablePath();
  const std::string designed = self.substr(0, self.rfind('/')) + "/Log";
  EXPECT_EQ(designed, kdl::plat::LogFolderFor(self, designed));
  if (old) setenv("XDG_STATE_HOME", saved.c_str(), 1); else unsetenv("XDG_STATE_HOME");
}
#endif

}  // namespace
