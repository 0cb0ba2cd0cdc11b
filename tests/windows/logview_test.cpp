// kelvane-logview.exe following the log writer of this process by name, as
// it runs beside a Windows host: Global\<name>.mem and Global\<name>.evt.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "log/LogWriter.h"
#include "tests/windows/WinTestSupport.h"

namespace {

std::string g_exe;  // the host executable the writer is named after
std::string FakeExe() { return g_exe; }

// Starts the viewer beside this test with its output going to `out`.
bool StartViewer(const std::string& args, const std::string& out, PROCESS_INFORMATION* pi) {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  HANDLE file = CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const std::string exe = kdl::test::DirOf(kdl::test::ModulePath()) + "\\kelvane-logview.exe";
  std::string cmd = "\"" + exe + "\" " + args;
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = file;
  *pi = PROCESS_INFORMATION{};
  const bool ok = CreateProcessA(exe.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &si, pi) != 0;
  CloseHandle(file);
  return ok;
}

bool WaitForText(const std::string& path, const std::string& text, std::string* got) {
  for (int i = 0; i < 400; ++i) {
    // The viewer's standard output is in text mode: line feeds come as CR LF.
    if (kdl::test::ReadFileBytes(path, got)) {
      got->erase(std::remove(got->begin(), got->end(), '\r'), got->end());
      if (got->find(text) != std::string::npos) return true;
    }
    Sleep(50);
  }
  return false;
}

std::string Line(int n) { return "[Info]|line " + std::to_string(n) + "\n"; }

}  // namespace

TEST(WindowsLogview, FollowsAWriterProcessByName) {
  kdl::test::TempFolder tmp("KvLogview");
  ASSERT_FALSE(tmp.Path().empty());
  const std::string name = "KvLvWin" + std::to_string(GetCurrentProcessId());
  g_exe = tmp.Path() + "\\" + name + ".exe";
  kdl::log::LogEnvironment env;
  env.executablePath = FakeExe;
  auto writer = std::make_unique<CLogWriter>(env);
  writer->m_nOutputMask = LOG_OUT_SHARED;
  writer->m_nPrefixMask = 0;
  writer->WriteAt("test", 0, LOG_INFO, "line 0");

  const std::string out = tmp.Path() + "\\follow.out";
  PROCESS_INFORMATION follower;
  ASSERT_TRUE(StartViewer(name + ".exe", out, &follower));
  std::string got;
  EXPECT_TRUE(WaitForText(out, Line(0), &got)) << got;
  for (int n = 1; n <= 200; n += 50) {  // never more than the ring holds ahead
    for (int k = n; k < n + 50; ++k) writer->WriteAt("test", 0, LOG_INFO, "line %d", k);
    ASSERT_TRUE(WaitForText(out, Line(n + 49), &got)) << got;
  }
  kdl::test::FinishProcess(&follower, 0);  // ends it
  std::string want;
  for (int n = 0; n <= 200; ++n) want += Line(n);
  EXPECT_EQ(want, got);

  // The last lines of the ring, and the block in the list of the names given.
  PROCESS_INFORMATION once;
  ASSERT_TRUE(StartViewer("--no-follow -n 2 " + name, tmp.Path() + "\\once.out", &once));
  EXPECT_EQ(0, kdl::test::FinishProcess(&once, 60000));
  EXPECT_TRUE(WaitForText(tmp.Path() + "\\once.out", Line(199) + Line(200), &got));
  EXPECT_EQ(Line(199) + Line(200), got);
  ASSERT_TRUE(StartViewer("--list " + name, tmp.Path() + "\\list.out", &once));
  EXPECT_EQ(0, kdl::test::FinishProcess(&once, 60000));
  const std::string listed = "201 lines published  Global\\" + kdl::test::Lower(name);
  EXPECT_TRUE(WaitForText(tmp.Path() + "\\list.out", listed, &got)) << got;
}
