// The simulator's sockets on loopback: discovery by unicast datagram, a TCP
// stream cut into frames, replies in order, delays and closing after N.
#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "simulator/SimServer.h"
#include "tests/protocol/TestBytes.h"

namespace kdl::sim {
namespace {

using kdl::test::Bytes;
using kdl::test::Chars;
using kdl::test::Zeros;

Bytes U32(uint32_t v) { return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes Head(uint32_t type, uint32_t length, uint32_t err = 0) {
  return Zeros(4) + U32(type) + U32(length) + Zeros(4) + U32(err) + Zeros(4);
}
uint32_t WordAt(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

// A simulator on 127.0.0.1 with free ports, run on its own thread.
class SocketTest : public ::testing::Test {
 protected:
  void StartServer() {
    std::string error;
    ASSERT_TRUE(store.LoadJson(R"({"images":[{"id":1,"name":"base","param1":1}]})", &error));
    config.bindAddress = "127.0.0.1";
    config.tcpPort = 0;
    config.udpPort = 0;
    handler = std::make_unique<CRequestHandler>(store, config);
    server = std::make_unique<CSimServer>(io, *handler, config, [this](const std::string& l) {
      std::lock_guard<std::mutex> lock(logMutex);
      log.push_back(l);
    });
    ASSERT_TRUE(server->Start(&error)) << error;
    thread = std::thread([this] { io.run(); });
  }
  void TearDown() override {
    if (server) asio::post(io, [this] { server->Stop(); io.stop(); });
    if (thread.joinable()) thread.join();
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(logMutex);
    return log;
  }
  // The first log line that contains `text`, waited for up to 20 s; empty if none.
  std::string AwaitLine(const std::string& text) {
    for (int i = 0; i < 2000; ++i) {
      for (const auto& line : Log())
        if (line.find(text) != std::string::npos) return line;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::string();
  }
  // Logs in on `s` and checks the reply.
  static void Login(asio::ip::tcp::socket& s) {
    Bytes login = Head(0x00020001, 56) + Chars("t", 32);
    asio::write(s, asio::buffer(login));
    std::vector<uint8_t> reply = ReadFrame(s);
    EXPECT_EQ(WordAt(reply, 4), 0x80020001u);
    EXPECT_EQ(WordAt(reply, 16), 0u);
  }
  // True when the server closes `s` (end of stream or reset) within 20 s.
  bool ClosedByServer(asio::ip::tcp::socket& s) {
    std::vector<uint8_t> rest(64);
    asio::error_code end;
    std::function<void()> readOn = [&] {
      s.async_read_some(asio::buffer(rest), [&](asio::error_code ec, size_t) {
        if (ec) end = ec; else readOn();
      });
    };
    readOn();
    client.restart();
    client.run_for(std::chrono::seconds(20));
    if (!end) s.close();  // ends the read still waiting
    client.run();
    return end == asio::error::eof || end == asio::error::connection_reset;
  }
  // Reads one whole reply frame from a connected socket.
  static std::vector<uint8_t> ReadFrame(asio::ip::tcp::socket& s) {
    std::vector<uint8_t> head(24);
    asio::read(s, asio::buffer(head));
    uint32_t len = WordAt(head, 8);
    std::vector<uint8_t> frame = head;
    frame.resize(len);
    asio::read(s, asio::buffer(frame.data() + 24, len - 24));
    return frame;
  }
  asio::ip::tcp::socket Connect() {
    asio::ip::tcp::socket s(client);
    s.connect({asio::ip::make_address("127.0.0.1"), server->TcpPort()});
    return s;
  }

  ImageStore store;
  ServerConfig config;
  asio::io_context io;
  asio::io_context client;
  std::unique_ptr<CRequestHandler> handler;
  std::unique_ptr<CSimServer> server;
  std::thread thread;
  std::mutex logMutex;
  std::vector<std::string> log;
};

TEST_F(SocketTest, DiscoverIsAnsweredToTheSender) {
  StartServer();
  asio::ip::udp::socket u(client, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  Bytes req = Head(0x00020000, 24);
  u.send_to(asio::buffer(req), {asio::ip::make_address("127.0.0.1"), server->UdpPort()});
  std::vector<uint8_t> reply(64);
  asio::ip::udp::endpoint from;
  size_t n = u.receive_from(asio::buffer(reply), from);
  reply.resize(n);
  EXPECT_EQ(from.port(), server->UdpPort());
  EXPECT_EQ(Bytes(reply), Head(0x80020000, 32) + U32(1) + U32(server->TcpPort()));
}

TEST_F(SocketTest, RequestsSplitAndJoinedInTheStreamAreAnsweredInOrder) {
  config.Fault(RequestKind::kLogin).delayMs = 200;  // the first reply waits; order must hold
  StartServer();
  auto s = Connect();
  Bytes login = Head(0x00020001, 56) + Chars("t", 32);
  Bytes select = Head(0x00020005, 32) + U32(0) + U32(1);
  Bytes keepAlive = Head(0x00000001, 24);
  Bytes list = Head(0x00020006, 24);
  Bytes stream = login + select + keepAlive + list;
  // First 10 bytes alone, then the rest in one write.
  asio::write(s, asio::buffer(stream.data(), 10));
  asio::write(s, asio::buffer(stream.data() + 10, stream.size() - 10));
  EXPECT_EQ(WordAt(ReadFrame(s), 4), 0x80020001u);
  std::vector<uint8_t> sel = ReadFrame(s);
  EXPECT_EQ(WordAt(sel, 4), 0x80020005u);
  EXPECT_EQ(sel[24], 1);
  std::vector<uint8_t> lst = ReadFrame(s);
  EXPECT_EQ(WordAt(lst, 4), 0x80020006u);
  EXPECT_EQ(WordAt(lst, 24), 0x7F000001u);  // ServerIP: the address the link reached
  EXPECT_EQ(WordAt(lst, 28), server->TcpPort());
}

TEST_F(SocketTest, LinkIsClosedAfterNRequests) {
  config.closeAfter = 2;
  StartServer();
  auto s = Connect();
  Bytes two = Head(0x00020006, 24) + Head(0x00000001, 24) + Head(0x00020006, 24);
  asio::write(s, asio::buffer(two));
  EXPECT_EQ(WordAt(ReadFrame(s), 4), 0x80020006u);
  // The keep-alive was the second request: no reply, then the close.
  std::vector<uint8_t> rest(16);
  asio::error_code ec;
  size_t n = s.read_some(asio::buffer(rest), ec);
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(ec == asio::error::eof || ec == asio::error::connection_reset) << ec.message();
}

TEST_F(SocketTest, ABadLengthFromTheClientClosesTheLink) {
  StartServer();
  auto s = Connect();
  Bytes bad = Head(0x00020006, 8);
  asio::write(s, asio::buffer(bad));
  std::vector<uint8_t> rest(16);
  asio::error_code ec;
  s.read_some(asio::buffer(rest), ec);
  EXPECT_TRUE(ec == asio::error::eof || ec == asio::error::connection_reset) << ec.message();
  bool logged = false;
  for (const auto& line : Log()) logged |= line.find("Length 8") != std::string::npos;
  EXPECT_TRUE(logged);
}

TEST_F(SocketTest, RequestsNeedALoginOnTheLinkAndCreatesStopAtTheImageLimit) {
  config.maxImages = 3;
  StartServer();
  auto create = [](const char* name) {
    return Head(0x00020009, 300) + U32(1) + U32(0) + Chars(name, 260) + U32(1) + U32(0);
  };
  auto s = Connect();
  // Before a login: refused with 13 and nothing created; the keep-alive is dropped.
  asio::write(s, asio::buffer(create("early") + Head(0x00000001, 24) + Head(0x00020006, 24)));
  EXPECT_EQ(Bytes(ReadFrame(s)), Head(0x80020009, 24, kErrNotLoggedIn));
  EXPECT_EQ(Bytes(ReadFrame(s)), Head(0x80020006, 36, kErrNotLoggedIn) + Zeros(12));
  Login(s);
  asio::write(s, asio::buffer(create("a") + create("b") + create("c") + Head(0x00020006, 24)));
  EXPECT_EQ(Bytes(ReadFrame(s)), Head(0x80020009, 24));
  EXPECT_EQ(Bytes(ReadFrame(s)), Head(0x80020009, 24));
  EXPECT_EQ(Bytes(ReadFrame(s)), Head(0x80020009, 24, kErrTooManyImages));
  EXPECT_EQ(WordAt(ReadFrame(s), 32), 3u);  // the image count of the list
  // The login belongs to its link.
  auto other = Connect();
  asio::write(other, asio::buffer(Head(0x00020006, 24)));
  EXPECT_EQ(WordAt(ReadFrame(other), 16), kErrNotLoggedIn);
}

TEST_F(SocketTest, AClientThatNeverReadsIsClosedAtTheQueueLimit) {
  config.maxQueuedBytes = 64 * 1024;
  StartServer();
  asio::ip::tcp::socket s(client);
  s.open(asio::ip::tcp::v4());
  s.set_option(asio::socket_base::receive_buffer_size(4096));
  s.connect({asio::ip::make_address("127.0.0.1"), server->TcpPort()});
  Login(s);
  // Image information requests (480-byte replies), never a reply read.
  Bytes batch;
  for (int i = 0; i < 100; ++i) batch = batch + Head(0x00020002, 24);
  asio::error_code ec;
  for (int i = 0; i < 500 && !ec; ++i) asio::write(s, asio::buffer(batch), ec);
  const std::string line = AwaitLine("does not read its replies");
  ASSERT_FALSE(line.empty());
  const size_t unsent = std::stoul(line.substr(line.find('(') + 1));
  EXPECT_LE(unsent, config.maxQueuedBytes);
  auto fresh = Connect();
  Login(fresh);
}

TEST_F(SocketTest, IdleLinksAreClosedAfterTheirSilence) {
  config.idleCloseMs = 800;
  config.Fault(RequestKind::kImages).delayMs = 1200;
  StartServer();
  auto s = Connect();
  Login(s);
  // A reply the server holds back for longer than the idle time keeps the link.
  asio::write(s, asio::buffer(Head(0x00020006, 24)));
  EXPECT_EQ(WordAt(ReadFrame(s), 4), 0x80020006u);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // Activity starts the time again; the stamp is taken before the server can see it.
  const auto lastSent = std::chrono::steady_clock::now();
  asio::write(s, asio::buffer(Head(0x00000001, 24)));
  EXPECT_TRUE(ClosedByServer(s));
  EXPECT_GE(std::chrono::steady_clock::now() - lastSent, std::chrono::milliseconds(800));
  EXPECT_FALSE(AwaitLine("sent nothing for 800 ms, link closed").empty());
}

TEST_F(SocketTest, AcceptHoldsToTheLinkLimitAndPausesWhileDescriptorsRunOut) {
  config.maxConnections = 2;
  StartServer();
  auto a = Connect();
  Login(a);
  auto b = Connect();
  Login(b);
  auto refused = Connect();
  EXPECT_TRUE(ClosedByServer(refused));
  EXPECT_FALSE(AwaitLine("refused: 2 links open").empty());
  a.close();
  ASSERT_FALSE(AwaitLine("closed by the peer").empty());
#ifndef _WIN32
  // No descriptor left for the server: its accepts fail until one is freed.
  asio::ip::tcp::socket waiting(client);
  waiting.open(asio::ip::tcp::v4());
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(waiting.native_handle() + 16);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> taken;
  for (int fd; (fd = dup(0)) >= 0;) taken.push_back(fd);
  const auto start = std::chrono::steady_clock::now();
  waiting.connect({asio::ip::make_address("127.0.0.1"), server->TcpPort()});
  const bool failed = !AwaitLine("tcp accept failed").empty();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  for (int fd : taken) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(failed);
  const std::string again = AwaitLine("accepting again after");
  const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start).count();
  ASSERT_FALSE(again.empty());
  // One try per pause, not a spin.
  EXPECT_LE(std::stol(again.substr(again.find("after ") + 6)), elapsedMs / 100 + 2);
  Login(waiting);
#endif
}

}  // namespace
}  // namespace kdl::sim
