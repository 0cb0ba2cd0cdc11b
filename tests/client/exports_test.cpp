// The nine exports over the process-wide manager (with the transport double).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <type_traits>
#include <vector>

#include "client/KelvaneDll.h"
#include "client/NetManager.h"
#include "platform/LocalAddress.h"
#include "tests/client/FakeTransport.h"
#include "tests/client/LogCapture.h"
#include "tests/client/ManagerFixture.h"

namespace {

class ExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kdl::test::fake::FakeTransport::Get().Reset();
    kdl::test::QuietLog();
    kdl::plat::SetNetworkTablesSourceForTest([] { return kdl::test::TablesWithAddress("10.77.0.2"); });
  }
  void TearDown() override {
    StopServer();
    kdl::test::fake::FakeTransport::Get().Reset();
    kdl::plat::SetNetworkTablesSourceForTest(nullptr);
  }
};

}  // namespace

// Runs first in its process when the executable runs as a whole; under ctest
// every test has a process of its own, so the race below is always the first
// creation.
TEST_F(ExportsTest, ManagerIsCreatedOnceUnderConcurrency) {
  std::atomic<bool> go{false};
  std::vector<CNetManager*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      seen[i] = GetNetManager();
    });
  }
  go = true;
  for (std::thread& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (CNetManager* m : seen) EXPECT_EQ(m, seen[0]);
  EXPECT_EQ(GetNetManager(), seen[0]);
  EXPECT_EQ(CNetProtocolHandler::s_pInstance.load(), seen[0]);
}

TEST_F(ExportsTest, ExportsForwardToTheManager) {
  CNetManager* m = GetNetManager();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(SendAskPack(KELVANE_ASK_DISCOVER, nullptr), 1);  // not started
  EXPECT_EQ(GetLastErrCode(), 1);
  ASSERT_TRUE(StartServer(nullptr));
  EXPECT_TRUE(m->IsStarted());

  kdl::test::fake::FakeTransport& f = kdl::test::fake::FakeTransport::Get();
  f.ReplyOnUdp(0x00020000, kdl::test::DiscoverReply(), "10.0.0.5", 800);
  ASSERT_EQ(SendAskPack(KELVANE_ASK_DISCOVER, nullptr), 0);
  EXPECT_EQ(&GetDiscoverInfo(), &m->GetDiscoverInfo());
  EXPECT_EQ(GetDiscoverInfo().ServerIP, 0x0A000005u);
  EXPECT_EQ(GetDiscoverInfo().ServerPort, 8080);

  f.ReplyOnTcp(0x00020001, kdl::test::LoginReply(5));
  char name[] = "tool";
  EXPECT_EQ(SendAskPack(KELVANE_ASK_LOGIN, name), 5);
  EXPECT_EQ(GetLastErrCode(), 5);
  EXPECT_EQ(&GetClientInfo(), &m->GetClientInfo());
  EXPECT_EQ(GetClientInfo().ClientType, 7);

  EXPECT_EQ(&GetListImageInfo(), &m->GetListImageInfo());
  EXPECT_EQ(&GetMapSnapInfo(), &m->GetMapSnapInfo());
  EXPECT_EQ(&GetSelectImageInfo(), &m->GetSelectImageInfo());

  StopServer();
  EXPECT_FALSE(m->IsStarted());
  EXPECT_EQ(f.Snapshot().tcpUninit, 1);
  EXPECT_EQ(GetClientInfo().ClientType, 7);
}

// A host declares the snapshot map with an unsigned long key; the exported
// getter must hand out exactly that type on every platform.
static_assert(std::is_same<decltype(&GetMapSnapInfo),
                           std::map<unsigned long, Kelvane::_IN_SNAP_INFO>&(KELVANE_CALL*)()>::value,
              "GetMapSnapInfo returns std::map<unsigned long, _IN_SNAP_INFO>&");
