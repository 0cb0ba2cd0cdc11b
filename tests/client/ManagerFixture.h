// Common setup of the manager tests: a fresh CNetManager over the transport
// double, a fixed local address (10.77.0.2) and helpers that bring the
// manager to a discovered or logged-in state.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "client/NetManager.h"
#include "platform/LocalAddress.h"
#include "tests/client/FakeTransport.h"
#include "tests/client/LogCapture.h"
#include "tests/protocol/TestBytes.h"

namespace kdl::test {

// Network tables with one operational interface whose adapter has `ip`.
inline kdl::plat::NetworkTables TablesWithAddress(const char* ip) {
  return kdl::plat::TablesWithOneAddress(ip);
}

// Tables in which no adapter matches the operational interface.
inline kdl::plat::NetworkTables TablesWithoutMatch() {
  kdl::plat::NetworkTables t = TablesWithAddress("10.77.0.9");
  t.adapters[0].address[5] ^= 0xFF;
  return t;
}

// Reply bytes used by many tests, written out from the layouts.
// Discover reply: one record, TcpPort 0x00011F90 (port 8080).
inline Bytes DiscoverReply() {
  return Hex("00 00 00 00  00 00 02 80  20 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
             "01 00 00 00  90 1F 01 00");
}
// Login reply with ErrCode `err` (one byte), ClientType 7, ManagerEnable 1,
// ExtInfo 0x01020304.
inline Bytes LoginReply(uint8_t err) {
  Bytes b = Hex("00 00 00 00  01 00 02 80  24 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"
                "07 00 00 00  01 00 00 00  04 03 02 01");
  b[16] = err;
  return b;
}
// Head-only reply of `typeLe` (four little-endian bytes) with ErrCode `err`.
inline Bytes HeadReply(const char* typeLe, uint8_t err) {
  Bytes b = Hex("00 00 00 00") + Hex(typeLe) + Hex("18 00 00 00  00 00 00 00") + Zeros(8);
  b[16] = err;
  return b;
}

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fake().Reset();
    QuietLog();
    kdl::plat::SetNetworkTablesSourceForTest([] { return TablesWithAddress("10.77.0.2"); });
    m_manager.reset(new CNetManager());
  }
  void TearDown() override {
    m_manager->StopServer();
    Fake().Reset();  // joins every delivery before the manager goes
    m_manager.reset();
    kdl::plat::SetNetworkTablesSourceForTest(nullptr);
  }

  static kdl::test::fake::FakeTransport& Fake() { return kdl::test::fake::FakeTransport::Get(); }
  CNetManager& M() { return *m_manager; }

  // Started and discovered: the server is 10.0.0.5, port 8080.
  void StartAndDiscover(KelvaneTcpClosedFn onClosed = nullptr) {
    ASSERT_TRUE(M().StartServer(onClosed));
    Fake().ReplyOnUdp(0x00020000, DiscoverReply(), "10.0.0.5", 800);
    ASSERT_EQ(M().SendAskPack(KELVANE_ASK_DISCOVER, nullptr), 0);
  }
  // ... and logged in on a TCP link.
  void StartAndLogin(KelvaneTcpClosedFn onClosed = nullptr) {
    StartAndDiscover(onClosed);
    Fake().ReplyOnTcp(0x00020001, LoginReply(0));
    char name[] = "tool";
    ASSERT_EQ(M().SendAskPack(KELVANE_ASK_LOGIN, name), 0);
  }

  std::unique_ptr<CNetManager> m_manager;
};

}  // namespace kdl::test
