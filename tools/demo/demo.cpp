// kelvane-demo: a minimal host. It loads libKelvaneDll.so with dlopen,
// resolves the nine exports by name, starts the service, makes two requests
// that need no server (an unknown request type and a keep-alive without a
// link), shows the records, stops the service and points at the log file.
// It sends nothing on the network: no discovery broadcast is made.
//
//   kelvane-demo [path/to/libKelvaneDll.so]
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/KelvaneDll.h"

namespace {

// The exports, as a host resolves them.
struct Exports {
  decltype(&::StartServer) StartServer = nullptr;
  decltype(&::StopServer) StopServer = nullptr;
  decltype(&::SendAskPack) SendAskPack = nullptr;
  decltype(&::GetListImageInfo) GetListImageInfo = nullptr;
  decltype(&::GetMapSnapInfo) GetMapSnapInfo = nullptr;
  decltype(&::GetSelectImageInfo) GetSelectImageInfo = nullptr;
  decltype(&::GetDiscoverInfo) GetDiscoverInfo = nullptr;
  decltype(&::GetClientInfo) GetClientInfo = nullptr;
  decltype(&::GetLastErrCode) GetLastErrCode = nullptr;
};

template <class Fn>
bool Resolve(void* lib, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(dlsym(lib, name));
  std::printf("  %-20s %s\n", name, out ? "found" : "MISSING");
  return out != nullptr;
}

void OnTcpClosed() { std::printf("  (host callback: the TCP link closed)\n"); }

std::string ExecutableDir() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

std::string ExecutableName() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("kelvane-demo") : exe.filename().string();
}

// Prints the daily log files the library wrote beside this program and the
// tail of the newest one.
void ShowLog() {
  const std::filesystem::path dir = std::filesystem::path(ExecutableDir()) / "Log";
  const std::string prefix = ExecutableName();
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0 && entry.path().extension() == ".log")
      files.push_back(entry.path());
  }
  std::printf("\nLog folder: %s\n", dir.string().c_str());
  if (files.empty()) {
    std::printf("  (no daily log file yet)\n");
    return;
  }
  std::sort(files.begin(), files.end());
  for (const auto& f : files) std::printf("  %s\n", f.filename().string().c_str());
  std::ifstream in(files.back());
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const size_t from = lines.size() > 5 ? lines.size() - 5 : 0;
  std::printf("Last lines of %s:\n", files.back().filename().string().c_str());
  for (size_t i = from; i < lines.size(); ++i) std::printf("  %s\n", lines[i].c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : KELVANE_DLL_PATH;
  std::printf("Loading %s\n", path);
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "dlopen failed: %s\n", dlerror());
    return 1;
  }

  Exports x;
  std::printf("Resolving the exports:\n");
  bool ok = Resolve(lib, "StartServer", x.StartServer) &
            Resolve(lib, "StopServer", x.StopServer) &
            Resolve(lib, "SendAskPack", x.SendAskPack) &
            Resolve(lib, "GetListImageInfo", x.GetListImageInfo) &
            Resolve(lib, "GetMapSnapInfo", x.GetMapSnapInfo) &
            Resolve(lib, "GetSelectImageInfo", x.GetSelectImageInfo) &
            Resolve(lib, "GetDiscoverInfo", x.GetDiscoverInfo) &
            Resolve(lib, "GetClientInfo", x.GetClientInfo) &
            Resolve(lib, "GetLastErrCode", x.GetLastErrCode);
  if (!ok) return 1;

  const bool started = x.StartServer(OnTcpClosed);
  std::printf("\nStartServer -> %s\n", started ? "true" : "false");
  if (!started)
    std::printf("  (no local IPv4 address: the first operational interface has no adapter\n"
                "   with an address; the requests below return 1 without logging)\n");

  const int unknown = x.SendAskPack(42, nullptr);
  std::printf("SendAskPack(42, null) -> %d   (no such request type; logged as a warning)\n",
              unknown);
  const int heartbeat = x.SendAskPack(KELVANE_ASK_HEARTBEAT, nullptr);
  std::printf("SendAskPack(%u, null) -> %d   (keep-alive without a TCP link)\n",
              static_cast<unsigned>(KELVANE_ASK_HEARTBEAT), heartbeat);

  std::printf("GetLastErrCode -> %d   (1: no request has had a reply)\n", x.GetLastErrCode());
  const Kelvane::_IN_DISCOVER_INFO& discover = x.GetDiscoverInfo();
  std::printf("GetDiscoverInfo -> server %u.%u.%u.%u port %u (nothing discovered)\n",
              discover.ServerIP >> 24, (discover.ServerIP >> 16) & 0xFF,
              (discover.ServerIP >> 8) & 0xFF, discover.ServerIP & 0xFF,
              static_cast<unsigned>(discover.ServerPort));
  std::printf("GetListImageInfo -> %zu images, GetMapSnapInfo -> %zu snapshots\n",
              x.GetListImageInfo().size(), x.GetMapSnapInfo().size());

  x.StopServer();
  std::printf("StopServer done\n");
  std::fflush(stdout);
  ShowLog();
  // The library stays loaded until the process ends, as in a host.
  return unknown == 1 && heartbeat == 1 ? 0 : 1;
}
