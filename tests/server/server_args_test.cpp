// The command line of kelvane-server: its options, and faults aimed at the
// Nth request of a kind through them.
#include "tools/server/ServerArgs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator/RequestHandler.h"
#include "tests/protocol/TestBytes.h"
#include "tests/simulator/HandlerFixture.h"

namespace kdl::sim {
namespace {

using kdl::test::Bytes;

TEST_F(HandlerTest, FaultsOfTheNthRequestOfAKindOnly) {
  ASSERT_EQ(ParseServerArgs({"--fail", "select@2=5", "--no-reply", "select@3,images@1",
                             "--delay", "select=10"},
                            "d.json", &config).kind,
            kdl::cli::ParseResult::kRun);
  CRequestHandler handler(store, config);
  const Bytes select = Head(0x00020005, 32) + U32(0) + U32(1);
  std::vector<Reply> r;
  for (int i = 0; i < 4; ++i) r.push_back(handler.Handle(select.data(), select.size(), tcp));
  // Every select is delayed; the second also fails (ErrCode at byte 16),
  // the third goes unanswered.
  for (int i : {0, 1, 3}) ASSERT_TRUE(r[i].send) << i;
  EXPECT_EQ(r[0].bytes[16], 0);
  EXPECT_EQ(r[1].bytes[16], 5);
  EXPECT_FALSE(r[2].send);
  EXPECT_EQ(r[3].bytes[16], 0);
  for (int i : {0, 1, 3}) EXPECT_EQ(r[i].delayMs, 10u) << i;
  const Bytes images = Head(0x00020006, 24);
  EXPECT_FALSE(handler.Handle(images.data(), images.size(), tcp).send);
  EXPECT_TRUE(handler.Handle(images.data(), images.size(), tcp).send);
}

TEST(ServerConfigTest, ParsesOptionsAndFaults) {
  ServerConfig c;
  kdl::cli::ParseResult p = ParseServerArgs(
      {"--port", "0", "--udp-port=1800", "--bind", "127.0.0.1", "--no-reply", "login,images",
       "--delay", "select=250", "--fail", "set-admin=0x10", "--bad-length", "discover=-4",
       "--unknown-type", "snapshots", "--close-after", "3", "--client-type", "9",
       "--max-images", "0", "--max-connections", "8", "--max-queued-bytes", "65536",
       "--idle-close", "1500", "--ready-file", "/tmp/ready"},
      "default.json", &c);
  ASSERT_EQ(p.kind, kdl::cli::ParseResult::kRun) << p.text;
  EXPECT_EQ(c.readyFile, "/tmp/ready");
  EXPECT_EQ(c.imagesFile, "default.json");
  EXPECT_EQ(c.tcpPort, 0);
  EXPECT_EQ(c.udpPort, 1800);
  EXPECT_EQ(c.bindAddress, "127.0.0.1");
  EXPECT_TRUE(c.Fault(RequestKind::kLogin).noReply);
  EXPECT_TRUE(c.Fault(RequestKind::kImages).noReply);
  EXPECT_FALSE(c.Fault(RequestKind::kSelect).noReply);
  EXPECT_EQ(c.Fault(RequestKind::kSelect).delayMs, 250u);
  EXPECT_TRUE(c.Fault(RequestKind::kSetAdmin).forceErr);
  EXPECT_EQ(c.Fault(RequestKind::kSetAdmin).errCode, 16u);
  EXPECT_TRUE(c.Fault(RequestKind::kDiscover).badLength);
  EXPECT_TRUE(c.Fault(RequestKind::kDiscover).lengthRelative);
  EXPECT_EQ(c.Fault(RequestKind::kDiscover).lengthValue, -4);
  EXPECT_TRUE(c.Fault(RequestKind::kSnapshots).unknownType);
  EXPECT_EQ(c.closeAfter, 3u);
  EXPECT_EQ(c.clientType, 9u);
  EXPECT_EQ(c.maxImages, 0u);
  EXPECT_EQ(c.maxConnections, 8u);
  EXPECT_EQ(c.maxQueuedBytes, 65536u);
  EXPECT_EQ(c.idleCloseMs, 1500u);
}

TEST(ServerConfigTest, RefusesBadOptions) {
  const std::vector<std::vector<std::string>> bad = {
      {"--port", "65536"},  {"--port"},
      {"--no-reply", "logon"}, {"--delay", "login"},
      {"--delay", "login=-5"}, {"--fail", "select=x"},
      {"--frobnicate", "1"},   {"stray"},
      {"--client-type", "010"}, {"--bad-length", "discover=+"},
      {"--max-connections", "0"}, {"--max-queued-bytes", "0"},
      {"--idle-close", "-1"},
      {"--fail", "select@0=3"}, {"--no-reply", "login@x"},
      {"--fail", "select=1"}, {"--fail", "images@2=0x1"},
      {"--bind", "localhost"}, {"--bind", "::1"}, {"--bind", "300.1.1.1"}, {"--bind", ""},
  };
  for (const auto& args : bad) {
    ServerConfig c;
    kdl::cli::ParseResult p = ParseServerArgs(args, "d.json", &c);
    EXPECT_EQ(p.kind, kdl::cli::ParseResult::kUsageError) << args[0];
    EXPECT_FALSE(p.text.empty());
  }
}

}  // namespace
}  // namespace kdl::sim
