// The tools as a person or a script meets them: --version, help that fits
// 80 columns, output that cannot be written, the host tool's spinner on a
// terminal, the simulator's ready file, event lines, SIGHUP and default
// images found relative to itself, and usage errors that say what was wrong
// and where.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>

#include "KelvaneVersion.h"
#include "tests/e2e/ProcessRunner.h"

namespace kdl::test {
namespace {

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

TEST(ToolsTest, EveryToolShowsItsVersionAndHelpThatFits80Columns) {
  for (const std::string tool :
       {KELVANE_HOST_BIN, KELVANE_SERVER_BIN, KELVANE_DUMP_BIN, KELVANE_LOGVIEW_BIN}) {
    ProcessResult version = RunProcess({tool, "--version"}, "", 30);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, BaseName(tool) + " " KELVANE_VERSION "\n");
    ProcessResult help = RunProcess({tool, "--help"}, "", 30);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage: " + BaseName(tool) + " [OPTIONS]", 0), 0u) << help.out;
    for (const std::string& line : SplitLines(help.out))
      EXPECT_LE(line.size(), 80u) << tool << ": " << line;
  }
}

TEST(ToolsTest, OutputThatCannotBeWrittenIsAFailure) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "skipped: no /dev/full";
  const struct {
    std::vector<std::string> argv;
    int status;
  } cases[] = {
      {{KELVANE_HOST_BIN, "--lib", KELVANE_FAKE_LIB, "--json", "images"}, 4},
      {{KELVANE_HOST_BIN, "--help"}, 4},
      {{KELVANE_DUMP_BIN, "--all-codes"}, 3},
      {{KELVANE_SERVER_BIN, "--help"}, 1},
      {{KELVANE_LOGVIEW_BIN, "--version"}, 1},
  };
  for (const auto& c : cases) {
    std::vector<std::string> shell = {"/bin/sh", "-c", "exec \"$@\" >/dev/full", "sh"};
    shell.insert(shell.end(), c.argv.begin(), c.argv.end());
    ProcessResult r = RunProcess(shell, "", 30);
    EXPECT_EQ(r.exitCode, c.status) << c.argv[1];
    EXPECT_NE(r.err.find(BaseName(c.argv[0]) + ": cannot write the output: No space left on device"),
              std::string::npos) << r.err;
  }
}

// What a terminal on the program's stderr showed, and how the program ended.
struct TerminalRun {
  std::string shown;
  int exitCode = -1;
  int signal = 0;
};

// Runs `argv` with stderr on a new pseudo-terminal (stdin and stdout on
// /dev/null) and `env` added; sends SIGINT once the terminal showed
// `interruptAt`, if that is not empty.
TerminalRun RunOnTerminal(const std::vector<std::string>& argv,
                          const std::vector<std::string>& env, const std::string& interruptAt) {
  TerminalRun run;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return run;
  const std::string slave = ptsname(master);
  const pid_t pid = fork();
  if (pid == 0) {
    const int tty = open(slave.c_str(), O_RDWR | O_NOCTTY), null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(tty, 2);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool interrupted = interruptAt.empty();
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p = {master, POLLIN, 0};
    char buf[4096];
    const ssize_t n = poll(&p, 1, 100) > 0 ? read(master, buf, sizeof buf) : 0;
    if (n > 0) run.shown.append(buf, static_cast<size_t>(n));
    if (!interrupted && run.shown.find(interruptAt) != std::string::npos)
      interrupted = kill(pid, SIGINT) == 0;
    if (n <= 0 && waitpid(pid, &status, WNOHANG) == pid) break;
  }
  close(master);
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

TEST(ToolsTest, OnATerminalTheSpinnerIsClearedBeforeOtherLinesAndOnCtrlC) {
  const std::string clear = "\r\033[K";
  // A library line (with -v) that comes while the spinner turns.
  TerminalRun r = RunOnTerminal({KELVANE_HOST_BIN, "--lib", KELVANE_FAKE_LIB, "-v", "images"},
                                {"KELVANE_FAKE_SLOW=3=700"}, "");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.shown.find("waiting for the images reply..."), std::string::npos);
  EXPECT_NE(r.shown.find(clear + "[00:00:00.000]|[0001]|[Info]|fake reply to 3"),
            std::string::npos) << r.shown;

  TerminalRun stopped = RunOnTerminal({KELVANE_HOST_BIN, "--lib", KELVANE_FAKE_LIB, "images"},
                                      {"KELVANE_FAKE_SLOW=3=30000"}, "waiting for the images");
  EXPECT_EQ(stopped.signal, SIGINT);
  ASSERT_GT(stopped.shown.size(), clear.size());
  EXPECT_EQ(stopped.shown.substr(stopped.shown.size() - clear.size()), clear) << stopped.shown;
}

TEST(ToolsTest, SimulatorWritesItsReadyFileStampsItsLinesAndStopsCleanlyOnSighup) {
  const std::string base = ::testing::TempDir() + "kelvane_tools_" + std::to_string(getpid());
  const std::string ready = base + ".ready";
  // Snapshot id 4 in two images: allowed, and noted on start.
  std::ofstream(base + ".json") << R"({"images": [{"id": 1, "name": "a", "snapshots": [{"id": 4}]},)"
                                   R"( {"id": 2, "name": "b", "snapshots": [{"id": 4}]}]})";
  BackgroundProcess server;
  ASSERT_TRUE(server.Start({KELVANE_SERVER_BIN, "--bind", "127.0.0.1", "--port", "0",
                            "--udp-port", "0", "--ready-file", ready, "--images", base + ".json"},
                           base + ".out"));
  ASSERT_TRUE(server.WaitForOutput("tool service on tcp", 30)) << server.Output();
  std::smatch m;
  const std::string ports = ReadFile(ready);
  ASSERT_TRUE(std::regex_match(ports, m, std::regex("tcp_port=(\\d+)\nudp_port=\\d+\n"))) << ports;

  // One event: a link opened and closed.
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(std::stoi(m[1])));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  close(s);
  ASSERT_TRUE(server.WaitForOutput("closed by the peer", 30)) << server.Output();

  ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
  EXPECT_EQ(server.Wait(30), 0);
  const std::vector<std::string> lines = SplitLines(server.Output());
  ASSERT_EQ(lines.size(), 5u) << server.Output();
  EXPECT_NE(lines[1].find("kelvane-server: note: snapshot id 4 is used by 2 snapshots (of images "
                          "1 and 2)"),
            std::string::npos) << lines[1];
  for (const std::string& line : lines)
    EXPECT_TRUE(std::regex_search(line, std::regex(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )")))
        << line;
  EXPECT_NE(lines.back().find("kelvane-server: stopping on signal 1"), std::string::npos);
  EXPECT_NE(access(ready.c_str(), F_OK), 0) << "the ready file stays behind";
  std::remove((base + ".out").c_str());
  std::remove((base + ".json").c_str());
}

TEST(ToolsTest, SimulatorFindsItsExampleImagesRelativeToItselfFromAnyFolder) {
  const std::string out = ::testing::TempDir() + "kelvane_default_" + std::to_string(getpid());
  BackgroundProcess server;
  ASSERT_TRUE(server.Start({"/bin/sh", "-c", "cd / && exec \"$@\"", "sh", KELVANE_SERVER_BIN,
                            "--bind", "127.0.0.1", "--port", "0", "--udp-port", "0"},
                           out));
  ASSERT_TRUE(server.WaitForOutput("tool service on tcp", 30)) << server.Output();
  EXPECT_NE(server.Output().find("/tools/examples/images.json; tool service"), std::string::npos)
      << server.Output();
  ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
  EXPECT_EQ(server.Wait(30), 0);
  std::remove(out.c_str());
}

TEST(ToolsTest, BadValuesAreUsageErrorsThatSayWhatAndWhere) {
  const std::string base = ::testing::TempDir() + "kelvane_args_" + std::to_string(getpid());
  std::ofstream(base + "-key.json") << "{\"images\": [\n {\"id\": 1, \"nmae\": \"a\"}]}";
  std::ofstream(base + "-syntax.json") << "{\"images\": [\n {\"id\": 1 \"name\": \"a\"}]}";
  const struct {
    std::vector<std::string> argv;
    std::string says;
  } cases[] = {
      {{KELVANE_SERVER_BIN, "--port=70000"},
       "kelvane-server: --port: must be a number from 0 to 65535 (decimal or 0x hex), not "
       "\"70000\"\n"},
      {{KELVANE_LOGVIEW_BIN, "-n", "x", "kelvane"},
       "kelvane-logview: --lines: must be a number from 0 to 2147483647"},
      {{KELVANE_HOST_BIN, "--name=" + std::string(33, 'n'), "images"},
       "kelvane: --name: must hold at most 32 bytes (the login packet's field), not 33\n"},
      // Refused before anything is loaded or sent.
      {{KELVANE_HOST_BIN, "create", "x", "0"}, "kelvane: PARAM1: must not be 0"},
      {{KELVANE_HOST_BIN, "images", "--", "--json"}, "kelvane: unexpected argument \"--json\""},
      {{KELVANE_SERVER_BIN, "--bind", "localhost"},
       "kelvane-server: --bind: must be an IPv4 address such as 127.0.0.1, not \"localhost\""},
      {{KELVANE_SERVER_BIN, "--fail", "select=1"},
       "kelvane-server: --fail: \"select=1\": a host cannot tell result 1 from its library's own"},
      {{KELVANE_SERVER_BIN, "--images", base + "-key.json"},
       "-key.json: image 0: unknown key \"nmae\""},
      {{KELVANE_SERVER_BIN, "--images", base + "-syntax.json"},
       "-syntax.json: line 2, column 16: syntax error"},
  };
  for (const auto& c : cases) {
    ProcessResult r = RunProcess(c.argv, "", 30);
    EXPECT_EQ(r.exitCode, 2) << c.argv[1];
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  std::remove((base + "-key.json").c_str());
  std::remove((base + "-syntax.json").c_str());
}

}  // namespace
}  // namespace kdl::test
