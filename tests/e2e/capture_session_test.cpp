// A whole session of the host tool against the simulator, captured with
// tcpdump inside the private network and read back by kelvane-dump --pcap
// and by tshark with the generated dissector, and captured live by
// kelvane-dump. Needs root; skips otherwise.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <semaphore.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "describe/PacketDescribe.h"
#include "tests/e2e/HostCopy.h"
#include "tests/e2e/PrivateNetwork.h"
#include "tests/e2e/ProcessRunner.h"
#include "tools/dump/DumpCommand.h"

namespace kdl::test {
namespace {

namespace fs = std::filesystem;
using describe::Json;

// The simulator serves on a port of its own, so both readers must take it
// from the discovery reply.
constexpr const char* kServicePort = "8123";

// The packets of the session, in order.
const std::vector<std::string> kSession = {
    "discover request", "discover reply",     "login request",       "login reply",
    "image-list request", "image-list reply", "image-info request",  "image-info reply",
    "select-image request", "select-image reply", "keep-alive"};

class CaptureSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = PrivateNetwork::WhyUnavailable();
    if (!why.empty()) GTEST_SKIP() << "skipped: " << why;
    if (std::string(KELVANE_TCPDUMP).empty()) GTEST_SKIP() << "skipped: tcpdump is not installed";
    std::string error;
    if (!net.Create(&error)) GTEST_SKIP() << "skipped: cannot create network namespaces: " << error;
    // The host tool under a name of its own: its log folder and ring are this
    // test's. It loads the library that it finds beside itself.
    ASSERT_TRUE(host.Make("kelvane-capture", "kvc" + std::to_string(getpid())));
    pcap = host.dir + "/session.pcap";
  }

  void TearDown() override {
    tcpdump.Stop();
    server.Stop();
    net.Remove();
  }

  // Captures a session: discover, login, images, snapshots, select, keep-alive.
  void CaptureSession() {
    // Each packet is read and written at once (else they wait in the kernel
    // for a second); -Z root: the file is written in this test's folder.
    ASSERT_TRUE(tcpdump.Start(net.InServer({KELVANE_TCPDUMP, "-i", "any", "--immediate-mode", "-U",
                                            "-Z", "root", "-w", pcap}),
                              host.dir + "/tcpdump.out"));
    ASSERT_TRUE(tcpdump.WaitForOutput("listening on", 30)) << tcpdump.Output();
    ASSERT_TRUE(server.Start(net.InServer({KELVANE_SERVER_BIN, "--images", KELVANE_EXAMPLE_IMAGES,
                                           "--port", kServicePort}),
                             host.dir + "/server.out"));
    ASSERT_TRUE(server.WaitForOutput("tool service on tcp", 30)) << server.Output();
    ProcessResult r = RunProcess(net.InTool({host.exePath, "--json", "shell"}),
                                 "discover\nlogin\nimages\nsnapshots\nselect 2\nheartbeat\n", 90);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    // tcpdump writes each packet as it reads it: stop it once the file is still.
    for (uintmax_t size = 1, last = 0; size != last;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      last = size;
      size = fs::file_size(pcap);
    }
    tcpdump.Stop();
  }

  PrivateNetwork net;
  BackgroundProcess tcpdump, server;
  HostCopy host;
  std::string pcap;
};

TEST_F(CaptureSessionTest, KelvaneDumpAndTsharkReadTheSession) {
  CaptureSession();
  if (HasFatalFailure()) return;

  std::istringstream in;
  std::ostringstream out, err;
  ASSERT_EQ(dump::RunDump({"--pcap", pcap, "--json"}, in, out, err), dump::kDumpOk) << err.str();
  EXPECT_NE(err.str().find(std::string("tool service on TCP port ") + kServicePort +
                           " (discovery reply from 10.77.0.1"),
            std::string::npos) << err.str();
  std::vector<Json> packets;
  std::vector<std::string> names;
  for (const std::string& line : SplitLines(out.str())) {
    packets.push_back(Json::parse(line));
    names.push_back(packets.back().value("name", packets.back()["class"].get<std::string>()));
  }
  ASSERT_EQ(names, kSession) << out.str();
  EXPECT_EQ(packets[1]["fields"]["Items"][0]["TcpPort"], std::stoi(kServicePort));
  EXPECT_EQ(packets[2]["dport"], std::stoi(kServicePort));
  EXPECT_EQ(packets[2]["direction"], "to server");
  const Json& list = packets[5]["fields"];
  EXPECT_EQ(list["ServerIP_text"], "10.77.0.1");
  ASSERT_EQ(list["Images"].size(), 3u);
  EXPECT_EQ(list["Images"][2]["Name"], "lab-tools");
  const Json& snapshot = packets[7]["fields"]["Items"][0]["Snapshots"][0];
  EXPECT_EQ(snapshot["Text"], "fresh install");
  EXPECT_EQ(snapshot["Time_text"], "2026-01-05 08:30:00");

  // tshark: no TCP port preference, so the port comes from the discovery reply.
  ProcessResult t = RunProcess(
      {KELVANE_TSHARK, "-r", pcap, "-X", "lua_script:" KELVANE_DISSECTOR, "-o",
       "kelvane.tcp_port:0", "-Y", "kelvane", "-T", "fields", "-E", "aggregator=;", "-e",
       "kelvane.name", "-e", "kelvane.CPDiscoverAckBaseInfor.TcpPort", "-e",
       "kelvane.CPImageBaseInfor.Name", "-e", "kelvane.CImgSnapshotInfo.Time", "-e",
       "kelvane.CPktToolQueryImgInfoListAck.ServerIP"},
      "", 120);
  ASSERT_EQ(t.exitCode, 0) << t.err;
  std::string names2, rest;
  for (const std::string& line : SplitLines(t.out)) {
    names2 += line.substr(0, line.find('\t')) + ";";
    rest += line.substr(line.find('\t')) + "\n";
  }
  std::string expected;
  for (const std::string& n : kSession) expected += n + ";";
  EXPECT_EQ(names2, expected) << t.out;
  for (const std::string& value :
       {std::string("\t") + kServicePort + "\t", std::string("base-desktop;classroom;lab-tools"),
        std::string("2026-01-05 08:30:00;2026-02-11 17:45:12"), std::string("10.77.0.1")})
    EXPECT_NE(rest.find(value), std::string::npos) << value << "\n" << t.out;
}

// The packet names of kelvane-dump's JSON lines in `output` (its notes and
// tcpdump's mixed in are skipped).
std::vector<std::string> PacketNames(const std::string& output) {
  std::vector<std::string> names;
  for (const std::string& line : SplitLines(output)) {
    if (line.empty() || line[0] != '{') continue;
    const Json p = Json::parse(line);
    names.push_back(p.value("name", p.value("class", std::string("?"))));
  }
  return names;
}

// Live: kelvane-dump --interface in the server's namespace decodes the
// session as it passes, and so does tcpdump -w - piped into --pcap -;
// --count ends a capture by itself, SIGINT another, both cleanly. Without
// the right to capture it says so and exits 2.
TEST_F(CaptureSessionTest, KelvaneDumpDecodesALiveSessionAndOnePipedFromTcpdump) {
  BackgroundProcess live, counted, piped;
  ASSERT_TRUE(live.Start(net.InServer({KELVANE_DUMP_BIN, "--interface", "any", "--json", "--port",
                                       kServicePort}),
                         host.dir + "/live.out"));
  ASSERT_TRUE(counted.Start(net.InServer({KELVANE_DUMP_BIN, "--interface", "any", "--json",
                                          "--count", "2"}),
                            host.dir + "/counted.out"));
  ASSERT_TRUE(piped.Start(net.InServer({"/bin/sh", "-c",
                                        "\"$0\" -i any -U -w - | \"$1\" --pcap - --json --count 11",
                                        KELVANE_TCPDUMP, KELVANE_DUMP_BIN}),
                          host.dir + "/piped.out"));
  for (BackgroundProcess* p : {&live, &counted})
    ASSERT_TRUE(p->WaitForOutput("kelvane-dump: capturing on any", 30)) << p->Output();
  ASSERT_TRUE(piped.WaitForOutput("listening on", 30)) << piped.Output();
  CaptureSession();
  if (HasFatalFailure()) return;

  EXPECT_EQ(counted.Wait(30), 0) << counted.Output();
  EXPECT_EQ(PacketNames(counted.Output()),
            std::vector<std::string>(kSession.begin(), kSession.begin() + 2));
  EXPECT_EQ(piped.Wait(30), 0) << piped.Output();
  EXPECT_EQ(PacketNames(piped.Output()), kSession) << piped.Output();
  EXPECT_NE(piped.Output().find(std::string("tool service on TCP port ") + kServicePort),
            std::string::npos) << piped.Output();
  ASSERT_EQ(kill(live.Pid(), SIGINT), 0);
  EXPECT_EQ(live.Wait(30), 0) << live.Output();
  EXPECT_EQ(PacketNames(live.Output()), kSession) << live.Output();

  if (access("/usr/bin/setpriv", X_OK) != 0) return;
  ProcessResult denied = RunProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                     "--clear-groups", KELVANE_DUMP_BIN, "--interface", "lo"},
                                    "", 30);
  EXPECT_EQ(denied.exitCode, 2) << denied.err;
  EXPECT_NE(denied.err.find("kelvane-dump: no permission to capture on lo"), std::string::npos)
      << denied.err;
}

}  // namespace
}  // namespace kdl::test
