// The UDP component against a plain socket on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "BasePlatform/Transport.h"
#include "tests/transport/TransportTestSupport.h"

namespace kdl::test {
namespace {

class UdpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kdl::test::events::Reset();
    ASSERT_EQ(UdpInit(UdpCallback), 1u);
    ASSERT_GE(m_peer = LoopbackSocket(SOCK_DGRAM, &m_peerPort), 0);
  }
  void TearDown() override {
    UdpUninit();
    EXPECT_EQ(kdl::test::events::Violations(), 0) << "event after its handle was destroyed";
    CloseSocket(m_peer);
  }
  void PeerSend(uint16_t port, const std::vector<uint8_t>& bytes) {
    sockaddr_in sa = {};
    sa.sin_family = AF_INET, sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(m_peer, reinterpret_cast<const char*>(bytes.data()), bytes.size(), 0,
             reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  // A new endpoint that has sent one datagram to the peer; *port is its port.
  uint32_t Create(uint16_t* port) {
    const uint32_t h = UdpCreate(nullptr, "127.0.0.1", 0, 32);
    EXPECT_NE(h, kInvalidHandle);
    const auto bytes = Packet(24, 0x42);
    EXPECT_EQ(UdpSendTo(h, bytes.data(), 24, 32, "127.0.0.1", m_peerPort), 1u);
    char buf[64];
    sockaddr_in from = {};
    socklen_t len = sizeof from;
    const ssize_t n =
        ::recvfrom(m_peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + (n > 0 ? n : 0)), bytes);
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), 0x7F000001u);
    *port = ntohs(from.sin_port);
    return h;
  }

  int m_peer = -1;
  uint16_t m_peerPort = 0;
};

TEST_F(UdpTransportTest, DatagramsTravelBothWays) {
  uint16_t port;
  const uint32_t h = Create(&port);
  PeerSend(port, Packet(24, 1));
  PeerSend(port, Packet(300, 2));
  PeerSend(port, {});
  ASSERT_TRUE(kdl::test::events::WaitCount(h, 3));
  const auto got = kdl::test::events::Of(h);
  EXPECT_EQ(got[0].bytes, Packet(24, 1));
  EXPECT_EQ(got[1].bytes, Packet(300, 2));
  EXPECT_TRUE(got[2].bytes.empty());
  for (const Event& e : got) {
    EXPECT_EQ(e.kind, UDP_EVENT_DATA);
    EXPECT_EQ(e.sender, "127.0.0.1");
    EXPECT_EQ(e.port, m_peerPort);
  }
  // An endpoint on a given port.
  CloseSocket(LoopbackSocket(SOCK_DGRAM, &port));  // a port that was just free
  const uint32_t h2 = UdpCreate(nullptr, "127.0.0.1", port, 32);
  ASSERT_NE(h2, kInvalidHandle);
  PeerSend(port, Packet(24, 7));
  ASSERT_TRUE(kdl::test::events::WaitCount(h2, 1));
  EXPECT_EQ(kdl::test::events::Of(h2)[0].bytes, Packet(24, 7));
}

TEST_F(UdpTransportTest, FailuresAreReturnValues) {
  const auto pkt = Packet(24, 0);
  EXPECT_EQ(UdpSendTo(kInvalidHandle, pkt.data(), 24, 32, "127.0.0.1", m_peerPort), 0u);
  EXPECT_EQ(UdpSendTo(987654, pkt.data(), 24, 32, "127.0.0.1", m_peerPort), 0u);
  EXPECT_EQ(UdpCreate(nullptr, "127.1", 0, 32), kInvalidHandle);
  EXPECT_EQ(UdpCreate(nullptr, nullptr, 0, 32), kInvalidHandle);
  EXPECT_EQ(UdpCreate(nullptr, "127.0.0.1", 70000, 32), kInvalidHandle);
  const uint32_t h = UdpCreate(nullptr, "127.0.0.1", 0, 32);
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_EQ(UdpSendTo(h, pkt.data(), 24, 32, "127.0.0.256", m_peerPort), 0u);
  EXPECT_EQ(UdpSendTo(h, pkt.data(), 24, 32, "127.0.0.1", 0), 0u);
  EXPECT_EQ(UdpSendTo(h, nullptr, 24, 32, "127.0.0.1", m_peerPort), 0u);
  const std::vector<uint8_t> huge(70000, 0);
  EXPECT_EQ(UdpSendTo(h, huge.data(), uint32_t(huge.size()), 32, "127.0.0.1", m_peerPort), 0u);
  EXPECT_EQ(UdpDestroy(h), 1u);
  EXPECT_EQ(UdpDestroy(h), 0u);
  EXPECT_EQ(UdpSendTo(h, pkt.data(), 24, 32, "127.0.0.1", m_peerPort), 0u);
  UdpUninit();
  EXPECT_EQ(UdpCreate(nullptr, "127.0.0.1", 0, 32), kInvalidHandle);
  ASSERT_EQ(UdpInit(UdpCallback), 1u);
  EXPECT_GT(UdpCreate(nullptr, "127.0.0.1", 0, 32), h);
}

// A claimed endpoint delivers to the claiming thread, then to its own again.
TEST_F(UdpTransportTest, AClaimedEndpointDeliversOnTheClaimingThread) {
  const std::thread::id self = std::this_thread::get_id();
  std::atomic<bool> mine{false};
  kdl::test::events::SetHook([&](const Event&) { mine = std::this_thread::get_id() == self; });
  uint16_t port;
  const uint32_t h = Create(&port);
#ifdef KELVANE_TRANSPORT_ASIO
  EXPECT_EQ(UdpClaimRead(h), 0u);  // the Asio component keeps its reads
#else
  ASSERT_EQ(UdpClaimRead(h), 1u);
  EXPECT_EQ(UdpClaimRead(h), 0u);
  PeerSend(port, Packet(24, 1));
  EXPECT_EQ(UdpPollRead(h, 100, 5000000), 1u);
  ASSERT_EQ(kdl::test::events::Of(h).size(), 1u);
  EXPECT_TRUE(mine.load());
  EXPECT_EQ(UdpPollRead(h, 0, 1000), 0u);  // given back
#endif
  const size_t seen = kdl::test::events::Of(h).size();
  PeerSend(port, Packet(24, 2));
  ASSERT_TRUE(kdl::test::events::WaitCount(h, seen + 1));
  UdpDestroy(h);  // the hook has run for every event once this returns
  EXPECT_FALSE(mine.load());
  kdl::test::events::SetHook(nullptr);
}

TEST_F(UdpTransportTest, DestroyInsideCallbackStopsDelivery) {
  std::promise<void> destroyed;
  kdl::test::events::SetHook([&](const Event& e) {
    UdpDestroy(e.handle);
    kdl::test::events::MarkDead(e.handle);
    destroyed.set_value();
  });
  uint16_t port;
  const uint32_t h = Create(&port);
  for (int i = 0; i < 4; ++i) PeerSend(port, Packet(24, uint8_t(i)));
  ASSERT_EQ(destroyed.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(kdl::test::events::Of(h).size(), 1u);
}

TEST_F(UdpTransportTest, DestroyAndUninitWhileDatagramsFlow) {
  for (int round = 0; round < 4; ++round) {
    uint16_t port;
    const uint32_t h = Create(&port);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
      for (int i = 0; i < 20000 && !stop; ++i) PeerSend(port, Packet(24 + i % 64, uint8_t(i)));
    });
    EXPECT_TRUE(kdl::test::events::WaitCount(h, 50));
    if (round % 2 == 0) {
      UdpDestroy(h);
    } else {
      UdpUninit();
      EXPECT_EQ(UdpInit(UdpCallback), 1u);
    }
    kdl::test::events::MarkDead(h);
    stop = true;
    flood.join();
  }
}

}  // namespace
}  // namespace kdl::test
