// Sessions through the nine exports and the real transport, against a
// loopback server that answers the requests of its link in order, one after
// the other, as the server does: a reply that comes after its request timed
// out never answers a later request, and none of the library's descriptors
// would survive an exec.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#include "client/KelvaneDll.h"
#include "tests/client/ManagerFixture.h"
#include "tests/transport/TransportTestSupport.h"

namespace {

namespace tt = kdl::test;
using Bytes = std::vector<uint8_t>;

// How the server answers the nth request (from 1, over all links) of a type.
struct Answer {
  bool send = true;
  int delayMs = 0;  // counted from when the server reads the request
  uint8_t err = 0;
};
using Script = Answer (*)(uint32_t type, int nth);

// The reply to `request` with ErrCode `err`: the login reply of the fixture,
// an image list without images, or a bare head.
Bytes ReplyTo(uint32_t request, uint8_t err) {
  if (request == 0x00020001) return tt::LoginReply(err);
  Bytes b = request == 0x00020006 ? tt::Hex("00 00 00 00  06 00 02 80  24 00 00 00") + tt::Zeros(24)
                                  : tt::Hex("00 00 00 00  03 00 02 80  18 00 00 00") + tt::Zeros(12);
  b[16] = err;
  return b;
}

class InOrderServer {
 public:
  explicit InOrderServer(Script script) : m_script(script) {
    m_listener = tt::LoopbackSocket(SOCK_STREAM, &m_port, 4);
    m_thread = std::thread([this] { Run(); });
  }
  ~InOrderServer() {
    m_stop = true;
    {
      std::lock_guard<std::mutex> lock(m_mu);
      if (m_current >= 0) ::shutdown(m_current, 2);  // both ways, on either socket API
    }
    uint16_t unused = 0;
    const int poke = tt::LoopbackSocket(SOCK_STREAM, &unused);  // wakes the accept
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
  // The descriptors of the links it accepted (not the library's).
  std::set<int> Links() {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_links;
  }

 private:
  void Run() {
    while (!m_stop) {
      const int link = tt::Accept(m_listener);
      if (link < 0) continue;
      {
        std::lock_guard<std::mutex> lock(m_mu);
        m_links.insert(link);
        m_current = link;
      }
      if (!m_stop) Serve(link);
      std::lock_guard<std::mutex> lock(m_mu);
      m_current = -1;
      tt::CloseSocket(link);
    }
  }
  // Answers each request before it reads the next, until the link closes.
  void Serve(int link) {
    Bytes head, body;
    while (tt::ReadExactly(link, 24, &head)) {
      const uint32_t type = head[4] | head[5] << 8 | head[6] << 16 | uint32_t(head[7]) << 24;
      const uint32_t length = head[8] | head[9] << 8 | head[10] << 16 | uint32_t(head[11]) << 24;
      if (length < 24 || !tt::ReadExactly(link, length - 24, &body)) return;
      const Answer a = m_script(type, ++m_nth[type]);
      if (!a.send) continue;
      std::this_thread::sleep_for(std::chrono::milliseconds(a.delayMs));
      if (!tt::WriteAll(link, ReplyTo(type, a.err))) return;
    }
  }

  const Script m_script;
  std::map<uint32_t, int> m_nth;
  int m_listener = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::mutex m_mu;
  std::set<int> m_links;
  int m_current = -1;  // the link being served
  std::thread m_thread;
};

std::atomic<int> g_closes{0};
std::atomic<std::thread::id> g_closeThread;
void OnClosed() {
  g_closeThread = std::this_thread::get_id();
  ++g_closes;
}

class LoopbackSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kdl::plat::SetNetworkTablesSourceForTest([] { return tt::TablesWithAddress("127.0.0.1"); });
    g_closes = 0;
  }
  void TearDown() override {
    StopServer();
    kdl::plat::SetNetworkTablesSourceForTest(nullptr);
  }
  static int Login() {
    char name[] = "loopback";
    return SendAskPack(KELVANE_ASK_LOGIN, name);
  }
  static void StartAndLogin(const InOrderServer& server) {
    ASSERT_TRUE(StartServer(OnClosed));
    GetDiscoverInfo().ServerIP = 0x7F000001;
    GetDiscoverInfo().ServerPort = server.Port();
    ASSERT_EQ(Login(), 0);
  }
};

// The first image list is answered 3.3 s late, the rest at once (ErrCode 70
// + n); the second login (on the connected link) is never answered, the
// rest at once.
Answer LateOrLost(uint32_t type, int nth) {
  if (type == 0x00020006) return Answer{true, nth == 1 ? 3300 : 0, uint8_t(70 + nth)};
  if (type == 0x00020001) return Answer{nth != 2, 0, 0};
  return Answer{};
}

}  // namespace

TEST_F(LoopbackSessionTest, ALateReplyNeverAnswersALaterRequest) {
  InOrderServer server(LateOrLost);
  StartAndLogin(server);
  // The late reply to the first list comes while the second one waits.
  EXPECT_EQ(SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 1);
  EXPECT_EQ(SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 72);
  EXPECT_EQ(GetLastErrCode(), 72);
  EXPECT_EQ(SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 73);
  EXPECT_EQ(g_closes.load(), 0);

  // A login on the connected link that is never answered; the next one is
  // answered at once, but that reply may as well be the lost one's: the
  // library cannot tell, so once the request times out it closes the link
  // and says so before SendAskPack returns.
  EXPECT_EQ(Login(), 1);
  EXPECT_EQ(g_closes.load(), 0);
  EXPECT_EQ(Login(), 1);
  EXPECT_EQ(g_closes.load(), 1);
  EXPECT_EQ(g_closeThread.load(), std::this_thread::get_id());
  EXPECT_EQ(SendAskPack(KELVANE_ASK_HEARTBEAT, nullptr), 1);  // no link
  // A new link owes nothing.
  EXPECT_EQ(Login(), 0);
  EXPECT_EQ(SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 74);
}

#ifndef _WIN32
namespace {

std::set<int> OpenDescriptors() {
  std::set<int> fds;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return fds;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') fds.insert(std::atoi(e->d_name));
  }
  fds.erase(dirfd(d));
  closedir(d);
  return fds;
}

std::string Target(int fd) {
  char buf[512];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

}  // namespace

// Every descriptor the library opened during a session (its TCP link, a UDP
// endpoint as discovery makes, the daily log file, the shared log block, the
// transport's own) is closed on exec.
TEST_F(LoopbackSessionTest, NoDescriptorOfTheLibrarySurvivesAnExec) {
  InOrderServer server(LateOrLost);
  const std::set<int> before = OpenDescriptors();
  StartAndLogin(server);
  const uint32_t udp = UdpCreate(nullptr, "127.0.0.1", 0, 32);
  ASSERT_NE(udp, kInvalidHandle);
  std::set<int> opened = OpenDescriptors();
  for (int fd : before) opened.erase(fd);
  for (int fd : server.Links()) opened.erase(fd);
  int sockets = 0, logFiles = 0;
  for (int fd : opened) {
    const std::string target = Target(fd);
    const int flags = fcntl(fd, F_GETFD);
    if (flags < 0) continue;  // closed meanwhile
    EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd << " (" << target << ")";
    sockets += target.rfind("socket:", 0) == 0;
    logFiles += target.find("/Log/") != std::string::npos;
  }
  EXPECT_GE(sockets, 2);  // the TCP link and the UDP endpoint
  EXPECT_EQ(logFiles, 1);
  UdpDestroy(udp);
}
#endif
