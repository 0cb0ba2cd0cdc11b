// The manager's reply handling: what each reply stores, the routing of
// unexpected codes, closed links, replies while stopped, late replies and
// time-outs, and requests from several threads.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "protocol/ToolPackets.h"
#include "tests/client/ManagerFixture.h"

using kdl::test::Bytes;
using kdl::test::Chars;
using kdl::test::Hex;
using kdl::test::ManagerTest;
using kdl::test::Zeros;

namespace {

// One CPImageBaseInfor record: ImageId, Name (260), Param1, Param2.
Bytes ImageRecord(const char* idLe, const Bytes& name260, const char* params) {
  return Hex(idLe) + name260 + Hex(params);
}

// One CImgSnapshotInfo record (100 bytes).
Bytes Snapshot(uint8_t id, uint8_t base, const Bytes& text64, const char* time12) {
  Bytes b = Hex("00 00 00 00");
  b[0] = id;
  for (uint8_t i = 2; i <= 6; ++i) b = b + Bytes{static_cast<uint8_t>(base + i), 0, 0, 0};
  return b + text64 + Hex(time12);
}

}  // namespace

// ---- stored replies ------------------------------------------------------------

TEST_F(ManagerTest, ImageListReplyRebuildsTheList) {
  StartAndLogin();
  // Two images; the second name has 70 characters and no terminator in reach
  // of the 64-byte target.
  Bytes longName = Bytes(70, 'L') + Zeros(190);
  Bytes reply = Hex("00 00 00 00  06 00 02 80  44 02 00 00  00 00 00 00  04 00 00 00  00 00 00 00"
                    "0A 00 A8 C0"       // ServerIP 0xC0A8000A
                    "50 C3 02 00"       // ServerPort 0x0002C350
                    "02 00 00 00") +    // two records
                ImageRecord("11 00 00 00", Chars("base", 260), "21 00 00 00  31 00 00 00") +
                ImageRecord("12 00 00 00", longName, "22 00 00 00  32 00 00 00");
  ASSERT_EQ(reply.size(), 36u + 2 * 272u);
  Fake().ReplyOnTcp(0x00020006, reply);
  kdl::test::LogCapture log;
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 4);
  EXPECT_EQ(M().GetLastErrCode(), 4);
  EXPECT_TRUE(log.Has("NetManager", "Info",
                      "RetQueryImageList ServerIP:-1062731766, ServerPort:181072"));

  const Kelvane::ImageInfoList& list = M().GetListImageInfo();
  ASSERT_EQ(list.size(), 2u);
  const Kelvane::_IN_IMAGE_INFO& a = list.front();
  const Kelvane::_IN_IMAGE_INFO& b = list.back();
  EXPECT_EQ(a.ServerIP, 0xC0A8000Au);
  EXPECT_EQ(a.ServerPort, 0xC350);
  EXPECT_EQ(a.ImageId, 0x11u);
  EXPECT_EQ(a.Param1, 0x21u);
  EXPECT_STREQ(a.Name, "base");
  EXPECT_EQ(b.ServerIP, 0xC0A8000Au);
  EXPECT_EQ(b.ServerPort, 0xC350);
  EXPECT_EQ(b.ImageId, 0x12u);
  EXPECT_EQ(b.Param1, 0x22u);
  EXPECT_EQ(std::string(b.Name), std::string(63, 'L'));  // cut to 63 and terminated

  // An empty reply empties the list.
  Fake().ReplyOnTcp(0x00020006, Hex("00 00 00 00  06 00 02 80  24 00 00 00  00 00 00 00"
                                    "00 00 00 00  00 00 00 00  01 00 00 7F  90 1F 00 00"
                                    "00 00 00 00"));
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 0);
  EXPECT_TRUE(M().GetListImageInfo().empty());
  EXPECT_TRUE(log.Has("NetManager", "Info", "RetQueryImageList ServerIP:2130706433, ServerPort:8080"));
}

TEST_F(ManagerTest, ImageInfoReplyFillsTheSnapshotMap) {
  StartAndLogin();
  // Image 0x51 (Param3 0x53) with snapshots 7 and 9; image 0x61 with
  // snapshot 7 again (dropped: the first wins) and snapshot 3.
  const Bytes image1 = Hex("51 00 00 00  52 00 00 00  53 00 00 00") + Chars("one", 64) +
                       Hex("54 00 00 00") + Chars("path-1", 260) +
                       Hex("55 00 00 00  56 00 00 00  02 00 00 00") +
                       Snapshot(7, 0x70, Bytes(64, 'S'),  // no terminator
                                "EA 07 0C 00 07 00 09 00 05 00 03 00") +
                       Snapshot(9, 0x90, Chars("nine", 64), "E9 07 01 00 02 00 03 00 04 00 05 00");
  const Bytes image2 = Hex("61 00 00 00  62 00 00 00  63 00 00 00") + Chars("two", 64) +
                       Hex("64 00 00 00") + Chars("path-2", 260) +
                       Hex("65 00 00 00  66 00 00 00  02 00 00 00") +
                       Snapshot(7, 0xA0, Chars("dup", 64), "00 00 00 00 00 00 00 00 00 00 00 00") +
                       Snapshot(3, 0x30, Chars("three", 64), "E8 07 02 00 1D 00 17 00 3B 00 3B 00");
  ASSERT_EQ(image1.size(), 552u);
  Bytes reply = Hex("00 00 00 00  02 00 02 80  6C 04 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                    "02 00 00 00") + image1 + image2;
  ASSERT_EQ(reply.size(), 0x46Cu);
  Fake().ReplyOnTcp(0x00020002, reply);
  kdl::test::LogCapture log;
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_INFO, nullptr), 0);
  EXPECT_EQ(log.Text(), "");  // nothing logged

  const Kelvane::SnapInfoMap& map = M().GetMapSnapInfo();
  ASSERT_EQ(map.size(), 3u);
  const Kelvane::_IN_SNAP_INFO& s7 = map.at(7);
  EXPECT_EQ(s7.ImageId, 0x51u);
  EXPECT_EQ(s7.ImageParam3, 0x53u);
  EXPECT_EQ(s7.SnapshotId, 7u);
  EXPECT_EQ(s7.Param2, 0x72u);
  EXPECT_EQ(s7.Param3, 0x73u);
  EXPECT_EQ(s7.Param4, 0x74u);
  EXPECT_EQ(s7.Param5, 0x75u);
  EXPECT_EQ(s7.Param6, 0x76u);
  EXPECT_EQ(std::string(s7.Text), std::string(64, 'S'));  // read no further than 64 bytes
  EXPECT_EQ(s7.Time.wYear, 2026);
  EXPECT_EQ(s7.Time.wMonth, 12);
  EXPECT_EQ(s7.Time.wDay, 7);
  EXPECT_EQ(s7.Time.wHour, 9);
  EXPECT_EQ(s7.Time.wMinute, 5);
  EXPECT_EQ(s7.Time.wSecond, 3);
  EXPECT_EQ(s7.Time.wDayOfWeek, 0);
  EXPECT_EQ(s7.Time.wMilliseconds, 0);
  EXPECT_EQ(map.at(9).ImageId, 0x51u);
  EXPECT_STREQ(map.at(9).Text, "nine");
  EXPECT_EQ(map.at(3).ImageId, 0x61u);
  EXPECT_EQ(map.at(3).ImageParam3, 0x63u);
  EXPECT_EQ(map.at(3).Time.wDay, 29);
  EXPECT_STREQ(map.at(3).Text, "three");

  // The next reply replaces the map.
  Fake().ReplyOnTcp(0x00020002, Hex("00 00 00 00  02 00 02 80  1C 00 00 00  00 00 00 00"
                                    "00 00 00 00  00 00 00 00  00 00 00 00"));
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_INFO, nullptr), 0);
  EXPECT_TRUE(M().GetMapSnapInfo().empty());
}

TEST_F(ManagerTest, SelectImageReplyFillsTheRecord) {
  StartAndLogin();
  const uint32_t imageId = 5;
  kdl::test::LogCapture log;
  // A full 256-byte path without terminator and a success byte of 2.
  Fake().ReplyOnTcp(0x00020005, Hex("00 00 00 00  05 00 02 80  19 01 00 00  00 00 00 00"
                                    "06 00 00 00  00 00 00 00  02") + Bytes(256, 'P'));
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_SELECT_IMAGE, const_cast<uint32_t*>(&imageId)), 6);
  EXPECT_TRUE(M().GetSelectImageInfo().bSucc);
  EXPECT_EQ(std::string(M().GetSelectImageInfo().Path), std::string(256, 'P'));
  EXPECT_TRUE(log.Has("NetManager", "Info", "RetSelectImageInfo bSucc:1"));

  Fake().ReplyOnTcp(0x00020005, Hex("00 00 00 00  05 00 02 80  19 01 00 00  00 00 00 00"
                                    "00 00 00 00  00 00 00 00  00") + Chars("D:\\x", 256));
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_SELECT_IMAGE, const_cast<uint32_t*>(&imageId)), 0);
  EXPECT_FALSE(M().GetSelectImageInfo().bSucc);
  EXPECT_STREQ(M().GetSelectImageInfo().Path, "D:\\x");
  EXPECT_TRUE(log.Has("NetManager", "Info", "RetSelectImageInfo bSucc:0"));
}

TEST_F(ManagerTest, DiscoverReplyWithoutRecordStoresNothing) {
  StartAndDiscover();
  kdl::test::LogCapture log;
  Fake().DeliverUdpPacket(M().UdpLink(),
                          Hex("00 00 00 00  00 00 02 80  1C 00 00 00  00 00 00 00"
                              "00 00 00 00  00 00 00 00  00 00 00 00"),
                          "10.9.9.9", 800);
  Fake().WaitIdle();
  EXPECT_EQ(M().GetDiscoverInfo().ServerIP, 0x0A000005u);
  EXPECT_EQ(M().GetDiscoverInfo().ServerPort, 0x1F90);
  EXPECT_TRUE(log.Has("NetManager", "Warning", "Discover Server Pack without record from 10.9.9.9."));
}

// ---- unexpected codes -------------------------------------------------------------

TEST_F(ManagerTest, UnhandledCodesAreLoggedAndDropped) {
  StartAndLogin();
  kdl::test::LogCapture log;
  // 0x80020007 is not built by the factory, so it is handed to the manager
  // directly, as the receive path would hand over any packet.
  TCountedPtr<PacketZVDiskless::CPacketHead> packet(new PacketZVDiskless::CPacketHead());
  packet->Type = 0x80020007;
  packet->Length = 24;
  M().OnTcpRecvPacket(M().TcpLink(), packet);
  EXPECT_TRUE(log.Has("NetManager", "Warning", "TcpRecvData cann't parse package type:-2147352569."));

  // A discover reply on TCP and a login reply on UDP.
  Fake().DeliverTcpPacket(M().TcpLink(), kdl::test::DiscoverReply());
  Fake().WaitIdle();
  Fake().DeliverUdpPacket(M().UdpLink(), kdl::test::LoginReply(3), "10.0.0.5", 800);
  Fake().WaitIdle();
  EXPECT_TRUE(log.Has("NetManager", "Warning", "TcpRecvData cann't parse package type:-2147352576."));
  EXPECT_TRUE(log.Has("NetManager", "Warning", "UdpRecvData cann't parse package type:-2147352575."));
  EXPECT_EQ(M().GetLastErrCode(), 0);
  EXPECT_EQ(M().GetDiscoverInfo().ServerIP, 0x0A000005u);
}

// ---- closed links ---------------------------------------------------------------------

namespace {
std::atomic<int> g_closedCalls{0};
void CountClosed() { g_closedCalls.fetch_add(1); }
}  // namespace

TEST_F(ManagerTest, CloseOfAnotherLinkChangesNothing) {
  g_closedCalls = 0;
  Fake().SetNextTcpHandle(13);
  StartAndLogin(CountClosed);
  ASSERT_EQ(M().TcpLink(), 13u);
  kdl::test::LogCapture log;
  Fake().DeliverTcpClosed(12);
  Fake().WaitIdle();
  EXPECT_TRUE(log.Has("NetManager", "Info", "TcpClosed hLink:12; m_hTcpLink:13."));
  EXPECT_EQ(M().TcpLink(), 13u);
  EXPECT_TRUE(M().IsTcpConnected());
  EXPECT_TRUE(Fake().Snapshot().tcpDestroyed.empty());
  EXPECT_EQ(g_closedCalls.load(), 0);
}

TEST_F(ManagerTest, CloseOfTheLinkTellsTheHostAndLoginReconnects) {
  g_closedCalls = 0;
  Fake().SetNextTcpHandle(13);
  StartAndLogin(CountClosed);
  kdl::test::LogCapture log;
  Fake().DeliverTcpClosed(13);
  Fake().WaitIdle();
  EXPECT_TRUE(log.Has("NetManager", "Info", "TcpClosed hLink:13; m_hTcpLink:13."));
  EXPECT_EQ(g_closedCalls.load(), 1);
  EXPECT_EQ(M().TcpLink(), kInvalidHandle);
  EXPECT_FALSE(M().IsTcpConnected());
  EXPECT_EQ(Fake().Snapshot().tcpDestroyed, std::vector<uint32_t>{13});

  // A close is reported once.
  Fake().DeliverTcpClosed(13);
  Fake().WaitIdle();
  EXPECT_EQ(g_closedCalls.load(), 1);

  Fake().ReplyOnTcp(0x00020001, kdl::test::LoginReply(0));
  char name[] = "tool";
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), 0);
  EXPECT_EQ(M().TcpLink(), 14u);
}

TEST_F(ManagerTest, UdpClose) {
  StartAndDiscover();
  const uint32_t udp = M().UdpLink();
  kdl::test::LogCapture log;
  Fake().DeliverUdpClosed(udp + 1);
  Fake().WaitIdle();
  EXPECT_EQ(M().UdpLink(), udp);
  Fake().DeliverUdpClosed(udp);
  Fake().WaitIdle();
  EXPECT_TRUE(log.Has("NetManager", "Info", "UdpClosed:" + std::to_string(udp + 1) + "."));
  EXPECT_TRUE(log.Has("NetManager", "Info", "UdpClosed:" + std::to_string(udp) + "."));
  EXPECT_EQ(M().UdpLink(), kInvalidHandle);
  EXPECT_EQ(Fake().Snapshot().udpDestroyed, std::vector<uint32_t>{udp});
}

// ---- stopped manager ----------------------------------------------------------------------

TEST_F(ManagerTest, StoppedManagerDropsReplies) {
  kdl::test::LogCapture log;
  // Before the first start, straight into the registered handler.
  const Bytes discover = kdl::test::DiscoverReply();
  UdpDataEvent ev{discover.data(), static_cast<uint32_t>(discover.size()), "10.0.0.5", 800};
  TransportEventHead head{UDP_EVENT_DATA, 1};
  CNetProtocolHandler::UdpEventCallback(&head, &ev);
  EXPECT_EQ(M().GetDiscoverInfo().ServerIP, 0u);

  ASSERT_TRUE(M().StartServer(nullptr));  // registers the callbacks with the double
  M().StopServer();
  Fake().DeliverTcpPacket(1, kdl::test::LoginReply(5));
  Fake().DeliverUdpPacket(1, kdl::test::DiscoverReply(), "10.0.0.5", 800);
  Fake().WaitIdle();
  EXPECT_EQ(M().GetClientInfo().ClientType, 0);
  EXPECT_EQ(M().GetDiscoverInfo().ServerIP, 0u);
  EXPECT_EQ(M().GetLastErrCode(), 1);
  // Dropped without a line of the manager's (before the first start the
  // handler still reads in network order and reports the bytes itself).
  EXPECT_EQ(log.Text().find("[NetManager:"), std::string::npos) << log.Text();
}

TEST_F(ManagerTest, StopEmptiesContainersButKeepsRecords) {
  StartAndLogin();
  Fake().ReplyOnTcp(0x00020006, Hex("00 00 00 00  06 00 02 80  44 02 00 00  00 00 00 00"
                                    "00 00 00 00  00 00 00 00  01 00 00 0A  90 1F 00 00"
                                    "02 00 00 00") +
                                    ImageRecord("01 00 00 00", Chars("a", 260), "01 00 00 00  00 00 00 00") +
                                    ImageRecord("02 00 00 00", Chars("b", 260), "01 00 00 00  00 00 00 00"));
  ASSERT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 0);
  ASSERT_EQ(M().GetListImageInfo().size(), 2u);
  const Bytes snap = Snapshot(4, 0, Chars("s", 64), "00 00 00 00 00 00 00 00 00 00 00 00");
  Fake().ReplyOnTcp(0x00020002, Hex("00 00 00 00  02 00 02 80  E0 01 00 00  00 00 00 00"
                                    "00 00 00 00  00 00 00 00  01 00 00 00") +
                                    Hex("01 00 00 00") + Zeros(344) + Hex("01 00 00 00") + snap);
  ASSERT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_INFO, nullptr), 0);
  ASSERT_EQ(M().GetMapSnapInfo().size(), 1u);
  const uint32_t imageId = 1;
  Fake().ReplyOnTcp(0x00020005, Hex("00 00 00 00  05 00 02 80  19 01 00 00  00 00 00 00"
                                    "00 00 00 00  00 00 00 00  01") + Chars("p", 256));
  ASSERT_EQ(M().SendAskPack(KELVANE_ASK_SELECT_IMAGE, const_cast<uint32_t*>(&imageId)), 0);

  M().StopServer();
  EXPECT_TRUE(M().GetListImageInfo().empty());
  EXPECT_TRUE(M().GetMapSnapInfo().empty());
  EXPECT_EQ(M().GetClientInfo().ClientType, 7);
  EXPECT_EQ(M().GetDiscoverInfo().ServerIP, 0x0A000005u);
  EXPECT_TRUE(M().GetSelectImageInfo().bSucc);
  EXPECT_STREQ(M().GetSelectImageInfo().Path, "p");
  EXPECT_EQ(M().GetLastErrCode(), 0);
  EXPECT_STREQ(M().LocalIP(), "10.77.0.2");
}

TEST_F(ManagerTest, LeftoverReplyOfAnotherTypeDoesNotAnswerTheWaitingRequest) {
  StartAndLogin();
  // A login reply left over from an earlier request arrives first, the
  // image-list reply after it: the list request must get the list's result.
  Fake().ReplyOnTcp(0x00020006, kdl::test::LoginReply(5), /*delayMs=*/20);
  Fake().DeliverTcpPacket(M().TcpLink(),
                          Hex("00 00 00 00  06 00 02 80  24 00 00 00  00 00 00 00"
                              "08 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                              "00 00 00 00"),
                          /*delayMs=*/300);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 8);
  EXPECT_EQ(M().GetLastErrCode(), 8);
  // The leftover reply's record is still stored.
  EXPECT_EQ(M().GetClientInfo().ExtInfo, 0x01020304);
}

// Exactly one reply per request changes the store: the first of the awaited
// type. Duplicates, replies of another type and unsolicited ones are dropped.
TEST_F(ManagerTest, OnlyTheAwaitedReplyChangesTheStore) {
  Fake().SetNextUdpHandle(101);
  ASSERT_TRUE(M().StartServer(nullptr));
  kdl::test::LogCapture log;
  // Two servers answer the discovery: 10.0.0.5 port 9000 first.
  const Bytes discoverHead =
      Hex("00 00 00 00  00 00 02 80  20 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
          "01 00 00 00");
  Fake().ReplyOnUdp(0x00020000, discoverHead + Hex("28 23 00 00"), "10.0.0.5", 800);
  Fake().DeliverUdpPacket(101, discoverHead + Hex("29 23 00 00"), "10.0.0.6", 800, 100);
  ASSERT_EQ(M().SendAskPack(KELVANE_ASK_DISCOVER, nullptr), 0);
  Fake().WaitIdle();
  EXPECT_EQ(M().GetDiscoverInfo().ServerIP, 0x0A000005u);
  EXPECT_EQ(M().GetDiscoverInfo().ServerPort, 9000);
  EXPECT_TRUE(log.Has("NetManager", "Warning", "Reply type:0x80020000 not awaited, dropped."));

  // The login goes to the first server; its reply comes twice.
  Fake().ReplyOnTcp(0x00020001, kdl::test::LoginReply(0));
  const Bytes otherLogin =
      Hex("00 00 00 00  01 00 02 80  24 00 00 00  00 00 00 00  09 00 00 00  00 00 00 00"
          "09 00 00 00  09 00 00 00  09 00 00 00");
  Fake().DeliverTcpPacket(1, otherLogin, 100);
  char name[] = "tool";
  ASSERT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), 0);
  Fake().WaitIdle();
  ASSERT_EQ(Fake().Snapshot().connects.size(), 1u);
  EXPECT_EQ(Fake().Snapshot().connects[0].ip, "10.0.0.5");
  EXPECT_EQ(Fake().Snapshot().connects[0].port, 9000u);
  EXPECT_EQ(M().GetClientInfo().ClientType, 7);
  EXPECT_EQ(M().GetLastErrCode(), 0);

  // A list request: a login reply comes first (wrong type), then the list,
  // then the list again with other images while the host reads the first.
  const Bytes listHead = Hex("00 00 00 00  06 00 02 80  34 01 00 00  00 00 00 00"
                             "00 00 00 00  00 00 00 00  01 00 00 0A  28 23 00 00  01 00 00 00");
  Fake().DeliverTcpPacket(M().TcpLink(), otherLogin, 0);
  Fake().ReplyOnTcp(0x00020006, listHead + ImageRecord("01 00 00 00", Chars("a", 260),
                                                       "01 00 00 00  00 00 00 00"), 50);
  Fake().DeliverTcpPacket(M().TcpLink(),
                          listHead + ImageRecord("02 00 00 00", Chars("b", 260),
                                                 "01 00 00 00  00 00 00 00"), 150);
  ASSERT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 0);
  const Kelvane::ImageInfoList& list = M().GetListImageInfo();
  Fake().WaitIdle();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list.front().ImageId, 1u);
  EXPECT_STREQ(list.front().Name, "a");
  EXPECT_EQ(M().GetClientInfo().ClientType, 7);

  // Unsolicited replies while no request waits.
  Fake().DeliverTcpPacket(M().TcpLink(), otherLogin);
  Fake().DeliverTcpPacket(M().TcpLink(), kdl::test::HeadReply("03 00 02 80", 4));
  Fake().WaitIdle();
  EXPECT_EQ(M().GetClientInfo().ClientType, 7);
  EXPECT_EQ(M().GetLastErrCode(), 0);
  EXPECT_TRUE(log.Has("NetManager", "Warning", "Reply type:0x80020003 not awaited, dropped."));
}

// A request whose link closes, or that StopServer interrupts, returns 1 at
// once instead of waiting out its 3000 ms.
TEST_F(ManagerTest, ClosedLinkOrStopEndsTheWaitAtOnce) {
  StartAndLogin();
  kdl::test::LogCapture log;
  const auto quick = std::chrono::milliseconds(2000);
  Fake().DeliverTcpClosed(M().TcpLink(), 100);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, quick);
  EXPECT_EQ(M().GetLastErrCode(), 1);
  EXPECT_FALSE(log.Has("NetManager", "Error", "Wait Query Image List Pack Overtime."));

  Fake().ReplyOnTcp(0x00020001, kdl::test::LoginReply(0));
  char name[] = "tool";
  ASSERT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), 0);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    M().StopServer();
  });
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_INFO, nullptr), 1);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, quick);
  EXPECT_FALSE(M().IsStarted());
  EXPECT_FALSE(log.Has("NetManager", "Error", "Wait Query Image Info Pack Overtime."));
}

// A request watches for its reply on the CPU for a while, then sleeps on the
// event. Replies that come at once and replies that come after a pause, in
// turn, each give their own request its own result.
TEST_F(ManagerTest, RepliesAtOnceAndAfterAPauseGiveTheirOwnResults) {
  StartAndLogin();
  kdl::test::LogCapture log;
  char name[] = "tool";
  for (uint8_t round = 0; round < 40; ++round) {
    const uint8_t err = static_cast<uint8_t>(round % 7);
    Fake().ReplyOnTcp(0x00020001, kdl::test::LoginReply(err), /*delayMs=*/round % 3 == 2 ? 5 : 0);
    ASSERT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), err) << "round " << int(round);
    EXPECT_EQ(M().GetLastErrCode(), err);
  }
  EXPECT_FALSE(log.Has("NetManager", "Error", "Wait Login Server Pack Overtime."));
  EXPECT_FALSE(log.Has("NetManager", "Warning", "Reply type:0x80020001 not awaited, dropped."));
}

// ---- time-outs and late replies (each waits the real 3000 ms) --------------------------------

TEST_F(ManagerTest, LoginTimesOutAndTheLateReplyIsDropped) {
  StartAndDiscover();
  Fake().ReplyOnTcp(0x00020001, kdl::test::LoginReply(5), /*delayMs=*/3400);
  kdl::test::LogCapture log;
  char name[] = "tool";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), 1);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(2900));
  EXPECT_EQ(M().GetLastErrCode(), 1);
  EXPECT_TRUE(log.Has("NetManager", "Error", "Wait Login Server Pack Overtime."));
  EXPECT_EQ(M().GetClientInfo().ClientType, 0);

  // The late reply changes neither the record nor the result: the link owed
  // it to the request that timed out.
  Fake().WaitIdle();
  EXPECT_EQ(M().GetClientInfo().ClientType, 0);
  EXPECT_EQ(M().GetLastErrCode(), 1);
  EXPECT_TRUE(log.Has("NetManager", "Warning",
                      "Reply type:0x80020001 of a request that timed out, dropped."));
  EXPECT_FALSE(log.Has("NetManager", "Warning", "Reply type:0x80020001 not awaited, dropped."));
  // Owed once, dropped once: a second copy is merely not awaited.
  Fake().DeliverTcpPacket(M().TcpLink(), kdl::test::LoginReply(6));
  Fake().WaitIdle();
  EXPECT_TRUE(log.Has("NetManager", "Warning", "Reply type:0x80020001 not awaited, dropped."));
  // Nor does it end the next request's wait.
  Fake().ReplyOnTcp(0x00020006, Hex("00 00 00 00  06 00 02 80  24 00 00 00  00 00 00 00"
                                    "08 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                                    "00 00 00 00"), /*delayMs=*/50);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 8);
}

TEST_F(ManagerTest, DiscoverTimesOut) {
  ASSERT_TRUE(M().StartServer(nullptr));
  kdl::test::LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_DISCOVER, nullptr), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2900));
  EXPECT_TRUE(log.Has("NetManager", "Error", "Wait Discover Server Pack Overtime."));
  EXPECT_EQ(M().GetLastErrCode(), 1);
  EXPECT_EQ(M().GetDiscoverInfo().ServerIP, 0u);
}

// ---- several threads ----------------------------------------------------------------------------

TEST_F(ManagerTest, ConcurrentRequestsAreSerialised) {
  StartAndLogin();
  // Each reply comes 60 ms after its request; both requests start together.
  Fake().ReplyOnTcp(0x00020006, Hex("00 00 00 00  06 00 02 80  24 00 00 00  00 00 00 00"
                                    "0B 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                                    "00 00 00 00"), 60, -1);
  Fake().ReplyOnTcp(0x00020005, Hex("00 00 00 00  05 00 02 80  19 01 00 00  00 00 00 00"
                                    "16 00 00 00  00 00 00 00  01") + Chars("p", 256), 60, -1);
  for (int round = 0; round < 5; ++round) {
    std::atomic<bool> go{false};
    int listResult = -1, selectResult = -1;
    std::thread a([&] {
      while (!go) std::this_thread::yield();
      listResult = M().SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr);
    });
    std::thread b([&] {
      while (!go) std::this_thread::yield();
      uint32_t id = 1;
      selectResult = M().SendAskPack(KELVANE_ASK_SELECT_IMAGE, &id);
    });
    go = true;
    a.join();
    b.join();
    EXPECT_EQ(listResult, 11);
    EXPECT_EQ(selectResult, 22);
  }
  // On the wire every request was answered before the next one went out.
  std::vector<std::string> t = Fake().Snapshot().timeline;
  std::vector<std::string> tail(t.end() - 20, t.end());
  for (size_t i = 0; i < tail.size(); i += 2) {
    ASSERT_EQ(tail[i].substr(0, 5), "send ") << i;
    EXPECT_EQ(tail[i + 1], "reply 8" + tail[i].substr(6)) << i;
  }
}

namespace {
CNetManager* g_manager = nullptr;
std::atomic<int> g_reloginResult{-1};
void LoginAgain() {
  char name[] = "again";
  g_reloginResult = g_manager->SendAskPack(KELVANE_ASK_LOGIN, name);
}
}  // namespace

TEST_F(ManagerTest, LoginFromTheCloseCallbackReconnects) {
  g_manager = &M();
  g_reloginResult = -1;
  Fake().SetNextTcpHandle(1);
  StartAndLogin(LoginAgain);
  Fake().ReplyOnTcp(0x00020001, kdl::test::LoginReply(0), 10);
  Fake().DeliverTcpClosed(1);
  Fake().WaitIdle();
  EXPECT_EQ(g_reloginResult.load(), 0);
  EXPECT_EQ(M().TcpLink(), 2u);
  EXPECT_TRUE(M().IsTcpConnected());
  kdl::test::fake::Journal j = Fake().Snapshot();
  ASSERT_EQ(j.tcpSent.size(), 2u);
  EXPECT_EQ(j.tcpSent[1].handle, 2u);
  EXPECT_EQ(j.tcpSent[1].bytes,
            Hex("00 00 00 00  01 00 02 00  38 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                "61 67 61 69 6E") + Zeros(27));
  EXPECT_EQ(j.tcpDestroyed, std::vector<uint32_t>{1});
}

TEST_F(ManagerTest, StopAndStartWhileRepliesArrive) {
  StartAndLogin();
  kdl::test::LogCapture log;
  const uint32_t link = M().TcpLink();
  std::atomic<bool> done{false};
  std::thread flood([&] {
    while (!done) {
      Fake().DeliverTcpPacket(link, kdl::test::LoginReply(0));
      Fake().DeliverTcpPacket(link, kdl::test::HeadReply("03 00 02 80", 0));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < 30; ++i) {
    M().StopServer();
    ASSERT_TRUE(M().StartServer(nullptr));
    EXPECT_EQ(M().SendAskPack(KELVANE_ASK_HEARTBEAT, nullptr), 1);  // no link after the stop
  }
  done = true;
  flood.join();
  Fake().WaitIdle();
  M().StopServer();
  EXPECT_FALSE(M().IsStarted());
}
