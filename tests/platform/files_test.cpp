#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/Platform.h"

namespace {

// A fresh directory under /tmp, removed at the end of the test.
class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvplat.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    m_dir = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(m_dir); }
  void Touch(const std::string& name) { std::ofstream(m_dir + "/" + name) << "x"; }
  std::string m_dir;
};

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace

using FilesTest = TempDir;

TEST_F(FilesTest, MakeDirectoryCreatesAndAcceptsExisting) {
  const std::string d = m_dir + "/Log";
  EXPECT_TRUE(kdl::plat::MakeDirectory(d));
  struct stat st;
  ASSERT_EQ(0, stat(d.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(kdl::plat::MakeDirectory(d));

  // A regular file in the way, or a missing parent, is a failure.
  Touch("plain");
  EXPECT_FALSE(kdl::plat::MakeDirectory(m_dir + "/plain"));
  EXPECT_FALSE(kdl::plat::MakeDirectory(m_dir + "/no/such/parent"));
  EXPECT_FALSE(kdl::plat::MakeDirectory(""));
}

TEST_F(FilesTest, MakeDirectoriesMakesTheFoldersAbovePrivate) {
  const std::string d = m_dir + "/state/kelvane/Log";
  EXPECT_TRUE(kdl::plat::MakeDirectories(d));
  struct stat st;
  ASSERT_EQ(0, stat((m_dir + "/state").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  ASSERT_EQ(0, stat(d.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(kdl::plat::MakeDirectories(d));
  Touch("plain");
  EXPECT_FALSE(kdl::plat::MakeDirectories(m_dir + "/plain/Log"));
}

TEST_F(FilesTest, ListDirectoryMatchesWildcardCaseSensitively) {
  for (const char* n : {"host20261207.log", "host_old.log", "hostile.log", "Host20261207.log",
                        "other.log", "host.txt"}) {
    Touch(n);
  }
  ASSERT_TRUE(kdl::plat::MakeDirectory(m_dir + "/hostdir.log"));
  std::vector<std::string> names = kdl::plat::ListDirectory(m_dir, "host*.log");
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"host20261207.log", "host_old.log", "hostdir.log",
                                      "hostile.log"}),
            names);

  names = kdl::plat::ListDirectory(m_dir, "*");
  EXPECT_EQ(7u, names.size());  // no "." or ".."
  EXPECT_EQ(0u, std::count(names.begin(), names.end(), "."));

  names = kdl::plat::ListDirectory(m_dir, "host?txt");
  EXPECT_EQ(std::vector<std::string>{"host.txt"}, names);

  EXPECT_TRUE(kdl::plat::ListDirectory(m_dir + "/missing", "*").empty());
}

TEST_F(FilesTest, DeleteAndAppend) {
  const std::string path = m_dir + "/a.log";
  std::FILE* f1 = kdl::plat::OpenAppendShared(path);
  ASSERT_NE(nullptr, f1);
  EXPECT_TRUE(fcntl(fileno(f1), F_GETFD) & FD_CLOEXEC);  // not handed to programs started
  std::fputs("one\n", f1);
  std::fflush(f1);
  std::FILE* f2 = kdl::plat::OpenAppendShared(path);
  ASSERT_NE(nullptr, f2);
  std::fputs("two\n", f2);
  std::fflush(f2);
  std::fputs("three\n", f1);
  std::fflush(f1);
  std::fclose(f1);
  std::fclose(f2);
  EXPECT_EQ("one\ntwo\nthree\n", ReadAll(path));

  EXPECT_TRUE(kdl::plat::DeleteFileAt(path));
  EXPECT_FALSE(kdl::plat::DeleteFileAt(path));
  EXPECT_EQ(nullptr, kdl::plat::OpenAppendShared(m_dir + "/missing/x.log"));
}

TEST(ProcessFacts, ExecutablePathNamesThisTest) {
  const std::string p = kdl::plat::ExecutablePath();
  ASSERT_FALSE(p.empty());
  EXPECT_EQ('/', p[0]);
  EXPECT_NE(std::string::npos, p.find("platform_tests"));
  EXPECT_EQ('/', kdl::plat::PathSeparator());
  EXPECT_EQ(static_cast<uint32_t>(getpid()), kdl::plat::CurrentThreadId());  // main thread
}

// The id is cached per thread: each thread must still see its own, and a
// forked child must not keep its parent thread's.
TEST(ProcessFacts, ThreadIdIsPerThreadAndRereadAfterFork) {
  const uint32_t mainId = kdl::plat::CurrentThreadId();
  EXPECT_EQ(mainId, kdl::plat::CurrentThreadId());
  uint32_t otherId = 0;
  uint32_t otherSys = 0;
  std::thread t([&] {
    otherId = kdl::plat::CurrentThreadId();
    otherSys = static_cast<uint32_t>(syscall(SYS_gettid));
  });
  t.join();
  EXPECT_NE(mainId, otherId);
  EXPECT_EQ(otherSys, otherId);

  const pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    const bool ok = kdl::plat::CurrentThreadId() == static_cast<uint32_t>(getpid()) &&
                    kdl::plat::CurrentThreadId() != mainId;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(mainId, kdl::plat::CurrentThreadId());
}

TEST(PosixObjectName, MapsSeparatorsAndAddsLeadingSlash) {
  EXPECT_EQ("/Global_host.mem", kdl::plat::PosixObjectName("Global\\host.mem"));
  EXPECT_EQ("/Global_host.evt", kdl::plat::PosixObjectName("Global\\host.evt"));
  EXPECT_EQ("/a_b_c", kdl::plat::PosixObjectName("a/b\\c"));
  EXPECT_EQ("/", kdl::plat::PosixObjectName(""));
}
