// The TCP component against a plain-socket peer on 127.0.0.1, and the sockets
// of both components.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#endif

#include "BasePlatform/Transport.h"
#include "tests/transport/TransportTestSupport.h"
#include "transport/PrivateSocket.h"

namespace kdl::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using Kinds = std::vector<uint32_t>;

template <typename T>
bool Ready(std::future<T>& f) {
  return f.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
}

class TcpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kdl::test::events::Reset();
    ASSERT_EQ(TcpInit(TcpCallback), 1u);
    m_fds.push_back(m_listener = LoopbackSocket(SOCK_STREAM, &m_port, 8));
    ASSERT_GE(m_listener, 0);
  }
  void TearDown() override {
    TcpUninit();
    EXPECT_EQ(kdl::test::events::Violations(), 0) << "event after its handle was destroyed";
    for (int fd : m_fds) CloseSocket(fd);
  }
  // A connected link; *peer is the accepted end.
  uint32_t Connect(int* peer, TcpEventCallbackFn callback = nullptr) {
    const uint32_t h = TcpCreate(callback, "127.0.0.1", 0);
    EXPECT_NE(h, kInvalidHandle);
    EXPECT_NE(TcpConnect(h, "127.0.0.1", m_port), 0u);
    m_fds.push_back(*peer = Accept(m_listener));
    EXPECT_GE(*peer, 0);
    return h;
  }

  int m_listener = -1;
  uint16_t m_port = 0;
  std::vector<int> m_fds;
};

TEST_F(TcpTransportTest, StreamIsCutIntoWholePacketsInOrder) {
  int peer, peer2;
  const uint32_t h = Connect(&peer);
  const auto a = Packet(24, 0), b = Packet(30, 0xB1), c = Packet(100000, 0xC3);
  const auto all = Join({a, b, c});
  // Split inside a head; then the rest of a packet, a whole one and the start
  // of the next in one write.
  for (auto [from, to] : {std::pair<size_t, size_t>{0, 10}, {10, 59}, {59, all.size()}}) {
    ASSERT_TRUE(WriteAll(peer, std::vector<uint8_t>(all.begin() + from, all.begin() + to)));
    std::this_thread::sleep_for(milliseconds(20));
  }
  ASSERT_TRUE(kdl::test::events::WaitCount(h, 3));
  const auto got = kdl::test::events::Of(h);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].bytes, a);
  EXPECT_EQ(got[1].bytes, b);
  EXPECT_EQ(got[2].bytes, c);
  for (const Event& e : got) {
    EXPECT_EQ(e.kind, TCP_EVENT_DATA);
    EXPECT_EQ(e.subKind, TCP_DATA_SUBKIND_PACKET);
    EXPECT_FALSE(e.other);
  }
  // A link created with its own callback reports there.
  const uint32_t h2 = Connect(&peer2, OtherTcpCallback);
  ASSERT_TRUE(WriteAll(peer2, a));
  ASSERT_TRUE(kdl::test::events::WaitCount(h2, 1));
  EXPECT_TRUE(kdl::test::events::Of(h2)[0].other);
}

TEST_F(TcpTransportTest, LengthOutOfRangeGivesProtocolErrorThenClose) {
  for (uint32_t badLength : {23u, 16u * 1024 * 1024 + 1}) {
    std::atomic<uint32_t> addr{0}, port{0};
    // The handler asks for the remote end from inside the error event.
    kdl::test::events::SetHook([&](const Event& e) {
      uint32_t a = 0, p = 0;
      if (e.kind == TCP_EVENT_ERR_PROTOCOL && TcpGetLinkAddr(e.handle, 2, &a, &p)) {
        addr = a, port = p;
      }
    });
    int peer;
    const uint32_t h = Connect(&peer);
    ASSERT_TRUE(WriteAll(peer, Join({Packet(24, 0), Packet(badLength, 0), Packet(24, 0)})));
    ASSERT_TRUE(kdl::test::events::WaitKind(h, TCP_EVENT_CLOSED));
    EXPECT_EQ(kdl::test::events::KindsOf(h),
              (Kinds{TCP_EVENT_DATA, TCP_EVENT_ERR_PROTOCOL, TCP_EVENT_CLOSED}));
    EXPECT_TRUE(SeesClose(peer));
    EXPECT_EQ(TcpSend(h, Packet(24, 0).data(), 24, 0), 0u);
    EXPECT_EQ(addr.load(), 0x7F000001u);
    EXPECT_EQ(port.load(), m_port);
    TcpDestroy(h);
    kdl::test::events::SetHook(nullptr);
  }
}

// TcpShutdown ends a link as the peer's close would.
TEST_F(TcpTransportTest, PeerCloseResetAndShutdownAreReportedOnce) {
  int closer, resetter, shut;
  const uint32_t h1 = Connect(&closer);
  const uint32_t h2 = Connect(&resetter);
  const uint32_t h3 = Connect(&shut);
  ASSERT_TRUE(WriteAll(closer, Packet(24, 0)));
  ShutdownSend(closer);
  CloseWithReset(resetter);
  m_fds.erase(m_fds.end() - 2);
  EXPECT_EQ(TcpShutdown(h3), 1u);
  EXPECT_EQ(TcpShutdown(h3), 0u);
  EXPECT_TRUE(SeesClose(shut));
  ASSERT_TRUE(kdl::test::events::WaitKind(h1, TCP_EVENT_CLOSED));
  ASSERT_TRUE(kdl::test::events::WaitKind(h2, TCP_EVENT_CLOSED));
  ASSERT_TRUE(kdl::test::events::WaitKind(h3, TCP_EVENT_CLOSED));
  EXPECT_EQ(TcpSend(h1, Packet(24, 0).data(), 24, 0), 0u);
  EXPECT_EQ(TcpSend(h3, Packet(24, 0).data(), 24, 0), 0u);
  // After the destroys no event can come any more: the lists are final.
  TcpDestroy(h1);
  TcpDestroy(h2);
  TcpDestroy(h3);
  EXPECT_EQ(kdl::test::events::KindsOf(h1), (Kinds{TCP_EVENT_DATA, TCP_EVENT_CLOSED}));
  EXPECT_EQ(kdl::test::events::KindsOf(h2), (Kinds{TCP_EVENT_CLOSED}));
  EXPECT_EQ(kdl::test::events::KindsOf(h3), (Kinds{TCP_EVENT_CLOSED}));
}

TEST_F(TcpTransportTest, FailuresAreReturnValues) {
  const auto pkt = Packet(24, 0);
  EXPECT_EQ(TcpSend(kInvalidHandle, pkt.data(), 24, 0), 0u);
  EXPECT_EQ(TcpSend(987654, pkt.data(), 24, 0), 0u);
  EXPECT_EQ(TcpConnect(987654, "127.0.0.1", m_port), 0u);
  for (const char* bad : {"", "1.2.3", "localhost", "127.0.0.1 ", "192.0.2.1" /* not ours */}) {
    EXPECT_EQ(TcpCreate(nullptr, bad, 0), kInvalidHandle) << bad;
  }
  EXPECT_EQ(TcpCreate(nullptr, nullptr, 0), kInvalidHandle);
  uint32_t addr = 0xAAAA, port = 0xBBBB;
  EXPECT_EQ(TcpGetLinkAddr(987654, 2, &addr, &port), 0u);
  const uint32_t h = TcpCreate(nullptr, "127.0.0.1", 0);
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_EQ(TcpGetLinkAddr(h, 2, &addr, &port), 0u);  // not connected
  EXPECT_EQ(addr + port, 0xAAAAu + 0xBBBBu);
  EXPECT_EQ(TcpSend(h, pkt.data(), 24, 0), 0u);  // not connected
  EXPECT_EQ(TcpShutdown(h), 0u);
  EXPECT_EQ(TcpShutdown(987654), 0u);
  EXPECT_EQ(TcpConnect(h, "127.0.0.", m_port), 0u);
  EXPECT_EQ(TcpConnect(h, "127.0.0.1", 0), 0u);
  EXPECT_EQ(TcpConnect(h, "127.0.0.1", 0x10000u + m_port), 0u);
  EXPECT_EQ(TcpDestroy(h), 1u);
  EXPECT_EQ(TcpDestroy(h), 0u);
  EXPECT_EQ(TcpConnect(h, "127.0.0.1", m_port), 0u);
  // Handles keep counting up, across Uninit and Init too.
  const uint32_t h2 = TcpCreate(nullptr, "127.0.0.1", 0);
  EXPECT_GT(h2, h);
  TcpUninit();
  EXPECT_EQ(TcpCreate(nullptr, "127.0.0.1", 0), kInvalidHandle);
  EXPECT_EQ(TcpSend(h2, pkt.data(), 24, 0), 0u);
  ASSERT_EQ(TcpInit(TcpCallback), 1u);
  EXPECT_GT(TcpCreate(nullptr, "127.0.0.1", 0), h2);
}

TEST_F(TcpTransportTest, ConnectFailsAtOnceWhenRefusedAndAfterTheTimeoutWhenUnanswered) {
  uint16_t closedPort = 0;
  CloseSocket(LoopbackSocket(SOCK_STREAM, &closedPort));
  const uint32_t h = TcpCreate(nullptr, "127.0.0.1", 0);
  auto start = Clock::now();
  EXPECT_EQ(TcpConnect(h, "127.0.0.1", closedPort), 0u);
  EXPECT_LT(Clock::now() - start, milliseconds(2500));
  EXPECT_EQ(TcpSend(h, Packet(24, 0).data(), 24, 0), 0u);  // the link is dead
  EXPECT_EQ(TcpConnect(h, "127.0.0.1", m_port), 0u);

  // A backlog of 0 holds one connection; later SYNs are dropped.
  uint16_t fullPort = 0;
  m_fds.push_back(LoopbackSocket(SOCK_STREAM, &fullPort, 0));
  for (int i = 0; i < 2; ++i) {
    const int fd = NonBlockingTcpSocket();
    sockaddr_in sa = {};
    sa.sin_family = AF_INET, sa.sin_port = htons(fullPort);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    m_fds.push_back(fd);
  }
  std::this_thread::sleep_for(milliseconds(100));
  const uint32_t h2 = TcpCreate(nullptr, "127.0.0.1", 0);
  start = Clock::now();
  EXPECT_EQ(TcpConnect(h2, "127.0.0.1", fullPort), 0u);
  EXPECT_GE(Clock::now() - start, milliseconds(2900));
}

TEST_F(TcpTransportTest, LinkAddrGivesBothEnds) {
  int peer;
  const uint32_t h = Connect(&peer);
  uint32_t addr = 0, port = 0;
  ASSERT_EQ(TcpGetLinkAddr(h, 2, &addr, &port), 1u);
  EXPECT_EQ(addr, 0x7F000001u);
  EXPECT_EQ(port, m_port);
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
  std::vector<uint8_t> expected, buffer, got;
  for (int i = 0; i < 300; ++i) {
    buffer = Packet(i == 150 ? 2 * 1024 * 1024 : 24 + i % 50, uint8_t(i));
    ASSERT_EQ(TcpSend(h, buffer.data(), uint32_t(buffer.size()), 0), 1u);
    expected.insert(expected.end(), buffer.begin(), buffer.end());
    std::fill(buffer.begin(), buffer.end(), 0xEE);  // the caller reuses its buffer at once
  }
  ASSERT_TRUE(ReadExactly(peer, expected.size(), &got));
  EXPECT_TRUE(got == expected);
}

// Senders on several threads at once, some packets too large for the socket
// buffer: each packet arrives whole and each thread's packets in its order.
TEST_F(TcpTransportTest, ConcurrentSendersKeepPacketsWholeAndOrdered) {
  int peer;
  const uint32_t h = Connect(&peer);
  constexpr int kThreads = 4, kPerThread = 120;
  size_t total = 0;
  for (int i = 0; i < kPerThread; ++i) total += i % 40 == 7 ? 300000 : 40 + i % 5;
  std::vector<std::thread> senders;
  std::atomic<int> refused{0};
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        // The fill byte carries the thread (top bits) and the sequence (low).
        const auto pkt = Packet(i % 40 == 7 ? 300000 : 40 + i % 5, uint8_t(t << 6 | i % 64));
        if (TcpSend(h, pkt.data(), uint32_t(pkt.size()), 0) != 1u) ++refused;
      }
    });
  }
  std::vector<uint8_t> got;
  const bool read = ReadExactly(peer, total * kThreads, &got);
  for (auto& s : senders) s.join();
  ASSERT_EQ(refused.load(), 0);
  ASSERT_TRUE(read);
  int next[kThreads] = {};
  size_t at = 0;
  while (at + 24 <= got.size()) {
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length |= uint32_t(got[at + 8 + i]) << (8 * i);
    ASSERT_GE(length, 40u);
    ASSERT_LE(at + length, got.size());
    const uint8_t fill = got[at + 24];
    const int t = fill >> 6;
    EXPECT_EQ(fill & 63, next[t] % 64) << "thread " << t;
    for (size_t k = at + 24; k < at + length; ++k) ASSERT_EQ(fill, got[k]) << "at " << k;
    ++next[t];
    at += length;
  }
  EXPECT_EQ(at, got.size());
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kPerThread) << "thread " << t;
}

// The manager destroys a link from its close callback, and may send or
// create links from callbacks.
TEST_F(TcpTransportTest, CallbacksMayCallBackIntoTheComponent) {
  std::promise<uint32_t> created;
  kdl::test::events::SetHook([&](const Event& e) {
    if (e.kind == TCP_EVENT_DATA) {
      TcpSend(e.handle, e.bytes.data(), uint32_t(e.bytes.size()), 0);  // echo
    } else if (e.kind == TCP_EVENT_CLOSED) {
      TcpDestroy(e.handle);
      kdl::test::events::MarkDead(e.handle);
      created.set_value(TcpCreate(nullptr, "127.0.0.1", 0));
    }
  });
  int peer;
  const uint32_t h = Connect(&peer);
  const auto sent = Join({Packet(24, 1), Packet(40, 2), Packet(24, 3)});
  std::vector<uint8_t> echo;
  ASSERT_TRUE(WriteAll(peer, sent));
  ASSERT_TRUE(ReadExactly(peer, sent.size(), &echo));
  EXPECT_EQ(echo, sent);
  ShutdownSend(peer);
  auto fut = created.get_future();
  ASSERT_TRUE(Ready(fut));
  EXPECT_GT(fut.get(), h);
}

// A callback that blocks (a host waiting there for a reply on another link)
// holds up its own link only: the other links' events still come.
TEST_F(TcpTransportTest, ABlockedCallbackDoesNotStallOtherLinks) {
  int peer1, peer2;
  const uint32_t h1 = Connect(&peer1);
  const uint32_t h2 = Connect(&peer2);
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  // h1 by value: h2's hook may still run after the test's end.
  kdl::test::events::SetHook([&, h1](const Event& e) {
    if (e.handle != h1) return;
    entered.set_value();
    released.wait();
  });
  ASSERT_TRUE(WriteAll(peer1, Packet(24, 1)));
  auto inside = entered.get_future();
  ASSERT_TRUE(Ready(inside));
  ASSERT_TRUE(WriteAll(peer2, Packet(24, 2)));
  EXPECT_TRUE(kdl::test::events::WaitCount(h2, 1));
  release.set_value();
  TcpDestroy(h1);
  kdl::test::events::SetHook(nullptr);
}

// A waiting caller may read its link itself: its packets come on its own
// thread, the rest of the stream and the close on a component thread.
TEST_F(TcpTransportTest, AClaimedLinkDeliversOnTheClaimingThreadOnly) {
  std::mutex mu;
  std::vector<std::thread::id> threads;  // of each event, in order
  kdl::test::events::SetHook([&](const Event&) {
    std::lock_guard<std::mutex> lock(mu);
    threads.push_back(std::this_thread::get_id());
  });
  int peer;
  const uint32_t h = Connect(&peer);
  EXPECT_EQ(TcpPollRead(h, 0, 1000), 0u);  // nothing claimed
#ifdef KELVANE_TRANSPORT_ASIO
  EXPECT_EQ(TcpClaimRead(h), 0u);  // the Asio component keeps its reads
#else
  const auto a = Packet(24, 1), b = Packet(60, 2);
  ASSERT_EQ(TcpClaimRead(h), 1u);
  EXPECT_EQ(TcpClaimRead(h), 0u);  // one reader at a time
  ASSERT_TRUE(WriteAll(peer, Join({a, std::vector<uint8_t>(b.begin(), b.begin() + 30)})));
  EXPECT_EQ(TcpPollRead(h, 100, 5000000), 1u);
  ASSERT_EQ(kdl::test::events::Of(h).size(), 1u);
  EXPECT_EQ(kdl::test::events::Of(h)[0].bytes, a);
  // Given back: the rest of the packet the caller began is read elsewhere.
  EXPECT_EQ(TcpPollRead(h, 0, 1000), 0u);
  ASSERT_TRUE(WriteAll(peer, std::vector<uint8_t>(b.begin() + 30, b.end())));
  ASSERT_TRUE(kdl::test::events::WaitCount(h, 2));
  EXPECT_EQ(kdl::test::events::Of(h)[1].bytes, b);
  // A close met by the caller is reported on a component thread. The claim
  // is refused while that thread still serves the link.
  const Clock::time_point end = Clock::now() + std::chrono::seconds(20);
  while (TcpClaimRead(h) == 0 && Clock::now() < end) std::this_thread::sleep_for(milliseconds(1));
  ShutdownSend(peer);
  EXPECT_EQ(TcpPollRead(h, 0, 5000000), 0u);
  ASSERT_TRUE(kdl::test::events::WaitKind(h, TCP_EVENT_CLOSED));
  EXPECT_EQ(kdl::test::events::KindsOf(h), (Kinds{TCP_EVENT_DATA, TCP_EVENT_DATA, TCP_EVENT_CLOSED}));
  EXPECT_EQ(TcpClaimRead(h), 0u);
  TcpDestroy(h);  // the hook has run for every event once this returns
  std::lock_guard<std::mutex> lock(mu);
  ASSERT_EQ(threads.size(), 3u);
  EXPECT_EQ(threads[0], std::this_thread::get_id());
  EXPECT_NE(threads[1], std::this_thread::get_id());
  EXPECT_NE(threads[2], std::this_thread::get_id());
#endif
  kdl::test::events::SetHook(nullptr);
}

TEST_F(TcpTransportTest, DestroyInsideDataCallbackStopsDelivery) {
  std::promise<void> destroyed;
  kdl::test::events::SetHook([&](const Event& e) {
    TcpDestroy(e.handle);
    kdl::test::events::MarkDead(e.handle);
    destroyed.set_value();
  });
  int peer;
  const uint32_t h = Connect(&peer);
  ASSERT_TRUE(WriteAll(peer, Join({Packet(24, 1), Packet(24, 2), Packet(24, 3)})));
  auto fut = destroyed.get_future();
  ASSERT_TRUE(Ready(fut));
  EXPECT_TRUE(SeesClose(peer));
  EXPECT_EQ(kdl::test::events::Of(h).size(), 1u);
}

TEST_F(TcpTransportTest, DestroyAndUninitWhileEventsFlow) {
  for (int round = 0; round < 4; ++round) {
    int peer;
    const uint32_t h = Connect(&peer);
    std::atomic<bool> stop{false};
    std::thread flood([&, peer] {
      std::vector<uint8_t> batch;
      for (int i = 0; i < 64; ++i) batch = Join({batch, Packet(24 + i, uint8_t(i))});
      for (int n = 0; n < 5000 && !stop && WriteAll(peer, batch); ++n) {
      }
    });
    EXPECT_TRUE(kdl::test::events::WaitCount(h, 200));
    if (round % 2 == 0) {
      TcpDestroy(h);
    } else {
      TcpUninit();
      EXPECT_EQ(TcpInit(TcpCallback), 1u);
    }
    kdl::test::events::MarkDead(h);
    EXPECT_TRUE(SeesClose(peer));
    stop = true;
    flood.join();
  }
  int peer;  // still usable afterwards
  const uint32_t h = Connect(&peer);
  ASSERT_TRUE(WriteAll(peer, Packet(24, 0)));
  EXPECT_TRUE(kdl::test::events::WaitCount(h, 1));
}

// The host may stop and start the service from inside the close callback.
TEST_F(TcpTransportTest, UninitAndInitFromInsideCallback) {
  std::promise<uint32_t> restarted;
  kdl::test::events::SetHook([&](const Event& e) {
    if (e.kind != TCP_EVENT_CLOSED) return;
    TcpUninit();
    kdl::test::events::MarkDead(e.handle);
    TcpInit(TcpCallback);
    const uint32_t h = TcpCreate(nullptr, "127.0.0.1", 0);
    restarted.set_value(TcpConnect(h, "127.0.0.1", m_port) ? h : kInvalidHandle);
  });
  int peer;
  Connect(&peer);
  ShutdownSend(peer);
  auto fut = restarted.get_future();
  ASSERT_TRUE(Ready(fut));
  const uint32_t h2 = fut.get();
  ASSERT_NE(h2, kInvalidHandle);
  m_fds.push_back(peer = Accept(m_listener));
  ASSERT_TRUE(WriteAll(peer, Packet(24, 9)));
  ASSERT_TRUE(kdl::test::events::WaitCount(h2, 1));
  EXPECT_EQ(kdl::test::events::Of(h2)[0].bytes, Packet(24, 9));
}

}  // namespace
}  // namespace kdl::test

// The components' sockets are not handed to programs the host starts.
TEST(PrivateSocketTest, NeitherKindIsInherited) {
  using namespace kdl::transport;
  for (SocketKind kind : {SocketKind::kTcp, SocketKind::kUdp}) {
    const SocketHandle s = OpenPrivateSocket(kind);
    ASSERT_NE(s, kNoSocket);
#ifdef _WIN32
    DWORD flags = HANDLE_FLAG_INHERIT;
    EXPECT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(s), &flags));
    EXPECT_FALSE(flags & HANDLE_FLAG_INHERIT);
#else
    EXPECT_TRUE(fcntl(s, F_GETFD) & FD_CLOEXEC);
#endif
    CloseSocketHandle(s);
  }
}
