// Sessions through the exports and the real transport against a loopback
// server that answers the requests of a link in order, one after the other,
// as the server does: a reply that comes after its request timed out never
// answers a later request, and no descriptor of the library survives an exec.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#endif

#include "client/KelvaneDll.h"
#include "tests/client/ManagerFixture.h"
#include "tests/transport/TransportTestSupport.h"

namespace {

namespace tt = kdl::test;

// The first image list is answered 3.3 s late, the second login never, the
// rest at once; image lists carry ErrCode 70 + n for the nth.
class InOrderServer {
 public:
  InOrderServer() : m_listener(tt::LoopbackSocket(SOCK_STREAM, &m_port, 4)) {
    m_thread = std::thread([this] {
      for (int link; (link = tt::Accept(m_listener)) >= 0; tt::CloseSocket(link)) {
        {
          std::lock_guard<std::mutex> lock(m_mu);
          m_links.insert(link);
        }
        if (m_stop) return tt::CloseSocket(link);
        Serve(link);
      }
    });
  }
  ~InOrderServer() {
    m_stop = true;
    uint16_t unused = 0;
    const int poke = tt::LoopbackSocket(SOCK_STREAM, &unused);  // ends the accept
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(m_port);
    ::connect(poke, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    m_thread.join();
    tt::CloseSocket(poke);
    tt::CloseSocket(m_listener);
  }
  uint16_t Port() const { return m_port; }
  // The descriptors that are the server's, not the library's.
  bool Owns(int fd) {
    std::lock_guard<std::mutex> lock(m_mu);
    return fd == m_listener || m_links.count(fd) != 0;
  }

 private:
  void Serve(int link) {
    tt::Bytes head, body;
    while (tt::ReadExactly(link, 24, &head) &&
           tt::ReadExactly(link, (head[8] | head[9] << 8) - 24u, &body)) {
      const bool login = head[4] == 0x01;
      const int nth = ++m_nth[head[4]];
      if (login && nth == 2) continue;
      tt::Bytes reply = login ? tt::LoginReply(0)
                              : tt::Hex("00 00 00 00  06 00 02 80  24 00 00 00") + tt::Zeros(24);
      if (!login) reply[16] = uint8_t(70 + nth);
      if (!login && nth == 1) std::this_thread::sleep_for(std::chrono::milliseconds(3300));
      if (!tt::WriteAll(link, reply)) return;
    }
  }

  uint16_t m_port = 0;
  const int m_listener;
  std::map<uint8_t, int> m_nth;
  std::atomic<bool> m_stop{false};
  std::mutex m_mu;
  std::set<int> m_links;
  std::thread m_thread;
};

std::atomic<int> g_closes{0};
std::atomic<std::thread::id> g_closeThread;
void OnClosed() {
  g_closeThread = std::this_thread::get_id();
  ++g_closes;
}

#ifndef _WIN32
// CPU time of the calling thread (Wine counts it in 10 ms ticks: not there).
double ThreadCpuMicros() {
  timespec t = {};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}
#endif

int Login() {
  char name[] = "loopback";
  return SendAskPack(KELVANE_ASK_LOGIN, name);
}

class LoopbackSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kdl::plat::SetNetworkTablesSourceForTest([] { return tt::TablesWithAddress("127.0.0.1"); });
    ASSERT_TRUE(StartServer(OnClosed));
    GetDiscoverInfo().ServerIP = 0x7F000001;
    GetDiscoverInfo().ServerPort = m_server.Port();
    ASSERT_EQ(Login(), 0);
  }
  void TearDown() override {
    StopServer();  // before the server goes: it ends the server's link
    kdl::plat::SetNetworkTablesSourceForTest(nullptr);
  }
  InOrderServer m_server;
};

}  // namespace

TEST_F(LoopbackSessionTest, ALateReplyNeverAnswersALaterRequest) {
  // The late reply to the first list comes while the second one waits.
  EXPECT_EQ(SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 1);
  EXPECT_EQ(SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 72);
  EXPECT_EQ(SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 73);
  // A login on the connected link that is never answered; the next one is
  // answered at once, but that reply may as well be the lost one's: once
  // the request times out the library ends the link. It is forgotten at
  // once (no link for the next request; a login connects anew, maybe before
  // the close is reported), and its close is reported like any other: once,
  // on a transport thread. A new link owes nothing.
  // Its 3000 ms cost its thread a short spin and sleep, under 1 ms of CPU.
#ifndef _WIN32
  const double cpuBefore = ThreadCpuMicros();
  EXPECT_EQ(Login(), 1);
  EXPECT_LT(ThreadCpuMicros() - cpuBefore, 1000.0);
#else
  EXPECT_EQ(Login(), 1);
#endif
  EXPECT_EQ(Login(), 1);
  EXPECT_EQ(SendAskPack(KELVANE_ASK_HEARTBEAT, nullptr), 1);
  EXPECT_EQ(Login(), 0);
  EXPECT_EQ(SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 74);
  for (int i = 0; i < 1000 && g_closes.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(g_closes.load(), 1);
  EXPECT_NE(g_closeThread.load(), std::this_thread::get_id());
}

#ifndef _WIN32
namespace {

std::set<int> OpenDescriptors() {
  std::set<int> fds;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) fds.insert(std::atoi(e->d_name));
    fds.erase(dirfd(d));
    closedir(d);
  }
  return fds;
}
// Those the test program was started with.
const std::set<int> g_inherited = OpenDescriptors();

}  // namespace

// Every descriptor the library opened (its TCP link, a UDP endpoint as
// discovery makes, the daily log file, the shared log block, the transport's
// own) is closed on exec.
TEST_F(LoopbackSessionTest, NoDescriptorOfTheLibrarySurvivesAnExec) {
  const uint32_t udp = UdpCreate(nullptr, "127.0.0.1", 0, 32);
  ASSERT_NE(udp, kInvalidHandle);
  int sockets = 0, logFiles = 0;
  for (int fd : OpenDescriptors()) {
    if (g_inherited.count(fd) || m_server.Owns(fd)) continue;
    char target[512] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;  // closed meanwhile
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd << " " << target;
    sockets += std::strncmp(target, "socket:", 7) == 0;
    logFiles += std::strstr(target, "/Log/") != nullptr;
  }
  EXPECT_GE(sockets, 2);  // the TCP link and the UDP endpoint
  EXPECT_EQ(logFiles, 1);
  UdpDestroy(udp);
}
#endif
