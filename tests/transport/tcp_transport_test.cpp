// The TCP component against a plain-socket peer on 127.0.0.1.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "BasePlatform/Transport.h"
#include "tests/transport/TransportTestSupport.h"

namespace transport_test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class TcpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EventLog::Reset();
    ASSERT_EQ(TcpInit(TcpCallback), 1u);
  }
  void TearDown() override {
    TcpUninit();
    EXPECT_EQ(EventLog::Violations(), 0) << "event after its handle was destroyed";
    for (int fd : m_peers) ::close(fd);
  }
  // A connected link; *peer is the accepted end.
  uint32_t Connect(int* peer, TcpEventCallbackFn callback = nullptr) {
    const uint32_t h = TcpCreate(callback, "127.0.0.1", 0);
    EXPECT_NE(h, kInvalidHandle);
    EXPECT_NE(TcpConnect(h, "127.0.0.1", m_listener.Port()), 0u);
    *peer = m_listener.Accept();
    EXPECT_GE(*peer, 0);
    m_peers.push_back(*peer);
    return h;
  }
  std::vector<uint32_t> Kinds(uint32_t h) {
    std::vector<uint32_t> kinds;
    for (const Event& e : EventLog::Events(h)) kinds.push_back(e.kind);
    return kinds;
  }

  Listener m_listener;
  std::vector<int> m_peers;
};

TEST_F(TcpTransportTest, StreamIsCutIntoWholePacketsInOrder) {
  int peer;
  const uint32_t h = Connect(&peer);
  const auto a = Packet(24, 0), b = Packet(30, 0xB1), c = Packet(100000, 0xC3);
  const auto all = Join({a, b, c});
  // Split inside a head, then the rest of one packet with a whole one and the
  // start of the next in one write.
  for (auto [from, to] : {std::pair<size_t, size_t>{0, 10}, {10, 24 + 30 + 5}, {59, all.size()}}) {
    ASSERT_TRUE(WriteAll(peer, std::vector<uint8_t>(all.begin() + from, all.begin() + to)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(EventLog::WaitForCount(h, 3));
  const auto events = EventLog::Events(h);
  ASSERT_EQ(events.size(), 3u);
  for (const Event& e : events) {
    EXPECT_EQ(e.kind, TCP_EVENT_DATA);
    EXPECT_EQ(e.subKind, TCP_DATA_SUBKIND_PACKET);
    EXPECT_FALSE(e.other);
  }
  EXPECT_EQ(events[0].bytes, a);
  EXPECT_EQ(events[1].bytes, b);
  EXPECT_EQ(events[2].bytes, c);
}

TEST_F(TcpTransportTest, LengthOutOfRangeGivesProtocolErrorThenClose) {
  for (uint32_t badLength : {23u, 16u * 1024 * 1024 + 1}) {
    EventLog::Reset();
    std::atomic<uint32_t> addr{0}, port{0};
    // The handler asks for the remote end from inside the error event.
    EventLog::SetHook([&](const Event& e) {
      uint32_t a = 0, p = 0;
      if (e.kind == TCP_EVENT_ERR_PROTOCOL && TcpGetLinkAddr(e.handle, 2, &a, &p)) {
        addr = a;
        port = p;
      }
    });
    int peer;
    const uint32_t h = Connect(&peer);
    std::vector<uint8_t> badHead = Packet(24, 0);  // a head only: nothing after it is read
    for (int i = 0; i < 4; ++i) badHead[8 + i] = uint8_t(badLength >> (8 * i));
    ASSERT_TRUE(WriteAll(peer, Join({Packet(24, 0), badHead, Packet(24, 0)})));
    ASSERT_TRUE(EventLog::WaitForKind(h, TCP_EVENT_CLOSED));
    EXPECT_EQ(Kinds(h), (std::vector<uint32_t>{TCP_EVENT_DATA, TCP_EVENT_ERR_PROTOCOL,
                                               TCP_EVENT_CLOSED}))
        << badLength;
    EXPECT_TRUE(SeesClose(peer));
    EXPECT_EQ(TcpSend(h, Packet(24, 0).data(), 24, 0), 0u);
    EXPECT_EQ(addr.load(), 0x7F000001u);
    EXPECT_EQ(port.load(), m_listener.Port());
    TcpDestroy(h);
    EventLog::SetHook(nullptr);
  }
}

TEST_F(TcpTransportTest, PeerCloseAndResetAreReportedOnce) {
  int closer, resetter;
  const uint32_t h1 = Connect(&closer);
  const uint32_t h2 = Connect(&resetter);
  ASSERT_TRUE(WriteAll(closer, Packet(24, 0)));
  ::shutdown(closer, SHUT_WR);
  const linger l = {1, 0};  // close with a reset
  ::setsockopt(resetter, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(resetter);
  m_peers.pop_back();
  ASSERT_TRUE(EventLog::WaitForKind(h1, TCP_EVENT_CLOSED));
  ASSERT_TRUE(EventLog::WaitForKind(h2, TCP_EVENT_CLOSED));
  EXPECT_EQ(TcpSend(h1, Packet(24, 0).data(), 24, 0), 0u);
  // After the destroys no event can come any more: the counts are final.
  TcpDestroy(h1);
  TcpDestroy(h2);
  EXPECT_EQ(Kinds(h1), (std::vector<uint32_t>{TCP_EVENT_DATA, TCP_EVENT_CLOSED}));
  EXPECT_EQ(Kinds(h2), (std::vector<uint32_t>{TCP_EVENT_CLOSED}));
}

TEST_F(TcpTransportTest, FailuresAreReturnValues) {
  const auto pkt = Packet(24, 0);
  EXPECT_EQ(TcpSend(kInvalidHandle, pkt.data(), 24, 0), 0u);
  EXPECT_EQ(TcpSend(987654, pkt.data(), 24, 0), 0u);
  EXPECT_EQ(TcpConnect(987654, "127.0.0.1", m_listener.Port()), 0u);
  for (const char* bad : {"", "1.2.3", "localhost", "127.0.0.1 "}) {
    EXPECT_EQ(TcpCreate(nullptr, bad, 0), kInvalidHandle) << bad;
  }
  EXPECT_EQ(TcpCreate(nullptr, nullptr, 0), kInvalidHandle);
  EXPECT_EQ(TcpCreate(nullptr, "192.0.2.1", 0), kInvalidHandle);  // not a local address
  uint32_t addr = 0xAAAA, port = 0xBBBB;
  EXPECT_EQ(TcpGetLinkAddr(987654, 2, &addr, &port), 0u);
  const uint32_t h = TcpCreate(nullptr, "127.0.0.1", 0);
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_EQ(TcpGetLinkAddr(h, 2, &addr, &port), 0u);  // not connected
  EXPECT_EQ(addr, 0xAAAAu);
  EXPECT_EQ(port, 0xBBBBu);
  EXPECT_EQ(TcpSend(h, pkt.data(), 24, 0), 0u);  // not connected
  EXPECT_EQ(TcpConnect(h, "127.0.0.", m_listener.Port()), 0u);
  EXPECT_EQ(TcpConnect(h, "127.0.0.1", 0), 0u);
  EXPECT_EQ(TcpConnect(h, "127.0.0.1", 0x10000u + m_listener.Port()), 0u);
  EXPECT_EQ(TcpDestroy(h), 1u);
  EXPECT_EQ(TcpDestroy(h), 0u);
  EXPECT_EQ(TcpConnect(h, "127.0.0.1", m_listener.Port()), 0u);
  // Handles keep counting up, across Uninit and Init too.
  const uint32_t h2 = TcpCreate(nullptr, "127.0.0.1", 0);
  EXPECT_GT(h2, h);
  TcpUninit();
  EXPECT_EQ(TcpCreate(nullptr, "127.0.0.1", 0), kInvalidHandle);
  EXPECT_EQ(TcpSend(h2, pkt.data(), 24, 0), 0u);
  ASSERT_EQ(TcpInit(TcpCallback), 1u);
  const uint32_t h3 = TcpCreate(nullptr, "127.0.0.1", 0);
  EXPECT_GT(h3, h2);
  EXPECT_NE(h3, kInvalidHandle);
}

TEST_F(TcpTransportTest, RefusedConnectFailsAtOnce) {
  const uint32_t h = TcpCreate(nullptr, "127.0.0.1", 0);
  const auto start = Clock::now();
  EXPECT_EQ(TcpConnect(h, "127.0.0.1", ClosedPort()), 0u);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));  // far below the time-out
  // The link is dead: it neither sends nor connects again.
  EXPECT_EQ(TcpSend(h, Packet(24, 0).data(), 24, 0), 0u);
  EXPECT_EQ(TcpConnect(h, "127.0.0.1", m_listener.Port()), 0u);
}

TEST_F(TcpTransportTest, UnansweredConnectGivesUpAfterTheTimeout) {
  Listener full(0);  // a backlog of 0 holds one connection; later SYNs are dropped
  std::vector<int> fillers;
  for (int i = 0; i < 2; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(full.Port());
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    fillers.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const uint32_t h = TcpCreate(nullptr, "127.0.0.1", 0);
  const auto start = Clock::now();
  EXPECT_EQ(TcpConnect(h, "127.0.0.1", full.Port()), 0u);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2900));
  for (int fd : fillers) ::close(fd);
}

TEST_F(TcpTransportTest, LinkAddrGivesBothEnds) {
  int peer;
  const uint32_t h = Connect(&peer);
  uint32_t addr = 0, port = 0;
  ASSERT_EQ(TcpGetLinkAddr(h, 2, &addr, &port), 1u);
  EXPECT_EQ(addr, 0x7F000001u);
  EXPECT_EQ(port, m_listener.Port());
  sockaddr_in sa = {};
  socklen_t len = sizeof sa;
  ASSERT_EQ(::getpeername(peer, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  ASSERT_EQ(TcpGetLinkAddr(h, 1, &addr, &port), 1u);
  EXPECT_EQ(addr, 0x7F000001u);
  EXPECT_EQ(port, ntohs(sa.sin_port));
}

TEST_F(TcpTransportTest, SendCopiesTheBytesAndKeepsTheirOrder) {
  int peer;
  const uint32_t h = Connect(&peer);
  std::vector<uint8_t> expected, buffer;
  for (int i = 0; i < 300; ++i) {
    buffer = Packet(i == 150 ? 2 * 1024 * 1024 : 24 + i % 50, uint8_t(i));
    ASSERT_EQ(TcpSend(h, buffer.data(), uint32_t(buffer.size()), 0), 1u);
    expected.insert(expected.end(), buffer.begin(), buffer.end());
    std::fill(buffer.begin(), buffer.end(), 0xEE);  // the caller reuses its buffer at once
  }
  std::vector<uint8_t> got;
  ASSERT_TRUE(ReadExactly(peer, expected.size(), &got));
  EXPECT_TRUE(got == expected);
}

TEST_F(TcpTransportTest, PerLinkCallbackIsUsed) {
  int peer;
  const uint32_t h = Connect(&peer, OtherTcpCallback);
  ASSERT_TRUE(WriteAll(peer, Packet(24, 0)));
  ASSERT_TRUE(EventLog::WaitForCount(h, 1));
  EXPECT_TRUE(EventLog::Events(h)[0].other);
}

// The manager destroys a link from its close callback, and may send or create
// links from callbacks.
TEST_F(TcpTransportTest, CallbacksMayCallBackIntoTheComponent) {
  std::promise<uint32_t> created;
  EventLog::SetHook([&](const Event& e) {
    if (e.kind == TCP_EVENT_DATA) {
      TcpSend(e.handle, e.bytes.data(), uint32_t(e.bytes.size()), 0);  // echo
    } else if (e.kind == TCP_EVENT_CLOSED) {
      TcpDestroy(e.handle);
      EventLog::MarkDead(e.handle);
      created.set_value(TcpCreate(nullptr, "127.0.0.1", 0));
    }
  });
  int peer;
  const uint32_t h = Connect(&peer);
  const auto sent = Join({Packet(24, 1), Packet(40, 2), Packet(24, 3)});
  ASSERT_TRUE(WriteAll(peer, sent));
  std::vector<uint8_t> echo;
  ASSERT_TRUE(ReadExactly(peer, sent.size(), &echo));
  EXPECT_EQ(echo, sent);
  ::shutdown(peer, SHUT_WR);
  auto fut = created.get_future();
  ASSERT_EQ(fut.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  const uint32_t h2 = fut.get();
  EXPECT_NE(h2, kInvalidHandle);
  EXPECT_GT(h2, h);
  EXPECT_EQ(TcpSend(h, sent.data(), 24, 0), 0u);
}

TEST_F(TcpTransportTest, DestroyInsideDataCallbackStopsDelivery) {
  std::promise<void> destroyed;
  EventLog::SetHook([&](const Event& e) {
    TcpDestroy(e.handle);
    EventLog::MarkDead(e.handle);
    destroyed.set_value();
  });
  int peer;
  const uint32_t h = Connect(&peer);
  ASSERT_TRUE(WriteAll(peer, Join({Packet(24, 1), Packet(24, 2), Packet(24, 3), Packet(24, 4)})));
  ASSERT_EQ(destroyed.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(SeesClose(peer));
  EXPECT_EQ(EventLog::Events(h).size(), 1u);
}

// A peer that writes packets until told to stop or until the link goes away.
class Flood {
 public:
  explicit Flood(int fd)
      : m_thread([this, fd] {
          std::vector<uint8_t> batch;
          for (int i = 0; i < 64; ++i) {
            const auto p = Packet(24 + i, uint8_t(i));
            batch.insert(batch.end(), p.begin(), p.end());
          }
          for (int n = 0; n < 5000 && !m_bStop; ++n) {
            if (!WriteAll(fd, batch)) break;
          }
        }) {}
  ~Flood() {
    m_bStop = true;
    m_thread.join();
  }

 private:
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
};

TEST_F(TcpTransportTest, DestroyAndUninitWhileEventsFlow) {
  for (int round = 0; round < 4; ++round) {
    int peer;
    const uint32_t h = Connect(&peer);
    Flood flood(peer);
    ASSERT_TRUE(EventLog::WaitForCount(h, 200));
    if (round % 2 == 0) {
      TcpDestroy(h);
    } else {
      TcpUninit();
      ASSERT_EQ(TcpInit(TcpCallback), 1u);
    }
    EventLog::MarkDead(h);
    EXPECT_TRUE(SeesClose(peer));
  }
  // Still usable afterwards.
  int peer;
  const uint32_t h = Connect(&peer);
  ASSERT_TRUE(WriteAll(peer, Packet(24, 0)));
  EXPECT_TRUE(EventLog::WaitForCount(h, 1));
}

// The host may stop and start the service from inside the close callback.
TEST_F(TcpTransportTest, UninitAndInitFromInsideCallback) {
  std::promise<uint32_t> restarted;
  EventLog::SetHook([&](const Event& e) {
    if (e.kind != TCP_EVENT_CLOSED) return;
    TcpUninit();
    EventLog::MarkDead(e.handle);
    TcpInit(TcpCallback);
    const uint32_t h = TcpCreate(nullptr, "127.0.0.1", 0);
    restarted.set_value(TcpConnect(h, "127.0.0.1", m_listener.Port()) ? h : kInvalidHandle);
  });
  int peer;
  Connect(&peer);
  ::shutdown(peer, SHUT_WR);
  auto fut = restarted.get_future();
  ASSERT_EQ(fut.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  const uint32_t h2 = fut.get();
  ASSERT_NE(h2, kInvalidHandle);
  const int peer2 = m_listener.Accept();
  ASSERT_GE(peer2, 0);
  m_peers.push_back(peer2);
  ASSERT_TRUE(WriteAll(peer2, Packet(24, 9)));
  ASSERT_TRUE(EventLog::WaitForCount(h2, 1));
  EXPECT_EQ(EventLog::Events(h2)[0].bytes, Packet(24, 9));
}

}  // namespace
}  // namespace transport_test
