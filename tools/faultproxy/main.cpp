// kelvane-faultproxy: a TCP proxy that delays, trickles, holds, corrupts, cuts
// and resets the bytes between a host and the simulator, for soaking hosts
// under a bad network. The toxics come from a file, read again on SIGHUP.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tools/cli/Output.h"
#include "tools/cli/ToolArgs.h"
#include "tools/faultproxy/FaultProxy.h"

namespace {

using namespace kdl::proxy;

const char kTool[] = "kelvane-faultproxy";

enum ProxyStatus { kProxyOk = 0, kProxyFailed = 1, kProxyUsage = kdl::cli::kExitUsage };

// Writes event lines to stdout after their local time, flushed at once.
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

// "ADDR:PORT" into its parts; a CLI11 validation error otherwise.
void ParseEndpoint(const std::string& option, const std::string& text, std::string* address,
                   uint16_t* port) {
  const size_t colon = text.rfind(':');
  uint32_t n = 0;
  if (colon == std::string::npos || colon == 0 ||
      !kdl::cli::ParseU32(text.substr(colon + 1), &n) || n > 65535)
    throw CLI::ValidationError(option, "expected ADDRESS:PORT, got \"" + text + "\"");
  *address = text.substr(0, colon);
  *port = static_cast<uint16_t>(n);
}

kdl::cli::ParseResult ParseArgs(int argc, char** argv, ProxyConfig* c) {
  CLI::App app;
  kdl::cli::SetUpApp(app, kTool,
                     "Passes TCP connections on to an upstream address through toxics: latency "
                     "with jitter, a bandwidth limit, held bytes released at once, flipped "
                     "bits, cuts after N bytes, slow closes and resets. Writes one line per "
                     "event to stdout, each with its local time.");
  app.footer(
      "The toxics file holds one toxic per line (# starts a comment):\n"
      "  latency ms=MS jitter=MS [dir=both]\n  bandwidth rate=BYTES_PER_S [dir=down]\n"
      "  hold ms=MS pass=MS [dir=down]\n  corrupt every=BYTES [dir=down]\n"
      "  cut bytes=N [dir=both]\n  slow-close ms=MS\n  reset ms=MS\n"
      "dir is up (client to upstream), down or both. SIGHUP reads the file again; the new "
      "toxics apply to every connection, their times counted from then.\n\n"
      "Exit status: 0 after SIGINT or SIGTERM, 1 when it cannot listen or write its output, "
      "2 for a usage error or a bad toxics file at the start.");
  const ProxyConfig d;
  const auto listen = [c](const std::string& v) {
    ParseEndpoint("--listen", v, &c->listenAddress, &c->listenPort);
  };
  const auto upstream = [c](const std::string& v) {
    ParseEndpoint("--upstream", v, &c->upstreamAddress, &c->upstreamPort);
  };
  app.add_option_function<std::string>(
         "--listen", listen,
         "Address and port to listen on (default " + d.listenAddress + ":0, a free port)")
      ->type_name("ADDR:PORT");
  app.add_option_function<std::string>("--upstream", upstream,
                                       "Where each connection is passed on to")
      ->type_name("ADDR:PORT")
      ->required();
  app.add_option("--toxics", c->toxicsFile, "The toxics file (default none: a clean pass)")
      ->type_name("FILE");
  app.add_option("--ready-file", c->readyFile,
                 "Once listening, write port=N to PATH (removed when it stops)")
      ->type_name("PATH");
  using kdl::cli::AddNumber;
  AddNumber(&app, "--seed", &c->seed, "Seed of the jitter and the flipped bits (default 1)");
  AddNumber(&app, "--max-connections", &c->maxConnections,
            "Close further connections at once (default " +
                std::to_string(d.maxConnections) + ")");
  AddNumber(&app, "--max-queued-bytes", &c->maxQueuedBytes,
            "Bytes one way of a connection may hold before it stops reading (default " +
                std::to_string(d.maxQueuedBytes) + ")");
  AddNumber(&app, "--connect-timeout", &c->connectTimeoutMs,
            "Give up connecting upstream after MS (default " +
                std::to_string(d.connectTimeoutMs) + ")")
      ->type_name("MS");
  kdl::cli::ParseResult r = kdl::cli::ParseArgs(app, argc, argv);
  if (r.kind == kdl::cli::ParseResult::kRun &&
      (c->maxConnections == 0 || c->maxQueuedBytes == 0)) {
    r.kind = kdl::cli::ParseResult::kUsageError;
    r.text = "--max-connections and --max-queued-bytes must be at least 1";
  }
  return r;
}

// Reads and parses the toxics file; false with `error`.
bool LoadToxics(const std::string& path, Toxics* t, std::string* error) {
  if (path.empty()) {
    *t = Toxics();
    return true;
  }
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.is_open() || in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  if (!ParseToxics(text, t, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

std::string Summary(const ProxyStats& s) {
  return std::string(kTool) + ": " + std::to_string(s.connections) + " connections, " +
         std::to_string(s.refused) + " refused, " + std::to_string(s.upstreamFailures) +
         " upstream failures; bytes up " + std::to_string(s.bytes[kUp]) + ", down " +
         std::to_string(s.bytes[kDown]) + "; " + std::to_string(s.flippedBits) +
         " bits flipped, " + std::to_string(s.cuts) + " cuts, " + std::to_string(s.resets) +
         " resets; at most " + std::to_string(s.peakQueued) + " bytes queued one way";
}

// Lists the toxics on one line.
std::string OneLine(const Toxics& t) {
  std::string s = t.Describe();
  for (char& ch : s)
    if (ch == '\n') ch = ';';
  return s.substr(0, s.size() - 1);
}

bool WriteReadyFile(const std::string& path, uint16_t port) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream f(temp, std::ios::trunc);
    f << "port=" << port << "\n";
    if (!f.flush()) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

int Serve(const ProxyConfig& config, const Toxics& first, EventLog& log) {
  asio::io_context io;
  CFaultProxy proxy(io, config, [&log](const std::string& line) { log(line); });
  std::string error;
  if (!proxy.Start(&error)) {
    std::cerr << kTool << ": " << error << "\n";
    return kProxyFailed;
  }
  proxy.SetToxics(first);
  log(std::string(kTool) + ": listening on tcp " + config.listenAddress + ":" +
      std::to_string(proxy.Port()) + ", upstream " + config.upstreamAddress + ":" +
      std::to_string(config.upstreamPort) + "; toxics: " + OneLine(first));
  if (!config.readyFile.empty() && !WriteReadyFile(config.readyFile, proxy.Port())) {
    std::cerr << kTool << ": cannot write the ready file " << config.readyFile << "\n";
    return kProxyFailed;
  }
  asio::signal_set stop(io, SIGINT, SIGTERM);
  stop.async_wait([&](asio::error_code ec, int sig) {
    if (ec) return;
    log(std::string(kTool) + ": stopping on signal " + std::to_string(sig));
    proxy.Stop();
    io.stop();
  });
  asio::signal_set reload(io, SIGHUP);
  std::function<void()> awaitReload = [&] {
    reload.async_wait([&](asio::error_code ec, int) {
      if (ec) return;
      Toxics t;
      std::string why;
      if (LoadToxics(config.toxicsFile, &t, &why)) {
        proxy.SetToxics(t);
        log(std::string(kTool) + ": toxics: " + OneLine(t));
      } else {
        log(std::string(kTool) + ": toxics kept, " + why);
      }
      awaitReload();
    });
  };
  awaitReload();
  io.run();
  log(Summary(proxy.Stats()));
  if (!config.readyFile.empty()) std::remove(config.readyFile.c_str());
  return log.Ok() ? kProxyOk : kProxyFailed;
}

}  // namespace

int main(int argc, char** argv) {
  ProxyConfig config;
  const kdl::cli::ParseResult parsed = ParseArgs(argc, argv, &config);
  if (parsed.kind != kdl::cli::ParseResult::kRun)
    return kdl::cli::ReportParse(parsed, kTool, kProxyFailed, std::cout, std::cerr);
  Toxics first;
  std::string error;
  if (!LoadToxics(config.toxicsFile, &first, &error)) {
    std::cerr << kTool << ": " << error << "\n";
    return kProxyUsage;
  }
  // A client gone mid-write must not end the proxy.
  std::signal(SIGPIPE, SIG_IGN);
  EventLog log;
  return Serve(config, first, log);
}
