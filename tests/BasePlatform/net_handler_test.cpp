// The protocol event handler: routing of transport events to the slots, the
// receive path, the reports of undecodable bytes and the hex dump, and the
// counted packet pointer.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BasePlatform/NetHandler2.h"
#include "protocol/PacketTemplates.h"
#include "tests/client/FakeTransport.h"
#include "tests/client/LogCapture.h"
#include "tests/protocol/TestBytes.h"

using PacketZVDiskless::CPacketHead;
using kdl::test::Bytes;
using kdl::test::Hex;
using kdl::test::Zeros;

namespace {

// Every slot call, as text, across handler lifetimes.
std::mutex g_mu;
std::vector<std::string> g_calls;

void Record(const std::string& s) {
  std::lock_guard<std::mutex> l(g_mu);
  g_calls.push_back(s);
}
std::vector<std::string> Calls() {
  std::lock_guard<std::mutex> l(g_mu);
  return g_calls;
}
void ClearCalls() {
  std::lock_guard<std::mutex> l(g_mu);
  g_calls.clear();
}

std::string N(uint32_t v) { return std::to_string(v); }

// Records the slots it receives. With `passThrough` the implemented slots
// (5, 6, 9, 11, 13) also run the handler's own code after recording.
class RecordingHandler : public CNetProtocolHandler {
 public:
  explicit RecordingHandler(bool passThrough) : m_passThrough(passThrough) {}

  void OnTcpEvent1(uint32_t l) override { Record("0 " + N(l)); }
  void OnTcpClosed(uint32_t l) override { Record("1 " + N(l)); }
  void OnTcpEvent3(uint32_t l, uint32_t v) override { Record("2 " + N(l) + " " + N(v)); }
  void OnTcpEvent4(uint32_t l) override { Record("3 " + N(l)); }
  void OnTcpEvent5(uint32_t l) override { Record("4 " + N(l)); }
  void OnTcpRecv(uint32_t l, const uint8_t* d, uint32_t n) override {
    if (!m_passThrough) {
      Record("5 " + N(l) + " " + N(n) + " " + (n ? N(d[0]) : "-"));
      return;
    }
    CNetProtocolHandler::OnTcpRecv(l, d, n);
  }
  void OnTcpErrProtocol(uint32_t l) override {
    Record("6 " + N(l));
    if (m_passThrough) CNetProtocolHandler::OnTcpErrProtocol(l);
  }
  void OnUdpEvent1(uint32_t e) override { Record("7 " + N(e)); }
  void OnUdpClosed(uint32_t e) override { Record("8 " + N(e)); }
  void OnUdpRecv(uint32_t e, const uint8_t* d, uint32_t n, const char* ip,
                 uint16_t port) override {
    if (!m_passThrough) {
      Record("9 " + N(e) + " " + N(n) + " " + ip + ":" + N(port));
      return;
    }
    CNetProtocolHandler::OnUdpRecv(e, d, n, ip, port);
  }
  void OnTcpRecvPacket(uint32_t l, TCountedPtr<CPacketHead>& p) override {
    Record("10 " + N(l) + " type " + N(p->Type) + " uses " + N(p.UseCount()));
    if (m_keep) m_kept = p;
  }
  void OnTcpRecvUnkownPacket(uint32_t l, const uint8_t* d, uint32_t n) override {
    Record("11 " + N(l) + " " + N(n));
    CNetProtocolHandler::OnTcpRecvUnkownPacket(l, d, n);
  }
  void OnUdpRecvPacket(uint32_t e, TCountedPtr<CPacketHead>& p, const char* ip,
                       uint16_t port) override {
    Record("12 " + N(e) + " type " + N(p->Type) + " " + ip + ":" + N(port));
  }
  void OnUdpRecvUnkownPacket(uint32_t e, const uint8_t* d, uint32_t n, const char* ip,
                             uint16_t port) override {
    Record("13 " + N(e) + " " + N(n));
    CNetProtocolHandler::OnUdpRecvUnkownPacket(e, d, n, ip, port);
  }

  void ClearNetOrder() { m_bNetOrder.store(false); }
  void KeepPackets() { m_keep = true; }
  TCountedPtr<CPacketHead>& Kept() { return m_kept; }

 private:
  bool m_passThrough;
  bool m_keep = false;
  TCountedPtr<CPacketHead> m_kept;
};

void Tcp(uint32_t kind, uint32_t link, const void* data) {
  TransportEventHead head{kind, link};
  CNetProtocolHandler::TcpEventCallback(&head, data);
}
void Udp(uint32_t kind, uint32_t endpoint, const void* data) {
  TransportEventHead head{kind, endpoint};
  CNetProtocolHandler::UdpEventCallback(&head, data);
}
void TcpBytes(uint32_t link, const Bytes& b) {
  TcpDataEvent ev{TCP_DATA_SUBKIND_PACKET, b.data(), static_cast<uint32_t>(b.size())};
  Tcp(TCP_EVENT_DATA, link, &ev);
}
void UdpBytes(uint32_t endpoint, const Bytes& b, const char* ip, uint16_t port) {
  UdpDataEvent ev{b.data(), static_cast<uint32_t>(b.size()), ip, port};
  Udp(UDP_EVENT_DATA, endpoint, &ev);
}

// Head of a set-administrator reply (0x80020003, head only) with a given
// Length word.
Bytes SetAdminReplyHead(const char* lengthLe) {
  return Hex("00 00 00 00  03 00 02 80") + Hex(lengthLe) + Zeros(12);
}

class NetHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kdl::test::fake::FakeTransport::Get().Reset();
    kdl::test::QuietLog();
    ClearCalls();
  }
  void TearDown() override { kdl::test::fake::FakeTransport::Get().Reset(); }
};

}  // namespace

// ---- routing ------------------------------------------------------------------

TEST_F(NetHandlerTest, TcpKindsReachTheirSlots) {
  RecordingHandler h(/*passThrough=*/false);
  const uint32_t value = 0xDEADBEEF;
  const uint8_t bytes[3] = {0x42, 1, 2};
  TcpDataEvent packet{3, bytes, 3};
  TcpDataEvent otherSubKind{2, bytes, 3};

  Tcp(1, 7, nullptr);
  Tcp(2, 7, nullptr);
  Tcp(3, 7, &value);
  Tcp(4, 7, nullptr);
  Tcp(5, 7, nullptr);
  Tcp(6, 7, &packet);
  Tcp(6, 7, &otherSubKind);  // ignored
  for (uint32_t kind = 7; kind <= 15; ++kind) Tcp(kind, 7, &value);  // ignored
  Tcp(16, 7, nullptr);
  Tcp(17, 7, &value);  // ignored
  Tcp(0, 7, &value);   // ignored

  EXPECT_EQ(Calls(), (std::vector<std::string>{"0 7", "1 7", "2 7 3735928559", "3 7", "4 7",
                                               "5 7 3 66", "6 7"}));
}

TEST_F(NetHandlerTest, UdpKindsReachTheirSlots) {
  RecordingHandler h(/*passThrough=*/false);
  const uint8_t bytes[2] = {9, 9};
  UdpDataEvent datagram{bytes, 2, "10.0.0.5", 800};
  Udp(1, 101, nullptr);
  Udp(2, 101, nullptr);
  Udp(3, 101, &datagram);
  Udp(0, 101, &datagram);  // ignored
  Udp(4, 101, &datagram);  // ignored
  Udp(6, 101, &datagram);  // ignored
  EXPECT_EQ(Calls(), (std::vector<std::string>{"7 101", "8 101", "9 101 2 10.0.0.5:800"}));
}

TEST_F(NetHandlerTest, EventsWithoutHandlerAreDropped) {
  EXPECT_EQ(CNetProtocolHandler::s_pInstance.load(), nullptr);
  Tcp(2, 7, nullptr);
  Udp(2, 7, nullptr);
  {
    RecordingHandler h(/*passThrough=*/false);
    EXPECT_EQ(CNetProtocolHandler::s_pInstance.load(), &h);
    Tcp(1, 3, nullptr);
  }
  EXPECT_EQ(CNetProtocolHandler::s_pInstance.load(), nullptr);
  Tcp(1, 4, nullptr);
  Udp(1, 4, nullptr);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"0 3"}));
}

// ---- hex dump --------------------------------------------------------------------

TEST(HexDumpTest, TextOfShortLongAndEmptyBuffers) {
  char text[CNetProtocolHandler::kHexDumpBufferSize];

  const uint8_t ten[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(CNetProtocolHandler::FormatHexDump(ten, 10, text), 32u);
  EXPECT_STREQ(text, "\n00 01 02 03 04 05 06 07  08 09 ");

  const uint8_t mixed[34] = {0xAB, 0xCD, 0xEF, 0x10, 0x7F, 0x80, 0xFF, 0x00,
                             0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                             0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x0F, 0xF0,
                             0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                             0xC3, 0x3C};
  CNetProtocolHandler::FormatHexDump(mixed, 34, text);
  EXPECT_STREQ(text,
               "\nAB CD EF 10 7F 80 FF 00  11 22 33 44 55 66 77 88  "
               "99 AA BB CC DD EE 0F F0  01 02 03 04 05 06 07 08 "
               "\nC3 3C ");

  // 300 bytes: nine full lines of 32, then the line feed of the tenth line.
  const Bytes many(300, 0x5A);
  const std::string line =
      "\n5A 5A 5A 5A 5A 5A 5A 5A  5A 5A 5A 5A 5A 5A 5A 5A  "
      "5A 5A 5A 5A 5A 5A 5A 5A  5A 5A 5A 5A 5A 5A 5A 5A ";
  ASSERT_EQ(line.size(), 100u);
  std::string expected;
  for (int i = 0; i < 9; ++i) expected += line;
  expected += "\n";
  EXPECT_EQ(CNetProtocolHandler::FormatHexDump(many.data(), 300, text), 901u);
  EXPECT_EQ(std::string(text), expected);

  // Exactly 288 bytes: nine lines, no trailing line feed.
  CNetProtocolHandler::FormatHexDump(many.data(), 288, text);
  EXPECT_EQ(std::string(text), expected.substr(0, 900));

  EXPECT_EQ(CNetProtocolHandler::FormatHexDump(ten, 0, text), 0u);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(CNetProtocolHandler::FormatHexDump(nullptr, 10, text), 0u);
}

TEST(HexDumpTest, LoggedAsOneInfoMessage) {
  kdl::test::LogCapture log;
  const uint8_t ten[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  CNetProtocolHandler::DumpHex(ten, 10);
  CNetProtocolHandler::DumpHex(ten, 0);
  // A percent sign in the data cannot disturb the line.
  const uint8_t percent[2] = {'%', 's'};
  CNetProtocolHandler::DumpHex(percent, 2);
  EXPECT_EQ(log.Text(),
            "[BasePlatform/NetHandler2:348]|[Info]|\n00 01 02 03 04 05 06 07  08 09 \n"
            "[BasePlatform/NetHandler2:348]|[Info]|\n"
            "[BasePlatform/NetHandler2:348]|[Info]|\n25 73 \n");
}

// ---- receive path -------------------------------------------------------------------

TEST_F(NetHandlerTest, WholeHeadOnlyPacketReachesSlot10Once) {
  RecordingHandler h(/*passThrough=*/true);
  h.ClearNetOrder();
  h.KeepPackets();
  kdl::test::LogCapture log;
  TcpBytes(12, SetAdminReplyHead("18 00 00 00"));
  // Inside the slot the packet had one holder; the kept copy is now the only one.
  EXPECT_EQ(Calls(), (std::vector<std::string>{"10 12 type 2147614723 uses 1"}));
  ASSERT_TRUE(h.Kept());
  EXPECT_EQ(h.Kept().UseCount(), 1);
  EXPECT_EQ(h.Kept()->Length, 24u);
  h.Kept().Release();
  EXPECT_EQ(log.Text(), "");
}

TEST_F(NetHandlerTest, LengthMismatchIsLoggedAndDumped) {
  RecordingHandler h(/*passThrough=*/true);
  h.ClearNetOrder();
  kdl::test::LogCapture log;
  TcpBytes(12, SetAdminReplyHead("1C 00 00 00"));  // Length 28, 24 bytes
  EXPECT_TRUE(Calls().empty());
  EXPECT_EQ(log.Text(),
            "[BasePlatform/NetHandler2:272]|[Error]|CNetProtocolEvent Link[000c] LenInvalid "
            "Failed PktLen=28 cbSize=24.\n"
            "[BasePlatform/NetHandler2:348]|[Info]|\n"
            "00 00 00 00 03 00 02 80  1C 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00 \n");

  // Extra bytes after the last field count only when Length counts them.
  ClearCalls();
  TcpBytes(12, SetAdminReplyHead("1C 00 00 00") + Hex("AA BB CC DD"));
  EXPECT_EQ(Calls(), (std::vector<std::string>{"10 12 type 2147614723 uses 1"}));
  TcpBytes(12, SetAdminReplyHead("18 00 00 00") + Hex("AA BB CC DD"));
  EXPECT_EQ(Calls().size(), 1u);
}

TEST_F(NetHandlerTest, UndecodableBytesGoToSlot11) {
  RecordingHandler h(/*passThrough=*/true);
  h.ClearNetOrder();
  kdl::test::LogCapture log;
  // Unknown type code.
  TcpBytes(0x12345, Hex("00 00 00 00  00 00 FF 7F  18 00 00 00") + Zeros(12));
  // A known type whose body is cut short: login reply (36 bytes) with 28.
  TcpBytes(12, Hex("00 00 00 00  01 00 02 80  24 00 00 00") + Zeros(12) + Hex("01 00 00 00"));
  // Shorter than a head.
  TcpBytes(12, Zeros(23));
  // A file-data reply (fixed part 96 bytes, body left unread) of 24 and 96.
  TcpBytes(12, Hex("00 00 00 00  03 00 05 80  18 00 00 00") + Zeros(12));
  TcpBytes(12, Hex("00 00 00 00  03 00 05 80  60 00 00 00") + Zeros(84));
  EXPECT_EQ(Calls(), (std::vector<std::string>{"11 74565 24", "11 12 28", "11 12 23",
                                               "11 12 24", "10 12 type 2147811331 uses 1"}));
  const std::string text = log.Text();
  EXPECT_NE(text.find("[BasePlatform/NetHandler2:259]|[Warning]|CNetProtocolEvent Link[12345] "
                      "OnTcpRecvUnkownPacket PktSize=24.\n"
                      "[BasePlatform/NetHandler2:348]|[Info]|\n"
                      "00 00 00 00 00 00 FF 7F  18 00 00 00 00 00 00 00  "
                      "00 00 00 00 00 00 00 00 \n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Link[000c] OnTcpRecvUnkownPacket PktSize=28.\n"), std::string::npos);
  EXPECT_EQ(text.find("LenInvalid"), std::string::npos);
}

TEST_F(NetHandlerTest, ReaderTakesTheHandlersByteOrder) {
  RecordingHandler h(/*passThrough=*/true);
  ASSERT_TRUE(h.NetOrder());  // set at construction
  // Little-endian bytes read in network order name no known type.
  TcpBytes(12, SetAdminReplyHead("18 00 00 00"));
  h.ClearNetOrder();
  TcpBytes(12, SetAdminReplyHead("18 00 00 00"));
  EXPECT_EQ(Calls(), (std::vector<std::string>{"11 12 24", "10 12 type 2147614723 uses 1"}));
}

TEST_F(NetHandlerTest, UdpReceivePath) {
  RecordingHandler h(/*passThrough=*/true);
  h.ClearNetOrder();
  kdl::test::LogCapture log;
  // Discover reply, one record.
  const Bytes discover = Hex("00 00 00 00  00 00 02 80  20 00 00 00") + Zeros(12) +
                         Hex("01 00 00 00  90 1F 01 00");
  UdpBytes(101, discover, "10.0.0.5", 800);
  // The same with Length 36.
  Bytes longer = discover;
  longer[8] = 0x24;
  UdpBytes(101, longer, "10.0.0.5", 800);
  // Unknown code.
  UdpBytes(101, Hex("00 00 00 00  77 00 02 80  18 00 00 00") + Zeros(12), "10.0.0.6", 801);

  EXPECT_EQ(Calls(), (std::vector<std::string>{"12 101 type 2147614720 10.0.0.5:800",
                                               "13 101 24"}));
  const std::string text = log.Text();
  EXPECT_NE(text.find("[BasePlatform/NetHandler2:317]|[Error]|CNetProtocolEvent Link[0065] "
                      "LenInvalid Failed PktLen=36 cbSize=32 DstIP:Port=10.0.0.5:800.\n"
                      "[BasePlatform/NetHandler2:348]|[Info]|\n"
                      "00 00 00 00 00 00 02 80  24 00 00 00 00 00 00 00  "
                      "00 00 00 00 00 00 00 00  01 00 00 00 90 1F 01 00 \n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[BasePlatform/NetHandler2:301]|[Warning]|CNetProtocolEvent Link[0065] "
                      "OnUdpRecvUnkownPacket PktSize=24 DstIP:Port=10.0.0.6:801.\n"),
            std::string::npos)
      << text;
}

TEST_F(NetHandlerTest, ProtocolErrorLogsTheRemoteEnd) {
  RecordingHandler h(/*passThrough=*/true);
  kdl::test::fake::FakeTransport::Get().SetLinkAddr(0x0A000005, 0x00011F90);
  kdl::test::LogCapture log;
  Tcp(16, 12, nullptr);
  EXPECT_EQ(log.Text(),
            "[BasePlatform/NetHandler2:289]|[Error]|CNetProtocolEvent Link[000c] "
            "OnTcpErrProtocol RemoteIP:Port=10.0.0.5:8080.\n");
  EXPECT_EQ(kdl::test::fake::FakeTransport::Get().Snapshot().getLinkAddr, 1);
  // Nothing else happens: the link is not destroyed or reported.
  EXPECT_TRUE(kdl::test::fake::FakeTransport::Get().Snapshot().tcpDestroyed.empty());
  EXPECT_EQ(Calls(), (std::vector<std::string>{"6 12"}));
}

// ---- counted pointer ------------------------------------------------------------------

namespace {

std::atomic<int> g_destroyed{0};

class CountedPacket : public CPacketHead {
 public:
  ~CountedPacket() override { g_destroyed.fetch_add(1); }
};

}  // namespace

TEST(CountedPtrTest, CopiesAndCasts) {
  g_destroyed = 0;
  {
    TCountedPtr<CPacketHead> base(new CountedPacket());
    EXPECT_EQ(base.UseCount(), 1);
    {
      TCountedPtr<CountedPacket> derived(base);  // the right class: shared
      ASSERT_TRUE(derived);
      EXPECT_EQ(base.UseCount(), 2);
      TCountedPtr<PacketZVDiskless::CSimplePacketHead<1>> wrong(base);  // another class
      EXPECT_FALSE(wrong);
      EXPECT_EQ(base.UseCount(), 2);
      TCountedPtr<CPacketHead> back(derived);
      EXPECT_EQ(base.UseCount(), 3);
      back = base;  // assignment between holders of the same object
      EXPECT_EQ(base.UseCount(), 3);
    }
    EXPECT_EQ(base.UseCount(), 1);
    EXPECT_EQ(g_destroyed.load(), 0);
  }
  EXPECT_EQ(g_destroyed.load(), 1);

  TCountedPtr<CPacketHead> empty;
  TCountedPtr<CPacketHead> copy(empty);
  EXPECT_FALSE(copy);
  EXPECT_EQ(copy.UseCount(), 0);
}

TEST(CountedPtrTest, SharedAcrossThreadsDestroyedOnce) {
  for (int round = 0; round < 20; ++round) {
    g_destroyed = 0;
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    {
      TCountedPtr<CPacketHead> first(new CountedPacket());
      for (int t = 0; t < 4; ++t) {
        TCountedPtr<CPacketHead> mine(first);
        threads.emplace_back([mine, &go]() mutable {
          while (!go.load()) std::this_thread::yield();
          for (int i = 0; i < 500; ++i) {
            TCountedPtr<CountedPacket> a(mine);
            TCountedPtr<CPacketHead> b(a);
            b = mine;
          }
          mine.Release();
        });
      }
      go = true;
    }  // the creator lets go while the threads still work
    for (std::thread& t : threads) t.join();
    ASSERT_EQ(g_destroyed.load(), 1) << "round " << round;
  }
}

// ---- floods -----------------------------------------------------------------------

namespace {
uint64_t g_fakeMs = 0;
uint64_t FakeMs() { return g_fakeMs; }
size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}
}  // namespace

TEST_F(NetHandlerTest, GarbageFloodIsReportedInFullOnlyTwentyTimesAMinute) {
  RecordingHandler h(/*passThrough=*/true);
  h.ClearNetOrder();
  kdl::log::CLogRateLimit::SetClockForTest(FakeMs);
  g_fakeMs = 1000;
  kdl::test::LogCapture log;
  const Bytes garbage = Hex("00 00 00 00  77 00 02 80  18 00 00 00") + Zeros(12);
  for (int i = 0; i < 100; ++i) {
    UdpBytes(101, garbage, "10.0.0.6", 801);
    TcpBytes(12, garbage);
  }
  g_fakeMs += 60000;
  UdpBytes(101, garbage, "10.0.0.6", 801);
  TcpBytes(12, garbage);
  kdl::log::CLogRateLimit::SetClockForTest(nullptr);

  const std::string text = log.Text();
  EXPECT_EQ(Count(text, "OnUdpRecvUnkownPacket PktSize=24"), 21u);
  EXPECT_EQ(Count(text, "OnTcpRecvUnkownPacket PktSize=24"), 21u);
  EXPECT_EQ(Count(text, "00 00 00 00 77 00 02 80"), 42u);  // one dump per report
  EXPECT_NE(text.find("[BasePlatform/NetHandler2:301]|[Warning]|80 more OnUdpRecvUnkownPacket "
                      "reports suppressed in the last minute.\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("|[Warning]|80 more OnTcpRecvUnkownPacket reports suppressed in the last "
                      "minute.\n"),
            std::string::npos);
}

// A clock reading older than the window's start (taken by another thread
// just before that thread opened the window) stays in the window.
TEST(LogRateLimitTest, AnOlderReadingDoesNotOpenANewWindow) {
  kdl::log::CLogRateLimit::SetClockForTest(FakeMs);
  kdl::test::LogCapture log;
  kdl::log::CLogRateLimit limit;
  for (g_fakeMs = 5000; limit.Admit("test", 1, "x");) {
  }
  g_fakeMs = 4999;
  EXPECT_FALSE(limit.Admit("test", 1, "x"));
  g_fakeMs = 5000 + kdl::log::CLogRateLimit::kWindowMs;
  EXPECT_TRUE(limit.Admit("test", 1, "x"));
  kdl::log::CLogRateLimit::SetClockForTest(nullptr);
  EXPECT_TRUE(log.Has("test", "Warning", "2 more x reports suppressed in the last minute."));
}
