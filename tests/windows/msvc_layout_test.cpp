// The DLL for Visual C++ hosts as such a host reads it, through the layout
// facts alone (tests/windows/MsvcLayoutReader.h): before any reply, after a
// session against the simulator on 127.0.0.1 (nothing broadcast: the test
// writes the server's address into GetDiscoverInfo(), as a host that knows
// its server may) and after StopServer. Every block is the process heap's.
#include <windows.h>

#include <gtest/gtest.h>

#include "client/KelvaneDll.h"
#include "tests/windows/MsvcLayoutReader.h"
#include "tests/windows/WinTestSupport.h"

namespace msr = kdl::test::msvcread;

namespace {

// An export of the DLL beside this program; a getter's reference is a pointer.
template <class Fn = void* (*)()>
Fn Export(const char* name) {
  static HMODULE lib =
      LoadLibraryA((kdl::test::DirOf(kdl::test::ModulePath()) + "\\KelvaneDll.dll").c_str());
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
}

// The nodes of a container after the reader's checks, each a process heap block.
std::vector<msr::Node> Read(const char* getter) {
  std::vector<msr::Node> nodes;
  void* object = Export(getter)();
  const bool list = getter == std::string("GetListImageInfo");
  EXPECT_EQ("", list ? msr::ReadList(object, &nodes) : msr::ReadMap(object, &nodes));
  EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, msr::Read(object, 0)));
  const size_t size = list ? 2 * msr::P + 80 : msr::kKey + 4 + 308;  // the records' sizes
  for (msr::Node n : nodes) EXPECT_LE(size, HeapSize(GetProcessHeap(), 0, n));
  return nodes;
}

}  // namespace

TEST(MsvcLayout, EmptyBeforeFirstReply) {
  ASSERT_NE(nullptr, Export("GetListImageInfo")) << "no KelvaneDll.dll beside the test";
  EXPECT_EQ(0u, Read("GetListImageInfo").size() + Read("GetMapSnapInfo").size());
}

TEST(MsvcLayout, SessionAgainstSimulator) {
  // Images 40, 9, 23; snapshot 7 in the first two (the first one wins).
  const std::vector<uint32_t> images = {40, 9, 23};
  const std::vector<std::vector<uint32_t>> snaps = {
      {50, 7, 31, 12, 99, 3, 64}, {7, 18, 27, 40, 81, 5, 2}, {15, 90, 1, 44, 58, 23, 77}};
  std::string json = "{\"images\": [";
  std::map<uint32_t, uint32_t> want;  // snapshot -> image
  for (size_t i = 0; i < images.size(); ++i) {
    json += (i ? "]}, {\"id\": " : "{\"id\": ") + std::to_string(images[i]) + ", \"name\": \"i" +
            std::to_string(images[i]) + "\", \"snapshots\": [";
    for (uint32_t s : snaps[i]) {
      json += (s == snaps[i][0] ? "{\"id\": " : ", {\"id\": ") + std::to_string(s) + "}";
      want.emplace(s, images[i]);
    }
  }
  kdl::test::TempFolder dir("KvMsvcLayout");
  const std::string ready = dir.Path() + "\\ready", file = dir.Path() + "\\images.json";
  PROCESS_INFORMATION sim = {};  // the simulator: its images, on 127.0.0.1, any free port
  ASSERT_TRUE(kdl::test::WriteFileText(file, json + "]}]}"));
  ASSERT_TRUE(kdl::test::StartProcess(
      kdl::test::DirOf(kdl::test::ModulePath()) + "\\" KELVANE_SERVER_EXE,
      "--bind 127.0.0.1 --port 0 --udp-port 0 --images \"" + file + "\" --ready-file \"" + ready +
          "\"",
      &sim));
  std::string text;
  for (int i = 0; i < 600 && text.find("udp_port=") == std::string::npos; ++i, Sleep(50)) {
    kdl::test::ReadFileBytes(ready, &text);
  }
  const uint16_t port = static_cast<uint16_t>(std::atoi(text.c_str() + text.find('=') + 1));
  const bool started = port != 0 && Export<decltype(&::StartServer)>("StartServer")(nullptr);
  if (started) {
    *static_cast<Kelvane::_IN_DISCOVER_INFO*>(Export("GetDiscoverInfo")()) = {port, 0x7F000001};
    auto ask = Export<decltype(&::SendAskPack)>("SendAskPack");
    char name[] = "msvc-reader";
    EXPECT_EQ(0, ask(KELVANE_ASK_LOGIN, name));
    EXPECT_EQ(0, ask(KELVANE_ASK_IMAGE_LIST, nullptr));
    EXPECT_EQ(0, ask(KELVANE_ASK_IMAGE_INFO, nullptr));
  }
  kdl::test::FinishProcess(&sim, 0);
  ASSERT_TRUE(started) << KELVANE_SERVER_EXE " did not start, or no local address";

  const std::vector<msr::Node> list = Read("GetListImageInfo"), map = Read("GetMapSnapInfo");
  ASSERT_EQ(images.size(), list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(images[i], msr::Read<Kelvane::_IN_IMAGE_INFO>(list[i], 2 * msr::P).ImageId);
  }
  ASSERT_EQ(want.size(), map.size());
  auto it = want.begin();
  for (msr::Node n : map) {
    const auto snap = msr::Read<Kelvane::_IN_SNAP_INFO>(n, msr::kKey + 4);
    EXPECT_EQ(it->first, msr::Key(n) == snap.SnapshotId ? snap.SnapshotId : 0);
    EXPECT_EQ((it++)->second, snap.ImageId);
  }
  Export<decltype(&::StopServer)>("StopServer")();
  EXPECT_EQ(0u, Read("GetListImageInfo").size() + Read("GetMapSnapInfo").size());
}
