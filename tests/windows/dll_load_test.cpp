// KelvaneDll.dll as a host sees it: loaded with LoadLibraryA from beside the
// host, exactly the nine exports in its export table, resolved by plain name,
// only system DLLs imported (the compiler's runtime is linked in), and the
// calls that need no server. Its log is named after the host, not the DLL.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "client/KelvaneDll.h"
#include "platform/LocalAddress.h"
#include "tests/windows/WinTestSupport.h"

namespace {

const std::set<std::string> kExports = {
    "StartServer",     "StopServer",    "SendAskPack",    "GetListImageInfo", "GetMapSnapInfo",
    "GetSelectImageInfo", "GetDiscoverInfo", "GetClientInfo", "GetLastErrCode"};

HMODULE Library() {
  static HMODULE lib =
      LoadLibraryA((kdl::test::DirOf(kdl::test::ModulePath()) + "\\KelvaneDll.dll").c_str());
  return lib;
}

template <class Fn>
Fn Export(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(Library(), name)));
}

// The headers of a module of this program's own word size (PE32 for a 32-bit
// host, PE32+ for a 64-bit one): a host can load no other.
const IMAGE_NT_HEADERS* Headers(HMODULE module) {
  const auto* base = reinterpret_cast<const unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const bool wide = sizeof(void*) == 8;
  const WORD magic = wide ? IMAGE_NT_OPTIONAL_HDR64_MAGIC : IMAGE_NT_OPTIONAL_HDR32_MAGIC;
  const WORD machine = wide ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
  const bool ours = nt->Signature == IMAGE_NT_SIGNATURE && nt->OptionalHeader.Magic == magic &&
                    nt->FileHeader.Machine == machine;
  return ours ? nt : nullptr;
}

void OnTcpClosed() {}

}  // namespace

TEST(KelvaneDll, ExportTableHoldsExactlyTheNineNames) {
  HMODULE lib = Library();
  ASSERT_NE(nullptr, lib) << "LoadLibraryA failed: " << GetLastError();
  const IMAGE_NT_HEADERS* nt = Headers(lib);
  ASSERT_NE(nullptr, nt);
  const IMAGE_DATA_DIRECTORY& dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(0u, dir.VirtualAddress);
  const auto* base = reinterpret_cast<const unsigned char*>(lib);
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  EXPECT_EQ(9u, exports->NumberOfFunctions);
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  std::set<std::string> found;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    found.insert(reinterpret_cast<const char*>(base + names[i]));
  }
  EXPECT_EQ(kExports, found);

  for (const std::string& name : kExports) {
    EXPECT_NE(nullptr, GetProcAddress(lib, name.c_str())) << name;
  }
  for (const char* inner : {"GetNetManager", "_Z13GetNetManagerv", "TcpCreate", "UdpInit",
                            "LogPrint", "_Z8LogPrintjPKcz"}) {
    EXPECT_EQ(nullptr, GetProcAddress(lib, inner)) << inner;
  }
}

// A plain Windows needs nothing beside the DLL: every DLL it imports is one
// of the system's.
TEST(KelvaneDll, ImportsOnlySystemLibraries) {
  HMODULE lib = Library();
  ASSERT_NE(nullptr, lib);
  const IMAGE_NT_HEADERS* nt = Headers(lib);
  ASSERT_NE(nullptr, nt);
  const IMAGE_DATA_DIRECTORY& dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(0u, dir.VirtualAddress);
  const auto* base = reinterpret_cast<const unsigned char*>(lib);
  char system[MAX_PATH];
  ASSERT_NE(0u, GetSystemDirectoryA(system, sizeof(system)));
  std::set<std::string> imported;
  for (const auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       d->Name != 0; ++d) {
    const std::string name = kdl::test::Lower(reinterpret_cast<const char*>(base + d->Name));
    imported.insert(name);
    EXPECT_EQ(std::string::npos, name.find("libstdc++")) << name;
    EXPECT_EQ(std::string::npos, name.find("libgcc")) << name;
    EXPECT_EQ(std::string::npos, name.find("pthread")) << name;
    EXPECT_TRUE(kdl::test::FileExists(std::string(system) + "\\" + name)) << name;
  }
  EXPECT_EQ(1u, imported.count("iphlpapi.dll"));  // the local address
  EXPECT_EQ(1u, imported.count("ws2_32.dll"));    // the transport
}

TEST(KelvaneDll, CallsWithoutServer) {
  ASSERT_NE(nullptr, Library());
  auto startServer = Export<decltype(&::StartServer)>("StartServer");
  auto stopServer = Export<decltype(&::StopServer)>("StopServer");
  auto sendAskPack = Export<decltype(&::SendAskPack)>("SendAskPack");
  auto getLastErrCode = Export<decltype(&::GetLastErrCode)>("GetLastErrCode");
  auto getListImageInfo = Export<decltype(&::GetListImageInfo)>("GetListImageInfo");
  auto getMapSnapInfo = Export<decltype(&::GetMapSnapInfo)>("GetMapSnapInfo");
  ASSERT_TRUE(startServer && stopServer && sendAskPack && getLastErrCode && getListImageInfo &&
              getMapSnapInfo);

  // Nothing is sent before a start.
  EXPECT_EQ(1, getLastErrCode());
  EXPECT_EQ(1, sendAskPack(KELVANE_ASK_HEARTBEAT, nullptr));
  EXPECT_EQ(1, sendAskPack(KELVANE_ASK_DISCOVER, nullptr));
  stopServer();
  EXPECT_TRUE(getListImageInfo().empty());
  EXPECT_TRUE(getMapSnapInfo().empty());

  // A start succeeds exactly when this machine's tables yield a local address.
  char address[32] = {};
  const bool haveAddress = kdl::plat::PickLocalAddress(address);
  ASSERT_EQ(haveAddress, startServer(OnTcpClosed));
  if (!haveAddress) {
    std::printf("no local address from the tables here: start not exercised\n");
    return;
  }
  std::printf("local address: %s\n", address);
  EXPECT_TRUE(startServer(OnTcpClosed));  // already started

  // Requests that fail before any traffic, each logged under the host's name.
  const std::string marker = "type:" + std::to_string(4000 + GetCurrentProcessId() % 1000);
  const kdl::test::Date before = kdl::test::Today();
  EXPECT_EQ(1, sendAskPack(4000 + GetCurrentProcessId() % 1000, nullptr));
  const kdl::test::Date after = kdl::test::Today();
  EXPECT_EQ(1, sendAskPack(KELVANE_ASK_LOGIN, nullptr));
  stopServer();
  EXPECT_EQ(1, sendAskPack(KELVANE_ASK_HEARTBEAT, nullptr));

  const std::string logDir = kdl::test::DirOf(kdl::test::ModulePath()) + "\\Log\\";
  std::string content;
  ASSERT_TRUE(kdl::test::ReadFileBytes(logDir + "dll_load_tests" + kdl::test::Digits(after) + ".log",
                                     &content) ||
              kdl::test::ReadFileBytes(logDir + "dll_load_tests" + kdl::test::Digits(before) + ".log",
                                     &content));
  EXPECT_NE(std::string::npos,
            content.find("]|[Warning]|SendAskPack cann't ask package " + marker + ".\r\n"));
  EXPECT_NE(std::string::npos,
            content.find("]|[Warning]|SendAskPack type:2 without parameter.\r\n"));
}
