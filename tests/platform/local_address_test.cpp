#include "platform/LocalAddress.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif
#include <gtest/gtest.h>

#include <cstring>

using kdl::plat::AdapterEntry;
using kdl::plat::InterfaceRow;
using kdl::plat::PickLocalAddressFrom;

namespace {

InterfaceRow Row(uint32_t status, std::vector<uint8_t> mac) {
  InterfaceRow r;
  r.operStatus = status;
  r.physAddrLen = static_cast<uint32_t>(mac.size());
  std::memcpy(r.physAddr, mac.data(), mac.size() < 8 ? mac.size() : 8);
  return r;
}

AdapterEntry Adapter(std::vector<uint8_t> mac, std::vector<std::string> ips) {
  AdapterEntry a;
  a.addressLength = static_cast<uint32_t>(mac.size());
  std::memcpy(a.address, mac.data(), mac.size() < 8 ? mac.size() : 8);
  a.ipAddresses = std::move(ips);
  return a;
}

const std::vector<uint8_t> kMacA = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
const std::vector<uint8_t> kMacB = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
const std::vector<uint8_t> kMacC = {0x02, 0x42, 0xac, 0x11, 0x00, 0x02};
const std::vector<uint8_t> kZero = {0, 0, 0, 0, 0, 0};

// An output buffer prefilled with a marker, followed by a guard region.
struct Out {
  char buf[48];
  Out() {
    std::memset(buf, 'G', sizeof(buf));
    std::strcpy(buf, "keep");
  }
  char* p() { return buf; }
};

}  // namespace

TEST(PickLocalAddressFrom, FirstOperationalRowSelectsAdapterByHardwareAddress) {
  std::vector<InterfaceRow> rows = {Row(2, kMacA), Row(5, kMacB), Row(5, kMacC)};
  std::vector<AdapterEntry> adapters = {Adapter(kMacA, {"10.0.0.1"}),
                                        Adapter(kMacC, {"172.17.0.2"}),
                                        Adapter(kMacB, {"192.168.1.20", "192.168.1.21"})};
  Out out;
  EXPECT_TRUE(PickLocalAddressFrom(rows, true, adapters, true, out.p()));
  EXPECT_STREQ("192.168.1.20", out.buf);
}

TEST(PickLocalAddressFrom, NoOperationalRowLeavesZeroHardwareAddress) {
  std::vector<InterfaceRow> rows = {Row(2, kMacA), Row(0, kMacB)};
  std::vector<AdapterEntry> withZero = {Adapter(kMacA, {"10.0.0.1"}),
                                        Adapter(kZero, {"10.9.9.9"})};
  Out out;
  EXPECT_TRUE(PickLocalAddressFrom(rows, true, withZero, true, out.p()));
  EXPECT_STREQ("10.9.9.9", out.buf);

  // An unreadable table behaves the same way.
  Out out2;
  EXPECT_TRUE(PickLocalAddressFrom(rows, false, withZero, true, out2.p()));
  EXPECT_STREQ("10.9.9.9", out2.buf);

  // An empty table, and no adapter with a zero address: nothing is written.
  std::vector<AdapterEntry> noZero = {Adapter(kMacA, {"10.0.0.1"})};
  Out out3;
  EXPECT_FALSE(PickLocalAddressFrom({}, true, noZero, true, out3.p()));
  EXPECT_STREQ("keep", out3.buf);
}

TEST(PickLocalAddressFrom, NoMatchOrUnreadableAdapterListLeavesOutputUntouched) {
  std::vector<InterfaceRow> rows = {Row(5, kMacA)};
  Out out;
  EXPECT_FALSE(PickLocalAddressFrom(rows, true, {Adapter(kMacB, {"10.0.0.2"})}, true, out.p()));
  EXPECT_STREQ("keep", out.buf);
  EXPECT_EQ('G', out.buf[5]);

  Out out2;
  EXPECT_FALSE(PickLocalAddressFrom(rows, true, {Adapter(kMacA, {"10.0.0.1"})}, false, out2.p()));
  EXPECT_STREQ("keep", out2.buf);
}

TEST(PickLocalAddressFrom, FirstOfSeveralMatchingAdaptersWins) {
  std::vector<InterfaceRow> rows = {Row(5, kMacA)};
  std::vector<AdapterEntry> adapters = {Adapter(kMacB, {"10.0.0.9"}),
                                        Adapter(kMacA, {"10.0.0.1", "10.0.0.7"}),
                                        Adapter(kMacA, {"10.0.0.2"})};
  Out out;
  EXPECT_TRUE(PickLocalAddressFrom(rows, true, adapters, true, out.p()));
  EXPECT_STREQ("10.0.0.1", out.buf);
}

TEST(PickLocalAddressFrom, ComparesExactlySixBytes) {
  // The row reports 8 bytes; the adapter agrees only in the first 6.
  std::vector<InterfaceRow> rows = {
      Row(5, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0x77, 0x88})};
  AdapterEntry a = Adapter({0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0x11, 0x22}, {"10.1.1.1"});
  a.addressLength = 6;
  Out out;
  EXPECT_TRUE(PickLocalAddressFrom(rows, true, {a}, true, out.p()));
  EXPECT_STREQ("10.1.1.1", out.buf);

  // A difference in the sixth byte is no match.
  AdapterEntry b = Adapter({0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5f}, {"10.1.1.2"});
  Out out2;
  EXPECT_FALSE(PickLocalAddressFrom(rows, true, {b}, true, out2.p()));
  EXPECT_STREQ("keep", out2.buf);

  // A 4-byte address leaves bytes 5 and 6 of the buffer zero.
  std::vector<InterfaceRow> shortRow = {Row(5, {0xde, 0xad, 0xbe, 0xef})};
  AdapterEntry c = Adapter({0xde, 0xad, 0xbe, 0xef, 0x00, 0x00}, {"10.1.1.3"});
  Out out3;
  EXPECT_TRUE(PickLocalAddressFrom(shortRow, true, {b, c}, true, out3.p()));
  EXPECT_STREQ("10.1.1.3", out3.buf);
}

TEST(PickLocalAddressFrom, OversizedAddressLengthReadsNoMoreThanTheRow) {
  InterfaceRow r = Row(5, kMacB);
  r.physAddrLen = 4000;  // a bogus length must not read past the row
  Out out;
  EXPECT_TRUE(PickLocalAddressFrom({r}, true, {Adapter(kMacB, {"10.2.2.2"})}, true, out.p()));
  EXPECT_STREQ("10.2.2.2", out.buf);
}

TEST(PickLocalAddressFrom, LongAddressTextIsBoundedTo32Bytes) {
  const std::string longText = "1234567890.1234567890.1234567890.1234567890";
  Out out;
  EXPECT_TRUE(
      PickLocalAddressFrom({Row(5, kMacA)}, true, {Adapter(kMacA, {longText})}, true, out.p()));
  EXPECT_EQ(std::string("1234567890.1234567890.123456789"), std::string(out.buf));
  EXPECT_EQ('\0', out.buf[31]);
  for (size_t i = 32; i < sizeof(out.buf); ++i) EXPECT_EQ('G', out.buf[i]) << i;
}

TEST(PickLocalAddressFrom, MatchingAdapterWithoutAddressIsPassedOver) {
  std::vector<InterfaceRow> rows = {Row(5, kMacA)};
  // A bond slave (no address) and an adapter reported as 0.0.0.0 share the
  // MAC of the addressed interface that follows them.
  std::vector<AdapterEntry> adapters = {Adapter(kMacA, {}), Adapter(kMacA, {"0.0.0.0"}),
                                        Adapter(kMacA, {"192.0.2.5"})};
  Out out;
  EXPECT_TRUE(PickLocalAddressFrom(rows, true, adapters, true, out.p()));
  EXPECT_STREQ("192.0.2.5", out.buf);

  Out out2;
  EXPECT_FALSE(PickLocalAddressFrom(rows, true, {Adapter(kMacA, {}), Adapter(kMacA, {""})}, true,
                                    out2.p()));
  EXPECT_STREQ("keep", out2.buf);
}

TEST(PickLocalAddress, TestSourceReplacesTheSystemTables) {
  kdl::plat::SetNetworkTablesSourceForTest([] {
    kdl::plat::NetworkTables t;
    t.rows = {Row(5, kMacC)};
    t.rowsOk = true;
    t.adapters = {Adapter(kMacC, {"198.51.100.7"})};
    t.adaptersOk = true;
    return t;
  });
  Out out;
  EXPECT_TRUE(kdl::plat::PickLocalAddress(out.p()));
  EXPECT_STREQ("198.51.100.7", out.buf);

  kdl::plat::SetNetworkTablesSourceForTest([] { return kdl::plat::NetworkTables(); });
  Out out2;
  EXPECT_FALSE(kdl::plat::PickLocalAddress(out2.p()));
  EXPECT_STREQ("keep", out2.buf);
  kdl::plat::SetNetworkTablesSourceForTest(nullptr);
}

TEST(SystemNetworkTables, LoopbackIsListedAsInterfaceButNotAsAdapter) {
  std::vector<InterfaceRow> rows;
  ASSERT_TRUE(kdl::plat::ReadInterfaceTable(rows));
  EXPECT_FALSE(rows.empty());  // at least the loopback interface
  for (const InterfaceRow& r : rows) EXPECT_LE(r.physAddrLen, 8u);

  std::vector<AdapterEntry> adapters;
  ASSERT_TRUE(kdl::plat::ReadAdapterList(adapters));
  EXPECT_LT(adapters.size(), rows.size());
  for (const AdapterEntry& a : adapters) {
    for (const std::string& ip : a.ipAddresses) {
      in_addr addr;
      ASSERT_EQ(1, inet_pton(AF_INET, ip.c_str(), &addr)) << ip;
      EXPECT_NE(127u, ntohl(addr.s_addr) >> 24) << ip;
    }
  }

  // Whatever the machine has, the answer is either nothing or a dotted quad.
  char out[32] = "unset";
  if (kdl::plat::PickLocalAddress(out)) {
    in_addr addr;
    EXPECT_EQ(1, inet_pton(AF_INET, out, &addr)) << out;
  } else {
    EXPECT_STREQ("unset", out);
  }
}
