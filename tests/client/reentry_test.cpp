// A host that calls back into the library from its close callback, through
// the nine exports and the real transport over loopback: the callback stops
// or starts the library while the main thread stops it, stops it alone, or
// logs in again. Every call must return; a hang fails the test after a bound
// instead of blocking the run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "client/KelvaneDll.h"
#include "tests/client/ManagerFixture.h"
#include "tests/transport/TransportTestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace tt = kdl::test;

// What the close callback does.
enum class OnClose { kStopLater, kStartLater, kStopNow, kStartAndLogin };

std::atomic<OnClose> g_mode{OnClose::kStopNow};
std::atomic<bool> g_entered{false};
std::atomic<bool> g_done{false};
std::atomic<int> g_startResult{-1};
std::atomic<int> g_loginResult{-1};

int Login() {
  char name[] = "reentry";
  return SendAskPack(KELVANE_ASK_LOGIN, name);
}

void OnTcpClosed() {
  g_entered = true;
  switch (g_mode.load()) {
    case OnClose::kStopLater:
      std::this_thread::sleep_for(400ms);
      StopServer();
      break;
    case OnClose::kStartLater:
      std::this_thread::sleep_for(400ms);
      g_startResult = StartServer(OnTcpClosed) ? 1 : 0;
      break;
    case OnClose::kStopNow:
      StopServer();
      break;
    case OnClose::kStartAndLogin:
      g_startResult = StartServer(OnTcpClosed) ? 1 : 0;
      g_loginResult = Login();
      break;
  }
  g_done = true;
}

// Waits for `flag` at most `bound`.
bool WaitFor(const std::atomic<bool>& flag, std::chrono::milliseconds bound) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (!flag && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
  return flag;
}

// Runs fn on its own thread; a call that hangs ends the process with a
// failure instead of blocking the test run.
template <class Fn>
void Bounded(const char* what, Fn fn) {
  auto result = std::async(std::launch::async, fn);
  if (result.wait_for(20s) != std::future_status::ready) {
    std::fprintf(stderr, "%s did not return within 20 s: the library hangs\n", what);
    std::fflush(stderr);
    std::_Exit(1);
  }
  result.get();
}

// A loopback server for one session: accepts a link, answers its login
// request with a login reply, and closes the link when Close() is called.
class LoginServer {
 public:
  LoginServer() { m_listener = tt::LoopbackSocket(SOCK_STREAM, &m_port, 4); }
  ~LoginServer() {
    if (m_link >= 0) tt::CloseSocket(m_link);
    tt::CloseSocket(m_listener);
  }
  uint16_t Port() const { return m_port; }

  // Accepts the next link and answers one login on it.
  void ServeLogin() {
    if (m_link >= 0) tt::CloseSocket(m_link);
    m_link = tt::Accept(m_listener);
    std::vector<uint8_t> request;
    ASSERT_TRUE(tt::ReadExactly(m_link, 56, &request));
    ASSERT_TRUE(tt::WriteAll(m_link, kdl::test::LoginReply(0)));
  }
  void Close() {
    tt::CloseSocket(m_link);
    m_link = -1;
  }

 private:
  int m_listener = -1;
  int m_link = -1;
  uint16_t m_port = 0;
};

class ReentryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kdl::plat::SetNetworkTablesSourceForTest([] { return kdl::test::TablesWithAddress("127.0.0.1"); });
    ASSERT_GE(m_server.Port(), 1);
    g_entered = g_done = false;
    g_startResult = g_loginResult = -1;
  }
  void TearDown() override {
    Bounded("StopServer", [] { StopServer(); });
    kdl::plat::SetNetworkTablesSourceForTest(nullptr);
  }

  // Started and logged in to the loopback server; `mode` set for the close.
  void LogIn(OnClose mode) {
    g_mode = mode;
    ASSERT_TRUE(StartServer(OnTcpClosed));
    GetDiscoverInfo().ServerIP = 0x7F000001;
    GetDiscoverInfo().ServerPort = m_server.Port();
    std::thread serve([this] { m_server.ServeLogin(); });
    EXPECT_EQ(Login(), 0);
    serve.join();
  }

  LoginServer m_server;
};

}  // namespace

TEST_F(ReentryTest, CallbackAndMainThreadStopTogether) {
  for (OnClose mode : {OnClose::kStopLater, OnClose::kStartLater}) {
    LogIn(mode);
    m_server.Close();
    ASSERT_TRUE(WaitFor(g_entered, 5000ms));
    std::this_thread::sleep_for(100ms);
    Bounded("StopServer beside the callback", [] { StopServer(); });
    EXPECT_TRUE(WaitFor(g_done, 5000ms));
    // The start from the callback came while the stop was ending its thread.
    if (mode == OnClose::kStartLater) {
      EXPECT_EQ(g_startResult.load(), 0);
    }
    EXPECT_EQ(SendAskPack(KELVANE_ASK_HEARTBEAT, nullptr), 1);  // stopped
    g_entered = g_done = false;
  }
}

TEST_F(ReentryTest, CallbackStopsAloneThenTheHostStartsAgain) {
  LogIn(OnClose::kStopNow);
  m_server.Close();
  ASSERT_TRUE(WaitFor(g_done, 5000ms));
  EXPECT_EQ(SendAskPack(KELVANE_ASK_HEARTBEAT, nullptr), 1);
  g_done = false;
  LogIn(OnClose::kStopNow);
  EXPECT_EQ(SendAskPack(KELVANE_ASK_HEARTBEAT, nullptr), 0);
}

TEST_F(ReentryTest, CallbackStartsAndLogsInAgain) {
  LogIn(OnClose::kStartAndLogin);
  m_server.Close();
  m_server.ServeLogin();  // the login from the callback
  ASSERT_TRUE(WaitFor(g_done, 5000ms));
  EXPECT_EQ(g_startResult.load(), 1);
  EXPECT_EQ(g_loginResult.load(), 0);
  EXPECT_EQ(SendAskPack(KELVANE_ASK_HEARTBEAT, nullptr), 0);
}
