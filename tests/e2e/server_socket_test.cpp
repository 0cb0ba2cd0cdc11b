// The simulator's sockets on loopback: discovery by unicast datagram, a TCP
// stream cut into frames, replies in order, delays and closing after N.
#include <gtest/gtest.h>

#include <asio.hpp>
#include <mutex>
#include <thread>

#include "tests/protocol/TestBytes.h"
#include "tools/server/SimServer.h"

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

}  // namespace
}  // namespace kdl::sim
