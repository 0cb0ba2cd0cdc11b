// The Win32 side of the platform seam against the real system (under Wine in
// CI): IP Helper tables through stand-ins for the two calls, kernel events
// and named objects as other code sees them by handle and by name, text-mode
// shared log files that child processes do not inherit, and the calendar arithmetic of the log cut-off checked
// against the system's own.
#include "platform/win32/NetworkTablesWin32.h"

#include <gtest/gtest.h>
#include <io.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/LocalAddress.h"
#include "platform/Platform.h"
#include "tests/windows/WinTestSupport.h"

namespace {

// ---- stand-ins for GetIfTable and GetAdaptersInfo ---------------------------

struct IfTableFake {
  std::vector<MIB_IFROW> rows;
  DWORD failWith = NO_ERROR;  // answer every call with this error instead
  ULONG growBy = 0;           // ask for this much more on every call
  DWORD claimedEntries = 0;   // count to report when non-zero
  std::vector<ULONG> sizesSeen;
  std::vector<BOOL> ordersSeen;
} g_if;

DWORD WINAPI FakeGetIfTable(PMIB_IFTABLE table, PULONG size, WINBOOL order) {
  g_if.sizesSeen.push_back(*size);
  g_if.ordersSeen.push_back(order);
  if (g_if.failWith != NO_ERROR) return g_if.failWith;
  const ULONG need = static_cast<ULONG>(offsetof(MIB_IFTABLE, table) +
                                        g_if.rows.size() * sizeof(MIB_IFROW)) +
                     g_if.growBy * static_cast<ULONG>(g_if.sizesSeen.size());
  if (table == nullptr || *size < need) {
    *size = need;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  table->dwNumEntries = g_if.claimedEntries ? g_if.claimedEntries
                                            : static_cast<DWORD>(g_if.rows.size());
  if (!g_if.rows.empty()) {
    std::memcpy(table->table, g_if.rows.data(), g_if.rows.size() * sizeof(MIB_IFROW));
  }
  return NO_ERROR;
}

MIB_IFROW Row(DWORD operStatus, std::vector<BYTE> mac, DWORD type = IF_TYPE_ETHERNET_CSMACD) {
  MIB_IFROW r = {};
  r.dwType = type;
  r.dwOperStatus = operStatus;
  r.dwPhysAddrLen = static_cast<DWORD>(mac.size());
  std::memcpy(r.bPhysAddr, mac.data(), mac.size());
  return r;
}

struct FakeAdapter {
  std::vector<BYTE> mac;
  std::vector<std::string> ips;
};

struct AdapterFake {
  std::vector<FakeAdapter> adapters;
  DWORD failWith = ERROR_SUCCESS;
  std::vector<ULONG> sizesSeen;
} g_ad;

// Lays the adapters out the way the system does: the records first, linked
// through Next, then the extra address entries they point to.
ULONG WINAPI FakeGetAdaptersInfo(PIP_ADAPTER_INFO list, PULONG size) {
  g_ad.sizesSeen.push_back(*size);
  if (g_ad.failWith != ERROR_SUCCESS) return g_ad.failWith;
  size_t extras = 0;
  for (const FakeAdapter& a : g_ad.adapters) extras += a.ips.size() > 1 ? a.ips.size() - 1 : 0;
  const ULONG need = static_cast<ULONG>(g_ad.adapters.size() * sizeof(IP_ADAPTER_INFO) +
                                        extras * sizeof(IP_ADDR_STRING));
  if (list == nullptr || *size < need) {
    *size = need;
    return ERROR_BUFFER_OVERFLOW;
  }
  std::memset(list, 0, need);
  auto* extra = reinterpret_cast<IP_ADDR_STRING*>(list + g_ad.adapters.size());
  for (size_t i = 0; i < g_ad.adapters.size(); ++i) {
    const FakeAdapter& fake = g_ad.adapters[i];
    IP_ADAPTER_INFO& a = list[i];
    a.Next = i + 1 < g_ad.adapters.size() ? &list[i + 1] : nullptr;
    a.AddressLength = static_cast<UINT>(fake.mac.size());
    std::memcpy(a.Address, fake.mac.data(), fake.mac.size());
    IP_ADDR_STRING* tail = &a.IpAddressList;
    for (size_t k = 0; k < fake.ips.size(); ++k) {
      IP_ADDR_STRING* entry = k == 0 ? &a.IpAddressList : extra++;
      std::strncpy(entry->IpAddress.String, fake.ips[k].c_str(), 15);
      if (k > 0) tail->Next = entry, tail = entry;
    }
  }
  return ERROR_SUCCESS;
}

class NetworkTablesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_if = IfTableFake();
    g_ad = AdapterFake();
  }
};

const std::vector<BYTE> kMacA = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0a};
const std::vector<BYTE> kMacB = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0b};

}  // namespace

TEST_F(NetworkTablesTest, OneRowFitsTheFirstBuffer) {
  g_if.rows = {Row(5, kMacA)};
  std::vector<kdl::plat::InterfaceRow> rows;
  ASSERT_TRUE(kdl::plat::win32::ReadInterfaceTableWith(FakeGetIfTable, rows));
  EXPECT_EQ(std::vector<ULONG>{864}, g_if.sizesSeen);
  EXPECT_EQ(std::vector<BOOL>{FALSE}, g_if.ordersSeen);  // unsorted: table order
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ(5u, rows[0].operStatus);
  EXPECT_EQ(6u, rows[0].physAddrLen);
  EXPECT_EQ(0, std::memcmp(rows[0].physAddr, kMacA.data(), 6));
}

TEST_F(NetworkTablesTest, LargerTableIsReadAgainWithTheSizeAskedFor) {
  g_if.rows = {Row(2, kMacA), Row(5, kMacB), Row(5, kMacA)};
  std::vector<kdl::plat::InterfaceRow> rows;
  ASSERT_TRUE(kdl::plat::win32::ReadInterfaceTableWith(FakeGetIfTable, rows));
  const ULONG need = 4 + 3 * sizeof(MIB_IFROW);
  EXPECT_EQ((std::vector<ULONG>{864, need}), g_if.sizesSeen);
  ASSERT_EQ(3u, rows.size());
  EXPECT_EQ(2u, rows[0].operStatus);
  EXPECT_EQ(0, std::memcmp(rows[1].physAddr, kMacB.data(), 6));
}

TEST_F(NetworkTablesTest, TableFailuresReadNothing) {
  std::vector<kdl::plat::InterfaceRow> rows;
  g_if.failWith = ERROR_NOT_SUPPORTED;
  EXPECT_FALSE(kdl::plat::win32::ReadInterfaceTableWith(FakeGetIfTable, rows));
  EXPECT_EQ(1u, g_if.sizesSeen.size());

  // A table that grows on every call: a few tries, then it gives up.
  g_if = IfTableFake();
  g_if.rows = {Row(5, kMacA), Row(5, kMacB)};
  g_if.growBy = sizeof(MIB_IFROW);
  EXPECT_FALSE(kdl::plat::win32::ReadInterfaceTableWith(FakeGetIfTable, rows));
  EXPECT_LE(g_if.sizesSeen.size(), 1u + kdl::plat::win32::kMaxRetries);
  EXPECT_TRUE(rows.empty());
}

TEST_F(NetworkTablesTest, RowCountBeyondTheBufferIsNotFollowed) {
  g_if.rows = {Row(5, kMacA)};
  g_if.claimedEntries = 1000;
  std::vector<kdl::plat::InterfaceRow> rows;
  ASSERT_TRUE(kdl::plat::win32::ReadInterfaceTableWith(FakeGetIfTable, rows));
  EXPECT_EQ(1u, rows.size());
}

TEST_F(NetworkTablesTest, AdapterListStartsAt648AndFollowsTheLinks) {
  g_ad.adapters = {{kMacA, {"10.1.1.1"}}, {kMacB, {"192.168.7.20", "192.168.8.20"}}};
  std::vector<kdl::plat::AdapterEntry> adapters;
  ASSERT_TRUE(kdl::plat::win32::ReadAdapterListWith(FakeGetAdaptersInfo, adapters));
  ASSERT_EQ(2u, g_ad.sizesSeen.size());
  EXPECT_EQ(648u, g_ad.sizesSeen[0]);
  EXPECT_EQ(2 * sizeof(IP_ADAPTER_INFO) + sizeof(IP_ADDR_STRING), g_ad.sizesSeen[1]);
  ASSERT_EQ(2u, adapters.size());
  EXPECT_EQ(6u, adapters[0].addressLength);
  EXPECT_EQ(0, std::memcmp(adapters[1].address, kMacB.data(), 6));
  EXPECT_EQ(std::vector<std::string>{"10.1.1.1"}, adapters[0].ipAddresses);
  EXPECT_EQ((std::vector<std::string>{"192.168.7.20", "192.168.8.20"}), adapters[1].ipAddresses);
}

TEST_F(NetworkTablesTest, NoAdaptersIsAFailure) {
  g_ad.failWith = ERROR_NO_DATA;
  std::vector<kdl::plat::AdapterEntry> adapters;
  EXPECT_FALSE(kdl::plat::win32::ReadAdapterListWith(FakeGetAdaptersInfo, adapters));
}

// The two readings feed the address choice: the first operational row's
// hardware address picks the adapter.
TEST_F(NetworkTablesTest, ChoiceFromTheReadTables) {
  g_if.rows = {Row(2, kMacA), Row(5, kMacB)};
  g_ad.adapters = {{kMacA, {"10.1.1.1"}}, {kMacB, {"192.168.7.20", "192.168.8.20"}}};
  std::vector<kdl::plat::InterfaceRow> rows;
  std::vector<kdl::plat::AdapterEntry> adapters;
  const bool rowsOk = kdl::plat::win32::ReadInterfaceTableWith(FakeGetIfTable, rows);
  const bool adaptersOk = kdl::plat::win32::ReadAdapterListWith(FakeGetAdaptersInfo, adapters);
  char out[32] = "untouched";
  ASSERT_TRUE(kdl::plat::PickLocalAddressFrom(rows, rowsOk, adapters, adaptersOk, out));
  EXPECT_STREQ("192.168.7.20", out);
}

// Windows lists the loopback pseudo-interface first, operational and without
// a hardware address. Taken as the first operational interface it would
// match no adapter, and no machine would ever have a local address.
TEST_F(NetworkTablesTest, LoopbackRowIsNotOperational) {
  g_if.rows = {Row(5, {}, IF_TYPE_SOFTWARE_LOOPBACK), Row(5, kMacB)};
  g_ad.adapters = {{kMacA, {"10.1.1.1"}}, {kMacB, {"192.168.7.20"}}};
  std::vector<kdl::plat::InterfaceRow> rows;
  std::vector<kdl::plat::AdapterEntry> adapters;
  ASSERT_TRUE(kdl::plat::win32::ReadInterfaceTableWith(FakeGetIfTable, rows));
  ASSERT_TRUE(kdl::plat::win32::ReadAdapterListWith(FakeGetAdaptersInfo, adapters));
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ(0u, rows[0].operStatus);
  EXPECT_EQ(5u, rows[1].operStatus);
  char out[32] = {};
  ASSERT_TRUE(kdl::plat::PickLocalAddressFrom(rows, true, adapters, true, out));
  EXPECT_STREQ("192.168.7.20", out);
}

// Whatever the machine has, the system's own table can be read in full.
TEST(SystemNetworkTables, ReadableThroughIpHelper) {
  std::vector<kdl::plat::InterfaceRow> rows;
  ASSERT_TRUE(kdl::plat::ReadInterfaceTable(rows));
  DWORD count = 0;
  ASSERT_EQ(NO_ERROR, GetNumberOfInterfaces(&count));
  EXPECT_EQ(count, rows.size());
}

// ---- events and named objects ------------------------------------------------

TEST(Win32Event, HandleIsAKernelEventAndMinusOneMeansNone) {
  EXPECT_EQ(INVALID_HANDLE_VALUE, static_cast<HANDLE>(kdl::plat::NoEvent()));
  kdl::plat::EventHandle e = kdl::plat::EventCreate();
  ASSERT_NE(kdl::plat::NoEvent(), e);
  ASSERT_NE(nullptr, e);
  // Other code can wait on the handle itself.
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(static_cast<HANDLE>(e), 0));
  ASSERT_TRUE(SetEvent(static_cast<HANDLE>(e)));
  EXPECT_TRUE(kdl::plat::EventWait(e, 0));
  kdl::plat::EventSet(e);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(static_cast<HANDLE>(e), 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(static_cast<HANDLE>(e), 0));  // auto-reset
  kdl::plat::EventClose(e);

  // -1 is also the current process's pseudo-handle: "none" must never reach
  // a wait (which would block for the whole time-out) or a close.
  kdl::plat::EventSet(kdl::plat::NoEvent());
  kdl::plat::EventReset(kdl::plat::NoEvent());
  EXPECT_FALSE(kdl::plat::EventWait(kdl::plat::NoEvent(), 0));
  kdl::plat::EventClose(kdl::plat::NoEvent());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(GetCurrentProcess(), 0));
}

TEST(Win32SharedBlock, ObjectsAreFoundByNameAndVanishWithTheLastHandle) {
  const std::string base = "Global\\kvseam_" + std::to_string(GetCurrentProcessId());
  const std::string mem = base + ".mem", evt = base + ".evt";
  kdl::plat::SharedBlockHandles h = kdl::plat::SharedBlockOpen(mem, evt, 0x20000);
  ASSERT_NE(nullptr, h.view);
  ASSERT_NE(nullptr, h.event);

  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, mem.c_str());
  ASSERT_NE(nullptr, mapping);
  auto* view = static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(nullptr, view);
  MEMORY_BASIC_INFORMATION info;
  ASSERT_NE(0u, VirtualQuery(view, &info, sizeof(info)));
  EXPECT_GE(info.RegionSize, 0x20000u);  // the whole block, page-file backed
  static_cast<unsigned char*>(h.view)[0x1ffff] = 0x5a;
  EXPECT_EQ(0x5a, view[0x1ffff]);

  HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, evt.c_str());
  ASSERT_NE(nullptr, event);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));  // starts unsignalled
  kdl::plat::SharedBlockSignal(h);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));  // auto-reset

  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(event);
  kdl::plat::SharedBlockClose(h, 0x20000);
  EXPECT_EQ(nullptr, OpenFileMappingA(FILE_MAP_READ, FALSE, mem.c_str()));
  EXPECT_EQ(nullptr, OpenEventA(SYNCHRONIZE, FALSE, evt.c_str()));
}

// ---- files -------------------------------------------------------------------

TEST(Win32Files, AppendFileIsTextModeAndSharedWithOthers) {
  kdl::test::TempFolder tmp("KvSeamFiles");
  ASSERT_FALSE(tmp.Path().empty());
  const std::string path = tmp.Path() + "\\host20261207.log";
  std::FILE* f = kdl::plat::OpenAppendShared(path);
  ASSERT_NE(nullptr, f);
  std::fputs("one\n", f);
  std::fflush(f);
  // A program the host starts does not inherit it.
  DWORD flags = HANDLE_FLAG_INHERIT;
  ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))), &flags));
  EXPECT_EQ(0u, flags & HANDLE_FLAG_INHERIT);

  // While the writer holds it, another process may read and append.
  HANDLE other = CreateFileA(path.c_str(), FILE_APPEND_DATA | GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, other);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(other, "two\r\n", 5, &written, nullptr));
  CloseHandle(other);

  std::fputs("three\n", f);
  std::fclose(f);
  std::string bytes;
  ASSERT_TRUE(kdl::test::ReadFileBytes(path, &bytes));
  EXPECT_EQ("one\r\ntwo\r\nthree\r\n", bytes);
}

TEST(Win32Files, FinderListsMatchingNamesWithoutDotEntries) {
  kdl::test::TempFolder tmp("KvSeamFind");
  ASSERT_FALSE(tmp.Path().empty());
  for (const char* name : {"host20261106.log", "host_old.log", "other.log", "host.txt"}) {
    ASSERT_TRUE(kdl::test::WriteFileText(tmp.Path() + "\\" + name, "x"));
  }
  std::vector<std::string> names = kdl::plat::ListDirectory(tmp.Path(), "host*.log");
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"host20261106.log", "host_old.log"}), names);
  // A trailing backslash on the folder is accepted.
  EXPECT_EQ(2u, kdl::plat::ListDirectory(tmp.Path() + "\\", "host*.log").size());
  names = kdl::plat::ListDirectory(tmp.Path(), "*");
  EXPECT_EQ(4u, names.size());
  EXPECT_TRUE(kdl::plat::DeleteFileAt(tmp.Path() + "\\other.log"));
  EXPECT_FALSE(kdl::plat::DeleteFileAt(tmp.Path() + "\\other.log"));
  EXPECT_TRUE(kdl::plat::ListDirectory(tmp.Path() + "\\missing", "*").empty());
}

// ---- calendar ------------------------------------------------------------------

// The cut-off date must agree with the system's calendar for every day of
// three decades and the spans a retention setting can take.
TEST(Win32Calendar, SubtractDaysAgreesWithFileTimeArithmetic) {
  int mismatches = 0;
  for (kdl::test::Date d{1999, 12, 31}; d.year < 2031;) {
    for (int days : {0, 1, 28, 29, 30, 31, 59, 365, 366, 1461}) {
      kdl::plat::LocalTime t;
      t.year = static_cast<uint16_t>(d.year);
      t.month = static_cast<uint16_t>(d.month);
      t.day = static_cast<uint16_t>(d.day);
      t.hour = 23;
      const kdl::plat::LocalTime r = kdl::plat::SubtractDays(t, static_cast<uint32_t>(days));
      const kdl::test::Date want = kdl::test::DaysBefore(d, days);
      SYSTEMTIME st = {};
      st.wYear = r.year, st.wMonth = r.month, st.wDay = r.day;
      FILETIME ft;
      SYSTEMTIME back;
      const bool weekdayOk = SystemTimeToFileTime(&st, &ft) && FileTimeToSystemTime(&ft, &back) &&
                             back.wDayOfWeek == r.dayOfWeek;
      if (kdl::test::Date{r.year, r.month, r.day} != want || !weekdayOk || r.hour != 23) {
        if (++mismatches <= 5) {
          ADD_FAILURE() << kdl::test::Digits(d) << " - " << days << " days: got "
                        << kdl::test::Digits({r.year, r.month, r.day}) << " dow " << r.dayOfWeek
                        << ", system says " << kdl::test::Digits(want);
        }
      }
    }
    const kdl::test::Date next = kdl::test::DaysBefore(d, -1);
    ASSERT_NE(0, next.year);
    d = next;
  }
  EXPECT_EQ(0, mismatches);
}
