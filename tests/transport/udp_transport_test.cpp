// The UDP component against a plain socket on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "BasePlatform/Transport.h"
#include "tests/transport/TransportTestSupport.h"

namespace transport_test {
namespace {

class UdpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EventLog::Reset();
    ASSERT_EQ(UdpInit(UdpCallback), 1u);
    m_peer = UdpSocket(&m_peerPort);
    ASSERT_GE(m_peer, 0);
  }
  void TearDown() override {
    UdpUninit();
    EXPECT_EQ(EventLog::Violations(), 0) << "event after its handle was destroyed";
    ::close(m_peer);
  }
  // Sends from the peer to 127.0.0.1:port.
  void PeerSend(uint16_t port, const std::vector<uint8_t>& bytes) {
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::sendto(m_peer, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sa),
                       sizeof sa),
              ssize_t(bytes.size()));
  }
  // Sends one datagram from the endpoint to the peer; returns the endpoint's port.
  uint16_t LearnPort(uint32_t h) {
    const auto bytes = Packet(24, 0x42);
    EXPECT_EQ(UdpSendTo(h, bytes.data(), 24, 32, "127.0.0.1", m_peerPort), 1u);
    uint8_t buf[64];
    sockaddr_in from = {};
    socklen_t len = sizeof from;
    const ssize_t n =
        ::recvfrom(m_peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + (n > 0 ? n : 0)), bytes);
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), 0x7F000001u);
    return ntohs(from.sin_port);
  }

  int m_peer = -1;
  uint16_t m_peerPort = 0;
};

TEST_F(UdpTransportTest, DatagramsTravelBothWays) {
  const uint32_t h = UdpCreate(nullptr, "127.0.0.1", 0, 32);
  ASSERT_NE(h, kInvalidHandle);
  const uint16_t port = LearnPort(h);
  PeerSend(port, Packet(24, 1));
  PeerSend(port, Packet(300, 2));
  PeerSend(port, {});
  ASSERT_TRUE(EventLog::WaitForCount(h, 3));
  const auto events = EventLog::Events(h);
  EXPECT_EQ(events[0].bytes, Packet(24, 1));
  EXPECT_EQ(events[1].bytes, Packet(300, 2));
  EXPECT_TRUE(events[2].bytes.empty());
  for (const Event& e : events) {
    EXPECT_EQ(e.kind, UDP_EVENT_DATA);
    EXPECT_EQ(e.sender, "127.0.0.1");
    EXPECT_EQ(e.port, m_peerPort);
  }
}

TEST_F(UdpTransportTest, BindsTheGivenPort) {
  uint16_t port = 0;
  ::close(UdpSocket(&port));  // a port that was just free
  const uint32_t h = UdpCreate(nullptr, "127.0.0.1", port, 32);
  ASSERT_NE(h, kInvalidHandle);
  PeerSend(port, Packet(24, 7));
  ASSERT_TRUE(EventLog::WaitForCount(h, 1));
  EXPECT_EQ(EventLog::Events(h)[0].bytes, Packet(24, 7));
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
  std::vector<uint8_t> huge(70000, 0);
  EXPECT_EQ(UdpSendTo(h, huge.data(), uint32_t(huge.size()), 32, "127.0.0.1", m_peerPort), 0u);
  EXPECT_EQ(UdpDestroy(h), 1u);
  EXPECT_EQ(UdpDestroy(h), 0u);
  EXPECT_EQ(UdpSendTo(h, pkt.data(), 24, 32, "127.0.0.1", m_peerPort), 0u);
  UdpUninit();
  EXPECT_EQ(UdpCreate(nullptr, "127.0.0.1", 0, 32), kInvalidHandle);
  ASSERT_EQ(UdpInit(UdpCallback), 1u);
  EXPECT_GT(UdpCreate(nullptr, "127.0.0.1", 0, 32), h);
}

TEST_F(UdpTransportTest, DestroyInsideCallbackStopsDelivery) {
  std::promise<void> destroyed;
  EventLog::SetHook([&](const Event& e) {
    UdpDestroy(e.handle);
    EventLog::MarkDead(e.handle);
    destroyed.set_value();
  });
  const uint32_t h = UdpCreate(nullptr, "127.0.0.1", 0, 32);
  const uint16_t port = LearnPort(h);
  for (int i = 0; i < 4; ++i) PeerSend(port, Packet(24, uint8_t(i)));
  ASSERT_EQ(destroyed.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(EventLog::Events(h).size(), 1u);
}

TEST_F(UdpTransportTest, DestroyAndUninitWhileDatagramsFlow) {
  for (int round = 0; round < 4; ++round) {
    const uint32_t h = UdpCreate(nullptr, "127.0.0.1", 0, 32);
    const uint16_t port = LearnPort(h);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
      for (int i = 0; i < 20000 && !stop; ++i) PeerSend(port, Packet(24 + i % 64, uint8_t(i)));
    });
    EXPECT_TRUE(EventLog::WaitForCount(h, 50));
    if (round % 2 == 0) {
      UdpDestroy(h);
    } else {
      UdpUninit();
      ASSERT_EQ(UdpInit(UdpCallback), 1u);
    }
    EventLog::MarkDead(h);
    stop = true;
    flood.join();
  }
}

}  // namespace
}  // namespace transport_test
