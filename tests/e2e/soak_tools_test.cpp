// The soak's tools as scripts/soak.sh uses them, over loopback: the fault
// proxy's toxics on a connection to an echo server, and the simulator's
// reply tags (--tag-replies, --announce-port) on a raw TCP link. The
// expected tags are written by hand from their layout: 01, session (12
// bits), serial (12 bits), result (6 bits).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "tests/e2e/ProcessRunner.h"
#include "tests/protocol/TestBytes.h"

namespace kdl::test {
namespace {

Bytes U32(uint32_t v) {
  return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
Bytes Head(uint32_t type, uint32_t length) {
  return Zeros(4) + U32(type) + U32(length) + Zeros(12);
}
uint32_t WordAt(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

// A socket that closes itself; reads give up after a time limit.
struct Socket {
  int fd = -1;
  explicit Socket(int type = SOCK_STREAM) : fd(socket(AF_INET, type, 0)) {}
  ~Socket() {
    if (fd >= 0) close(fd);
  }
  bool Connect(uint16_t port) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  void Send(const Bytes& b) {
    ASSERT_EQ(send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
  }
  // Up to `n` bytes, whatever came within `ms`; `end` tells how the stream
  // ended (0 still open, 1 closed, -errno failed).
  Bytes Read(size_t n, int ms, int* end = nullptr) {
    Bytes out;
    if (end) *end = 0;
    while (out.size() < n) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0) break;
      uint8_t buf[4096];
      const ssize_t got = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
      if (got <= 0) {
        if (end) *end = got == 0 ? 1 : -errno;
        break;
      }
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
};

// One connection's bytes sent back as they come, on its own thread.
class EchoServer {
 public:
  EchoServer() {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(m_listen.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(m_listen.fd, 4);
    getsockname(m_listen.fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] {
      pollfd p = {m_listen.fd, POLLIN, 0};
      if (poll(&p, 1, 20000) <= 0) return;
      const int c = accept(m_listen.fd, nullptr, nullptr);
      uint8_t buf[4096];
      for (ssize_t n; !m_stop && (n = recv(c, buf, sizeof buf, 0)) > 0;)
        send(c, buf, n, MSG_NOSIGNAL);
      close(c);
    });
  }
  ~EchoServer() {
    m_stop = true;
    shutdown(m_listen.fd, SHUT_RDWR);
    m_thread.join();
  }
  uint16_t Port() const { return m_port; }

 private:
  Socket m_listen;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// The number after "key=" in the ready file `path`, waited for up to 20 s.
uint16_t ReadyPort(const std::string& path, const std::string& key) {
  for (int i = 0; i < 2000; ++i) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
      if (line.rfind(key + "=", 0) == 0)
        return static_cast<uint16_t>(std::stoi(line.substr(key.size() + 1)));
    usleep(10000);
  }
  return 0;
}

class FaultProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/kelvane-proxy-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    m_dir = dir;
  }
  void TearDown() override {
    m_proxy.Stop();
    std::system(("rm -rf " + m_dir).c_str());
  }
  void WriteToxics(const std::string& text) { std::ofstream(m_dir + "/toxics") << text; }
  // Starts the proxy in front of the echo server with `toxics`; its port.
  uint16_t StartProxy(const std::string& toxics, const std::vector<std::string>& more = {}) {
    WriteToxics(toxics);
    std::vector<std::string> argv = {KELVANE_FAULTPROXY_BIN, "--upstream",
                                     "127.0.0.1:" + std::to_string(m_echo.Port()), "--toxics",
                                     m_dir + "/toxics", "--ready-file", m_dir + "/ready"};
    argv.insert(argv.end(), more.begin(), more.end());
    EXPECT_TRUE(m_proxy.Start(argv, m_dir + "/proxy.log"));
    return ReadyPort(m_dir + "/ready", "port");
  }

  std::string m_dir;
  EchoServer m_echo;
  BackgroundProcess m_proxy;
};

TEST_F(FaultProxyTest, CutAfterItsBytesAndCorruptOneBitPerByte) {
  Socket c;
  ASSERT_TRUE(c.Connect(StartProxy("cut bytes=10 dir=down\ncorrupt every=1\n")));
  const Bytes sent = Chars("0123456789abcdef", 16);
  c.Send(sent);
  int end = 0;
  const Bytes got = c.Read(64, 10000, &end);
  // The first 10 echoed bytes come back, each with exactly one bit flipped;
  // then the connection is closed.
  ASSERT_EQ(got.size(), 10u);
  for (size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(__builtin_popcount(got[i] ^ sent[i]), 1) << "byte " << i;
  EXPECT_EQ(end, 1);
}

TEST_F(FaultProxyTest, HoldsUntilTheToxicsChangeThenReleasesEverythingInOrder) {
  Socket c;
  ASSERT_TRUE(c.Connect(StartProxy("hold ms=600000 pass=1\n")));
  c.Send(Chars("abc", 3));
  c.Send(Chars("def", 3));
  EXPECT_TRUE(c.Read(6, 500).empty());  // held, not lost
  WriteToxics("# clean\n");
  ASSERT_EQ(kill(m_proxy.Pid(), SIGHUP), 0);
  EXPECT_EQ(c.Read(6, 10000), Chars("abcdef", 6));
  EXPECT_TRUE(m_proxy.WaitForOutput("toxics: none", 10));
}

TEST_F(FaultProxyTest, HoldsNoMoreThanItsQueueLimitWhenNothingDrains) {
  Socket c;
  ASSERT_TRUE(c.Connect(StartProxy("hold ms=600000 pass=1\n", {"--max-queued-bytes", "65536"})));
  ASSERT_EQ(fcntl(c.fd, F_SETFL, O_NONBLOCK), 0);
  // Send until the proxy stops taking bytes (at most 64 MiB).
  const std::vector<uint8_t> block(64 * 1024, 0x5A);
  size_t sent = 0;
  for (int idle = 0; idle < 5 && sent < (64u << 20);) {
    const ssize_t n = send(c.fd, block.data(), block.size(), MSG_NOSIGNAL);
    if (n > 0) {
      sent += n;
      idle = 0;
      continue;
    }
    pollfd p = {c.fd, POLLOUT, 0};
    if (poll(&p, 1, 200) == 0) ++idle;
  }
  EXPECT_LT(sent, 64u << 20) << "the proxy read on without limit";
  EXPECT_EQ(m_proxy.Stop(), 0);
  // Its summary: the most bytes one way held at once, the limit and one read.
  const std::string out = m_proxy.Output();
  const size_t at = out.find("at most ");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_LE(std::stoul(out.substr(at + 8)), 65536u + 16384u) << out.substr(at);
}

TEST_F(FaultProxyTest, ResetsConnectionsAndRefusesABadToxicsFile) {
  Socket c;
  ASSERT_TRUE(c.Connect(StartProxy("reset ms=1\n")));
  int end = 0;
  c.Read(1, 10000, &end);
  EXPECT_EQ(end, -ECONNRESET);

  WriteToxics("latency ms=20\nhold ms=soon\n");
  ProcessResult bad = RunProcess(
      {KELVANE_FAULTPROXY_BIN, "--upstream", "127.0.0.1:1", "--toxics", m_dir + "/toxics"}, "", 30);
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.err.find("line 2: ms must be a number"), std::string::npos) << bad.err;
}

// The simulator with tags: every reply on a link names its request.
TEST(SimulatorTagsTest, RepliesCarryTheSessionSerialAndResultOfTheirRequest) {
  char dir[] = "/tmp/kelvane-tags-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string d = dir;
  std::ofstream(d + "/images.json") << R"({"images":[{"id":1,"name":"base","param1":5}]})";
  BackgroundProcess sim;
  ASSERT_TRUE(sim.Start({KELVANE_SERVER_BIN, "--images", d + "/images.json", "--bind",
                         "127.0.0.1", "--port", "0", "--udp-port", "0", "--tag-replies",
                         "--announce-port", "9999", "--image-root", "/img", "--ready-file",
                         d + "/ready"},
                        d + "/sim.log"));
  const uint16_t tcp = ReadyPort(d + "/ready", "tcp_port");
  const uint16_t udp = ReadyPort(d + "/ready", "udp_port");
  ASSERT_NE(tcp, 0);
  Socket s;
  ASSERT_TRUE(s.Connect(tcp));

  // Login "soak-17": session 17, serial 0 -> 0x40440000, in ErrCode and ExtInfo.
  s.Send(Head(0x00020001, 56) + Chars("soak-17", 32));
  Bytes login = s.Read(36, 10000);
  ASSERT_EQ(login.size(), 36u);
  EXPECT_EQ(WordAt(login, 16), 0x40440000u);
  EXPECT_EQ(WordAt(login, 32), 0x40440000u);

  // Images, serial 1: the image and a tag record; the announced port.
  s.Send(Head(0x00020006, 24));
  Bytes images = s.Read(36 + 2 * 272, 10000);
  ASSERT_EQ(images.size(), 36u + 2 * 272);
  EXPECT_EQ(WordAt(images, 16), 0x40440040u);
  EXPECT_EQ(WordAt(images, 28), 9999u);
  EXPECT_EQ(WordAt(images, 32), 2u);
  EXPECT_EQ(Bytes(images.begin() + 36, images.begin() + 40), U32(1));
  EXPECT_EQ(Bytes(images.begin() + 308, images.end()),
            U32(0x40440040) + Chars("reply-tag", 260) + U32(0x40440040) + U32(0));

  // A create of a name that exists, serial 2: result 17 in the tag (0x40440091).
  s.Send(Head(0x00020009, 300) + U32(1) + U32(0) + Chars("base", 260) + U32(1) + U32(0));
  EXPECT_EQ(WordAt(s.Read(24, 10000), 16), 0x40440091u);
  // Select, serial 3: the path ends in the tag.
  s.Send(Head(0x00020005, 32) + U32(0) + U32(1));
  Bytes select = s.Read(281, 10000);
  ASSERT_EQ(select.size(), 281u);
  EXPECT_EQ(WordAt(select, 16), 0x404400C0u);
  EXPECT_EQ(Bytes(select.begin() + 24, select.end()),
            Bytes{1} + Chars("/img/base.img#404400C0", 256));
  // A keep-alive counts (serial 4) without a reply; set-admin is serial 5.
  s.Send(Head(0x00000001, 24));
  s.Send(Head(0x00020003, 36) + U32(1) + U32(0) + U32(7));
  EXPECT_EQ(WordAt(s.Read(24, 10000), 16), 0x40440140u);
  // Image information, serial 6: after the image (352 bytes) one of the tag
  // with one snapshot of the tag.
  s.Send(Head(0x00020002, 24));
  Bytes info = s.Read(28 + 352 + 452, 10000);
  ASSERT_EQ(info.size(), 28u + 352 + 452);
  EXPECT_EQ(WordAt(info, 16), 0x40440180u);
  EXPECT_EQ(WordAt(info, 24), 2u);
  EXPECT_EQ(WordAt(info, 380), 0x40440180u);        // ImageId
  EXPECT_EQ(WordAt(info, 380 + 8), 0x40440180u);    // Param3
  EXPECT_EQ(WordAt(info, 380 + 348), 1u);           // one snapshot
  EXPECT_EQ(WordAt(info, 380 + 352), 0x40440180u);  // its SnapshotId
  // A login without a number starts session 0 on the same link.
  s.Send(Head(0x00020001, 56) + Chars("host", 32));
  EXPECT_EQ(WordAt(s.Read(36, 10000), 16), 0x40000000u);

  // Discovery names the announced port; UDP replies carry no tag.
  Socket u(SOCK_DGRAM);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(udp);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const Bytes discover = Head(0x00020000, 24);
  ASSERT_EQ(sendto(u.fd, discover.data(), discover.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to),
            24);
  Bytes found = u.Read(32, 10000);
  ASSERT_EQ(found.size(), 32u);
  EXPECT_EQ(WordAt(found, 16), 0u);
  EXPECT_EQ(WordAt(found, 24), 1u);
  EXPECT_EQ(WordAt(found, 28), 9999u);
  sim.Stop();
  std::system(("rm -rf " + d).c_str());
}

}  // namespace
}  // namespace kdl::test
