// The manager's life cycle and its requests: what goes on the wire for every
// request type, the transport calls around it, the results and the log lines.
#include <cstring>
#include <string>

#include "tests/client/ManagerFixture.h"

using kdl::test::Bytes;
using kdl::test::Chars;
using kdl::test::Hex;
using kdl::test::ManagerTest;
using kdl::test::Zeros;

namespace {

int g_firstClosed = 0;
int g_secondClosed = 0;
void FirstClosed() { ++g_firstClosed; }
void SecondClosed() { ++g_secondClosed; }

}  // namespace

// ---- text and numbers ---------------------------------------------------------

TEST(IpTextTest, StringToIp) {
  EXPECT_EQ(CNetManager::StringToIp("192.168.0.10"), 0xC0A8000Au);
  EXPECT_EQ(CNetManager::StringToIp("10.0.0.5"), 0x0A000005u);
  EXPECT_EQ(CNetManager::StringToIp("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(CNetManager::StringToIp("1.2.3"), 0u);
  EXPECT_EQ(CNetManager::StringToIp("1.2.3.4.5"), 0u);
  EXPECT_EQ(CNetManager::StringToIp("1..2.3.4"), 0x01020304u);  // empty piece skipped
  EXPECT_EQ(CNetManager::StringToIp("1.2.3.4."), 0x01020304u);
  EXPECT_EQ(CNetManager::StringToIp("300.1.1.1"), 0x2C010101u);  // low 8 bits
  EXPECT_EQ(CNetManager::StringToIp(".1.2.3.4"), 0x00020304u);   // first piece ".1" is 0
  EXPECT_EQ(CNetManager::StringToIp(" 7.+8.-1.9x"), 0x0708FF09u);  // read like atol
  EXPECT_EQ(CNetManager::StringToIp("a.b.c.d"), 0u);
  EXPECT_EQ(CNetManager::StringToIp("99999999999.0.0.1"), 0xFF000001u);  // saturates
  EXPECT_EQ(CNetManager::StringToIp(""), 0u);
  EXPECT_EQ(CNetManager::StringToIp("...."), 0u);
  EXPECT_EQ(CNetManager::StringToIp(nullptr), 0u);
}

TEST(IpTextTest, IpToString) {
  EXPECT_EQ(CNetManager::IpToString(0xC0A8000A), "192.168.0.10");
  EXPECT_EQ(CNetManager::IpToString(0), "0.0.0.0");
  EXPECT_EQ(CNetManager::IpToString(0xFFFFFFFF), "255.255.255.255");
  EXPECT_EQ(CNetManager::StringToIp(CNetManager::IpToString(0x7F000001).c_str()), 0x7F000001u);
}

// ---- start and stop ---------------------------------------------------------------

TEST_F(ManagerTest, StartPicksAddressAndInitialisesOnce) {
  EXPECT_EQ(M().GetLastErrCode(), 1);  // no result yet
  ASSERT_TRUE(M().StartServer(FirstClosed));
  EXPECT_STREQ(M().LocalIP(), "10.77.0.2");
  EXPECT_TRUE(M().IsStarted());
  EXPECT_FALSE(M().NetOrder());
  // Started already: true, and the first callback stays.
  EXPECT_TRUE(M().StartServer(SecondClosed));
  kdl::test::fake::Journal j = Fake().Snapshot();
  EXPECT_EQ(j.tcpInit, 1);
  EXPECT_EQ(j.udpInit, 1);

  g_firstClosed = g_secondClosed = 0;
  Fake().ReplyOnUdp(0x00020000, kdl::test::DiscoverReply(), "10.0.0.5", 800);
  ASSERT_EQ(M().SendAskPack(KELVANE_ASK_DISCOVER, nullptr), 0);
  Fake().ReplyOnTcp(0x00020001, kdl::test::LoginReply(0));
  char name[] = "tool";
  ASSERT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), 0);
  Fake().DeliverTcpClosed(M().TcpLink());
  Fake().WaitIdle();
  EXPECT_EQ(g_firstClosed, 1);
  EXPECT_EQ(g_secondClosed, 0);
}

TEST_F(ManagerTest, StartWithoutAddressFailsQuietly) {
  kdl::plat::SetNetworkTablesSourceForTest([] { return kdl::test::TablesWithoutMatch(); });
  kdl::test::LogCapture log;
  EXPECT_FALSE(M().StartServer(nullptr));
  EXPECT_FALSE(M().IsStarted());
  EXPECT_STREQ(M().LocalIP(), "");
  kdl::test::fake::Journal j = Fake().Snapshot();
  EXPECT_EQ(j.tcpInit, 0);
  EXPECT_EQ(j.udpInit, 0);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_HEARTBEAT, nullptr), 1);
  EXPECT_EQ(log.Text(), "");
}

// A start that fails part-way leaves no transport running.
TEST_F(ManagerTest, FailedStartUndoesWhatItDid) {
  kdl::test::LogCapture log;
  Fake().SetFailInit(/*tcp=*/false, /*udp=*/true);
  EXPECT_FALSE(M().StartServer(nullptr));
  EXPECT_EQ(Fake().Snapshot().tcpUninit, 1);
  EXPECT_TRUE(log.Has("NetManager", "Error", "UdpInit failed."));
  Fake().SetFailInit(/*tcp=*/true, /*udp=*/false);
  EXPECT_FALSE(M().StartServer(nullptr));
  EXPECT_EQ(Fake().Snapshot().udpInit, 1);  // not tried once TCP failed
  EXPECT_TRUE(log.Has("NetManager", "Error", "TcpInit failed."));
  EXPECT_FALSE(M().IsStarted());
}

TEST_F(ManagerTest, RestartKeepsAnEarlierAddress) {
  ASSERT_TRUE(M().StartServer(nullptr));
  M().StopServer();
  kdl::plat::SetNetworkTablesSourceForTest([] { return kdl::test::TablesWithoutMatch(); });
  EXPECT_TRUE(M().StartServer(nullptr));
  EXPECT_STREQ(M().LocalIP(), "10.77.0.2");
  EXPECT_EQ(Fake().Snapshot().tcpInit, 2);
}

TEST_F(ManagerTest, StopWithoutStart) {
  M().StopServer();
  kdl::test::fake::Journal j = Fake().Snapshot();
  EXPECT_EQ(j.tcpUninit, 1);
  EXPECT_EQ(j.udpUninit, 1);
  EXPECT_TRUE(j.tcpDestroyed.empty());
  EXPECT_TRUE(j.udpDestroyed.empty());
  EXPECT_TRUE(M().GetListImageInfo().empty());
  EXPECT_TRUE(M().GetMapSnapInfo().empty());
  EXPECT_FALSE(M().IsStarted());
}

TEST_F(ManagerTest, StopReleasesLinksAndRestartWorks) {
  StartAndLogin();
  const uint32_t tcp = M().TcpLink();
  const uint32_t udp = M().UdpLink();
  M().StopServer();
  kdl::test::fake::Journal j = Fake().Snapshot();
  EXPECT_EQ(j.tcpDestroyed, std::vector<uint32_t>{tcp});
  EXPECT_EQ(j.udpDestroyed, std::vector<uint32_t>{udp});
  EXPECT_EQ(M().TcpLink(), kInvalidHandle);
  EXPECT_EQ(M().UdpLink(), kInvalidHandle);
  EXPECT_FALSE(M().IsTcpConnected());
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_HEARTBEAT, nullptr), 1);

  // Started again, the old discovery still serves the login.
  ASSERT_TRUE(M().StartServer(nullptr));
  Fake().ReplyOnTcp(0x00020001, kdl::test::LoginReply(0));
  char name[] = "tool";
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), 0);
  EXPECT_EQ(Fake().Snapshot().connects.back().ip, "10.0.0.5");
}

// ---- dispatch ---------------------------------------------------------------------

TEST_F(ManagerTest, NothingBeforeStart) {
  kdl::test::LogCapture log;
  char param[300] = "x";
  for (uint32_t type = 0; type <= 10; ++type)
    EXPECT_EQ(M().SendAskPack(type, param), 1) << "type " << type;
  EXPECT_EQ(log.Text(), "");
  kdl::test::fake::Journal j = Fake().Snapshot();
  EXPECT_TRUE(j.tcpSent.empty());
  EXPECT_TRUE(j.udpSent.empty());
  EXPECT_TRUE(j.tcpCreated.empty());
}

TEST_F(ManagerTest, UnknownTypesAreLogged) {
  ASSERT_TRUE(M().StartServer(nullptr));
  kdl::test::LogCapture log;
  EXPECT_EQ(M().SendAskPack(0, nullptr), 1);
  EXPECT_EQ(M().SendAskPack(10, nullptr), 1);
  EXPECT_EQ(M().SendAskPack(0xFFFFFFFF, nullptr), 1);
  EXPECT_TRUE(log.Has("NetManager", "Warning", "SendAskPack cann't ask package type:0."));
  EXPECT_TRUE(log.Has("NetManager", "Warning", "SendAskPack cann't ask package type:10."));
  EXPECT_TRUE(log.Has("NetManager", "Warning", "SendAskPack cann't ask package type:-1."));
  EXPECT_EQ(M().GetLastErrCode(), 1);
}

TEST_F(ManagerTest, MissingParameterIsRefused) {
  StartAndLogin();
  kdl::test::LogCapture log;
  const size_t sent = Fake().Snapshot().tcpSent.size();
  for (uint32_t type : {2u, 5u, 6u, 7u, 8u}) {
    EXPECT_EQ(M().SendAskPack(type, nullptr), 1);
    EXPECT_TRUE(log.Has("NetManager", "Warning",
                        "SendAskPack type:" + std::to_string(type) + " without parameter."));
  }
  EXPECT_EQ(Fake().Snapshot().tcpSent.size(), sent);
}

// ---- discovery ---------------------------------------------------------------------

TEST_F(ManagerTest, DiscoverBroadcastsTheRequest) {
  ASSERT_TRUE(M().StartServer(nullptr));
  Fake().SetNextUdpHandle(40);
  Fake().ReplyOnUdp(0x00020000, kdl::test::DiscoverReply(), "10.0.0.5", 800);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_DISCOVER, nullptr), 0);

  kdl::test::fake::Journal j = Fake().Snapshot();
  ASSERT_EQ(j.udpCreated.size(), 1u);
  EXPECT_EQ(j.udpCreated[0].localIP, "10.77.0.2");
  EXPECT_EQ(j.udpCreated[0].arg1, 0u);
  EXPECT_EQ(j.udpCreated[0].arg2, 32u);
  ASSERT_EQ(j.udpSent.size(), 1u);
  EXPECT_EQ(j.udpSent[0].handle, 40u);
  EXPECT_EQ(j.udpSent[0].destIP, "255.255.255.255");
  EXPECT_EQ(j.udpSent[0].destPort, 800u);
  EXPECT_EQ(j.udpSent[0].flags, 32u);
  EXPECT_EQ(j.udpSent[0].bytes,
            Hex("00 00 00 00  00 00 02 00  18 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"));

  EXPECT_EQ(M().GetDiscoverInfo().ServerIP, 0x0A000005u);
  EXPECT_EQ(M().GetDiscoverInfo().ServerPort, 0x1F90);
  EXPECT_EQ(M().GetLastErrCode(), 1);  // discovery leaves it alone

  // A second discovery replaces the endpoint.
  Fake().ReplyOnUdp(0x00020000, kdl::test::DiscoverReply(), "10.0.0.6", 800);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_DISCOVER, nullptr), 0);
  j = Fake().Snapshot();
  EXPECT_EQ(j.udpDestroyed, std::vector<uint32_t>{40});
  EXPECT_EQ(M().UdpLink(), 41u);
  EXPECT_EQ(M().GetDiscoverInfo().ServerIP, 0x0A000006u);
}

TEST_F(ManagerTest, DiscoverFailures) {
  ASSERT_TRUE(M().StartServer(nullptr));
  kdl::test::LogCapture log;
  Fake().SetFailUdpCreate(true);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_DISCOVER, nullptr), 1);
  EXPECT_TRUE(log.Has("NetManager", "Error", "Udp Create failed."));
  EXPECT_EQ(M().UdpLink(), kInvalidHandle);
  EXPECT_TRUE(Fake().Snapshot().udpSent.empty());

  Fake().SetFailUdpCreate(false);
  Fake().SetRefuseUdpSend(true);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_DISCOVER, nullptr), 1);
  EXPECT_TRUE(log.Has("NetManager", "Error", "Send Discover Server Pack failed."));
  EXPECT_FALSE(log.Has("NetManager", "Error", "Wait Discover Server Pack Overtime."));
}

// ---- login ---------------------------------------------------------------------------

TEST_F(ManagerTest, LoginConnectsAndSendsTheName) {
  StartAndDiscover();
  Fake().SetNextTcpHandle(13);
  Fake().ReplyOnTcp(0x00020001, kdl::test::LoginReply(5));
  kdl::test::LogCapture log;
  char name[] = "tool";
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), 5);
  EXPECT_EQ(M().GetLastErrCode(), 5);

  kdl::test::fake::Journal j = Fake().Snapshot();
  ASSERT_EQ(j.tcpCreated.size(), 1u);
  EXPECT_EQ(j.tcpCreated[0].localIP, "10.77.0.2");
  EXPECT_EQ(j.tcpCreated[0].arg1, 0u);
  ASSERT_EQ(j.connects.size(), 1u);
  EXPECT_EQ(j.connects[0].link, 13u);
  EXPECT_EQ(j.connects[0].ip, "10.0.0.5");
  EXPECT_EQ(j.connects[0].port, 8080u);
  ASSERT_EQ(j.tcpSent.size(), 1u);
  EXPECT_EQ(j.tcpSent[0].handle, 13u);
  EXPECT_EQ(j.tcpSent[0].flags, 0u);
  EXPECT_EQ(j.tcpSent[0].bytes,
            Hex("00 00 00 00  01 00 02 00  38 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                "74 6F 6F 6C") + Zeros(28));
  EXPECT_TRUE(log.Has("NetManager", "Info", "TcpCreate m_hTcpLink:13"));
  EXPECT_TRUE(log.Has("NetManager", "Info", "TcpConnect m_hTcpLink: 13, IP: 10.0.0.5, Port: 8080"));
  EXPECT_TRUE(log.Has("NetManager", "Info", "RetLoginServer ClientType:7, ManagerEnable:1"));
  EXPECT_EQ(M().GetClientInfo().ClientType, 7);
  EXPECT_EQ(M().GetClientInfo().ManagerEnable, 1);
  EXPECT_EQ(M().GetClientInfo().ExtInfo, 0x01020304);
  EXPECT_TRUE(M().IsTcpConnected());

  // Connected: the next login goes out on the same link.
  Fake().ReplyOnTcp(0x00020001, kdl::test::LoginReply(0));
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), 0);
  j = Fake().Snapshot();
  EXPECT_EQ(j.tcpCreated.size(), 1u);
  EXPECT_EQ(j.tcpSent.size(), 2u);
  EXPECT_EQ(M().GetLastErrCode(), 0);
}

TEST_F(ManagerTest, LongToolNameFillsTheFieldWithoutTerminator) {
  StartAndDiscover();
  Fake().ReplyOnTcp(0x00020001, kdl::test::LoginReply(0));
  char name[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";  // 40 characters
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), 0);
  kdl::test::fake::Journal j = Fake().Snapshot();
  ASSERT_EQ(j.tcpSent.size(), 1u);
  EXPECT_EQ(j.tcpSent[0].bytes,
            Hex("00 00 00 00  01 00 02 00  38 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                "41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50"
                "51 52 53 54 55 56 57 58  59 5A 30 31 32 33 34 35"));
}

TEST_F(ManagerTest, LoginConnectFailures) {
  StartAndDiscover();
  kdl::test::LogCapture log;
  Fake().SetFailTcpCreate(true);
  char name[] = "tool";
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), 1);
  EXPECT_TRUE(log.Has("NetManager", "Error", "TcpCreate failed."));
  EXPECT_EQ(M().TcpLink(), kInvalidHandle);

  Fake().SetFailTcpCreate(false);
  Fake().SetRefuseConnect(true);
  Fake().SetNextTcpHandle(21);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), 1);
  EXPECT_TRUE(log.Has("NetManager", "Error",
                      "TcpConnect failed; m_hTcpLink: 21, IP: 10.0.0.5, Port: 8080"));
  EXPECT_EQ(M().TcpLink(), kInvalidHandle);
  EXPECT_FALSE(M().IsTcpConnected());
  kdl::test::fake::Journal j = Fake().Snapshot();
  EXPECT_EQ(j.tcpDestroyed, std::vector<uint32_t>{21});
  EXPECT_TRUE(j.tcpSent.empty());
  EXPECT_EQ(M().GetLastErrCode(), 1);
}

// ---- the other requests ------------------------------------------------------------------

TEST_F(ManagerTest, QueryRequestsAreHeadOnly) {
  StartAndLogin();
  Fake().ReplyOnTcp(0x00020006, Hex("00 00 00 00  06 00 02 80  24 00 00 00  00 00 00 00"
                                    "00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                                    "00 00 00 00"));
  Fake().ReplyOnTcp(0x00020002, Hex("00 00 00 00  02 00 02 80  1C 00 00 00  00 00 00 00"
                                    "03 00 00 00  00 00 00 00  00 00 00 00"));
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 0);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_INFO, nullptr), 3);
  kdl::test::fake::Journal j = Fake().Snapshot();
  ASSERT_EQ(j.tcpSent.size(), 3u);
  EXPECT_EQ(j.tcpSent[1].bytes,
            Hex("00 00 00 00  06 00 02 00  18 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"));
  EXPECT_EQ(j.tcpSent[2].bytes,
            Hex("00 00 00 00  02 00 02 00  18 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"));
}

TEST_F(ManagerTest, CreateImageRequest) {
  StartAndLogin();
  Fake().ReplyOnTcp(0x00020009, kdl::test::HeadReply("09 00 02 80", 9));
  unsigned char param[72] = {};
  std::memcpy(param, "disk-7", 6);
  const unsigned char numbers[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  std::memcpy(param + 64, numbers, 8);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_CREATE_IMAGE, param), 9);
  kdl::test::fake::Journal j = Fake().Snapshot();
  ASSERT_EQ(j.tcpSent.size(), 2u);
  EXPECT_EQ(j.tcpSent[1].bytes,
            Hex("00 00 00 00  09 00 02 00  2C 01 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                "01 00 00 00"      // one record
                "00 00 00 00") +   // ImageId
                Chars("disk-7", 260) + Hex("11 22 33 44  55 66 77 88"));
  EXPECT_EQ(M().GetLastErrCode(), 9);
}

TEST_F(ManagerTest, CreateImageNameIsReadOnlyWithinItsField) {
  StartAndLogin();
  Fake().ReplyOnTcp(0x00020009, kdl::test::HeadReply("09 00 02 80", 0));
  unsigned char param[80];
  std::memset(param, 'N', 64);  // no terminator inside the 64 bytes
  const unsigned char numbers[8] = {0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
  std::memcpy(param + 64, numbers, 8);
  std::memset(param + 72, 'Z', 8);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_CREATE_IMAGE, param), 0);
  kdl::test::fake::Journal j = Fake().Snapshot();
  ASSERT_EQ(j.tcpSent.size(), 2u);
  const Bytes& sent = j.tcpSent[1].bytes;
  ASSERT_EQ(sent.size(), 300u);
  EXPECT_EQ(Bytes(sent.begin() + 32, sent.end()),
            Bytes(64, 'N') + Zeros(196) + Hex("01 00 00 00  02 00 00 00"));
}

TEST_F(ManagerTest, CreateImageWithoutParam1SendsNothing) {
  StartAndLogin();
  kdl::test::LogCapture log;
  unsigned char param[72] = {};
  std::memcpy(param, "disk", 4);
  param[68] = 5;  // Param2 alone is not enough
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_CREATE_IMAGE, param), 1);
  EXPECT_EQ(Fake().Snapshot().tcpSent.size(), 1u);  // only the login
  EXPECT_EQ(log.Text(), "");
}

TEST_F(ManagerTest, SelectAndSetAdminRequests) {
  StartAndLogin();
  Fake().ReplyOnTcp(0x00020003, kdl::test::HeadReply("03 00 02 80", 0));
  const uint32_t setParam = 0xA1B2C3D4;
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_SET_ADMIN, const_cast<uint32_t*>(&setParam)), 0);

  Fake().ReplyOnTcp(0x00020005, Hex("00 00 00 00  05 00 02 80  19 01 00 00  00 00 00 00"
                                    "00 00 00 00  00 00 00 00  01") +
                                    kdl::test::Chars("C:\\img", 256));
  const uint32_t imageId = 0x0000BEEF;
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_SELECT_IMAGE, const_cast<uint32_t*>(&imageId)), 0);

  kdl::test::fake::Journal j = Fake().Snapshot();
  ASSERT_EQ(j.tcpSent.size(), 3u);
  EXPECT_EQ(j.tcpSent[1].bytes,
            Hex("00 00 00 00  03 00 02 00  24 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                "01 00 00 00  00 00 00 00  D4 C3 B2 A1"));
  EXPECT_EQ(j.tcpSent[2].bytes,
            Hex("00 00 00 00  05 00 02 00  20 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                "00 00 00 00  EF BE 00 00"));
}

TEST_F(ManagerTest, CancelAdminRequest) {
  StartAndLogin();
  Fake().ReplyOnTcp(0x00020004, kdl::test::HeadReply("04 00 02 80", 2));
  unsigned char param[2 + 260 + 8];
  param[0] = 0xFF;  // widened without sign
  param[1] = 0x01;
  std::memcpy(param + 2, "pc-12", 6);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_CANCEL_ADMIN, param), 2);

  // A text without terminator is read no further than its 260 bytes.
  Fake().ReplyOnTcp(0x00020004, kdl::test::HeadReply("04 00 02 80", 0));
  param[0] = 0;
  param[1] = 0x80;
  std::memset(param + 2, 'T', 260);
  std::memset(param + 262, 'Z', 8);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_CANCEL_ADMIN, param), 0);

  kdl::test::fake::Journal j = Fake().Snapshot();
  ASSERT_EQ(j.tcpSent.size(), 3u);
  const Bytes head = Hex("00 00 00 00  04 00 02 00  30 01 00 00  00 00 00 00  00 00 00 00"
                         "00 00 00 00  01 00 00 00  00 00 00 00  00 00 00 00");
  EXPECT_EQ(j.tcpSent[1].bytes, head + Hex("FF 00 00 00  01 00 00 00") + Chars("pc-12", 260));
  EXPECT_EQ(j.tcpSent[2].bytes, head + Hex("00 00 00 00  80 00 00 00") + Bytes(260, 'T'));
}

TEST_F(ManagerTest, HeartbeatNeedsALink) {
  ASSERT_TRUE(M().StartServer(nullptr));
  kdl::test::LogCapture log;
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_HEARTBEAT, nullptr), 1);
  EXPECT_EQ(log.Text(), "");

  StartAndLogin();
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_HEARTBEAT, nullptr), 0);
  kdl::test::fake::Journal j = Fake().Snapshot();
  EXPECT_EQ(j.tcpSent.back().bytes,
            Hex("00 00 00 00  01 00 00 00  18 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"));
  EXPECT_EQ(M().GetLastErrCode(), 0);  // untouched by the heartbeat
}

TEST_F(ManagerTest, RefusedSendReturnsAtOnce) {
  StartAndLogin();
  Fake().SetRefuseTcpSend(true);
  kdl::test::LogCapture log;
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_IMAGE_LIST, nullptr), 1);
  EXPECT_EQ(M().SendAskPack(KELVANE_ASK_HEARTBEAT, nullptr), 1);
  EXPECT_EQ(M().GetLastErrCode(), 1);
  EXPECT_EQ(log.Text(), "");  // neither a send failure nor a time-out line
}

TEST_F(ManagerTest, RequestsWithoutLinkFailAtOnce) {
  StartAndDiscover();
  for (uint32_t type : {3u, 4u, 6u, 7u, 9u}) {
    uint32_t param = 1;
    EXPECT_EQ(M().SendAskPack(type, &param), 1) << "type " << type;
  }
  // The double saw every send on the handle -1.
  for (const kdl::test::fake::SentPacket& p : Fake().Snapshot().tcpSent) EXPECT_EQ(p.handle, kInvalidHandle);
}

// The last error code is the result of every request of types 2 to 8: one
// that fails on this machine before it sends leaves 1, not the success
// before it.
TEST_F(ManagerTest, LastErrCodeFollowsRequestsThatFailLocally) {
  StartAndDiscover();
  char name[] = "tool";
  KelvaneCreateImageParam noParam1 = {"img", 0, 0};
  enum Setup { kNone, kRefusedConnect, kStopped };
  const struct {
    const char* what;
    uint32_t type;
    void* param;
    Setup setup;
  } failures[] = {
      {"missing parameter", KELVANE_ASK_SET_ADMIN, nullptr, kNone},
      {"create with Param1 0", KELVANE_ASK_CREATE_IMAGE, &noParam1, kNone},
      {"login whose connect fails", KELVANE_ASK_LOGIN, name, kRefusedConnect},
      {"not started", KELVANE_ASK_IMAGE_LIST, nullptr, kStopped},
  };
  for (const auto& f : failures) {
    Fake().ReplyOnTcp(0x00020001, kdl::test::LoginReply(0));
    ASSERT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), 0) << f.what;
    if (f.setup == kRefusedConnect) {
      Fake().DeliverTcpClosed(M().TcpLink());
      Fake().WaitIdle();
      Fake().SetRefuseConnect(true);
    }
    if (f.setup == kStopped) M().StopServer();
    EXPECT_EQ(M().SendAskPack(f.type, f.param), 1) << f.what;
    EXPECT_EQ(M().GetLastErrCode(), 1) << f.what;
    Fake().SetRefuseConnect(false);
  }
}
