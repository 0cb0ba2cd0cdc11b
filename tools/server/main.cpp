// kelvane-server: a simulator of the diskless server's tool service, for
// trying out and testing hosts of the library.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "simulator/ImageStore.h"
#include "simulator/RequestHandler.h"
#include "simulator/SimServer.h"
#include "tools/cli/InstallPaths.h"
#include "tools/cli/Output.h"
#include "tools/cli/ToolArgs.h"
#include "tools/server/ServerArgs.h"

// The example images' places relative to this program
// (tools/server/CMakeLists.txt): as installed and as built.
#ifndef KELVANE_IMAGES_INSTALLED
#define KELVANE_IMAGES_INSTALLED "../share/kelvane/images.json"
#endif
#ifndef KELVANE_IMAGES_BUILT
#define KELVANE_IMAGES_BUILT KELVANE_IMAGES_INSTALLED
#endif

namespace {

using namespace kdl::sim;

const char kTool[] = "kelvane-server";

// The example images as installed, else as in the build tree; neither: the
// installed place, which the load failure then names.
std::string DefaultImages() {
  const std::string found =
      kdl::cli::FindBesideProgram({KELVANE_IMAGES_INSTALLED, KELVANE_IMAGES_BUILT});
  return found.empty() ? kdl::cli::ProgramFolder() + "/" + KELVANE_IMAGES_INSTALLED : found;
}

// Writes event lines to stdout, each after its local time and flushed at
// once so that a reader of a pipe sees it; remembers a failed write.
class EventLog {
 public:
  void operator()(const std::string& line) {
    const kdl::plat::LocalTime t = kdl::plat::GetLocalTimeNow();
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", t.year, t.month,
                  t.day, t.hour, t.minute, t.second, t.milliseconds);
    std::cout << stamp << line << '\n';
    if (m_ok) m_ok = kdl::cli::OutputWritten(std::cout, kTool);
  }
  bool Ok() const { return m_ok; }

 private:
  bool m_ok = true;
};

// Writes the ready file whole: a reader never sees half of it.
bool WriteReadyFile(const std::string& path, const CSimServer& server) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream f(temp, std::ios::trunc);
    f << "tcp_port=" << server.TcpPort() << "\nudp_port=" << server.UdpPort() << "\n";
    if (!f.flush()) return false;
  }
  if (std::rename(temp.c_str(), path.c_str()) == 0) return true;
  std::remove(path.c_str());  // Windows does not rename onto a file
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

// Serves until SIGINT, SIGTERM or SIGHUP; returns the exit status.
int Serve(const ServerConfig& config, ImageStore& store, EventLog& log) {
  asio::io_context io;
  CRequestHandler handler(store, config);
  CSimServer server(io, handler, config, [&log](const std::string& line) { log(line); });
  std::string error;
  if (!server.Start(&error)) {
    std::cerr << kTool << ": " << error << "\n";
    return kServerFailed;
  }
  log(std::string(kTool) + ": " + std::to_string(store.Images().size()) + " images from " +
      config.imagesFile + "; tool service on tcp " + config.bindAddress + ":" +
      std::to_string(server.TcpPort()) + ", discovery on udp 0.0.0.0:" +
      std::to_string(server.UdpPort()));
  for (const std::string& note : store.SharedSnapshotIds()) log(std::string(kTool) + ": note: " + note);
  if (!config.readyFile.empty() && !WriteReadyFile(config.readyFile, server)) {
    std::cerr << kTool << ": cannot write the ready file " << config.readyFile << "\n";
    return kServerFailed;
  }

  asio::signal_set signals(io, SIGINT, SIGTERM);
#ifdef SIGHUP
  signals.add(SIGHUP);  // a closed terminal stops it as cleanly as Ctrl-C
#endif
  signals.async_wait([&](asio::error_code ec, int sig) {
    if (ec) return;
    log(std::string(kTool) + ": stopping on signal " + std::to_string(sig));
    server.Stop();
    io.stop();
  });
  io.run();
  if (!config.readyFile.empty()) std::remove(config.readyFile.c_str());
  return log.Ok() ? kServerOk : kServerFailed;
}

}  // namespace

int main(int argc, char** argv) {
  ServerConfig config;
  const kdl::cli::ParseResult parsed =
      ParseServerArgs(std::vector<std::string>(argv + 1, argv + argc), DefaultImages(), &config);
  if (parsed.kind != kdl::cli::ParseResult::kRun)
    return kdl::cli::ReportParse(parsed, kTool, kServerFailed, std::cout, std::cerr);

  ImageStore store;
  std::string error;
  if (!store.LoadFile(config.imagesFile, &error)) {
    std::cerr << kTool << ": " << error << "\n";
    return kServerUsage;
  }
  EventLog log;
  return Serve(config, store, log);
}
