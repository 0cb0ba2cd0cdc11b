// kelvane-server: a simulator of the diskless server's tool service, for
// trying out and testing hosts of the library.
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tools/server/ImageStore.h"
#include "tools/server/RequestHandler.h"
#include "tools/server/ServerConfig.h"
#include "tools/server/SimServer.h"

#ifndef KELVANE_DEFAULT_IMAGES
#define KELVANE_DEFAULT_IMAGES "tools/examples/images.json"
#endif

int main(int argc, char** argv) {
  using namespace kdl::sim;
  std::vector<std::string> args(argv + 1, argv + argc);
  ServerConfig config;
  ParseOutcome parsed = ParseServerArgs(args, KELVANE_DEFAULT_IMAGES, &config);
  if (parsed.help) {
    std::cout << ServerUsage();
    return 0;
  }
  if (!parsed.ok) {
    std::cerr << "kelvane-server: " << parsed.error << "\n(kelvane-server --help lists the options)\n";
    return 2;
  }

  ImageStore store;
  std::string error;
  if (!store.LoadFile(config.imagesFile, &error)) {
    std::cerr << "kelvane-server: " << error << "\n";
    return 2;
  }

  asio::io_context io;
  CRequestHandler handler(store, config);
  // One line per event, flushed at once so that a reader of a pipe sees it.
  CSimServer server(io, handler, config, [](const std::string& line) {
    std::cout << line << std::endl;
  });
  if (!server.Start(&error)) {
    std::cerr << "kelvane-server: " << error << "\n";
    return 1;
  }
  std::cout << "kelvane-server: " << store.Images().size() << " images from "
            << config.imagesFile << "; tool service on tcp " << config.bindAddress << ":"
            << server.TcpPort() << ", discovery on udp 0.0.0.0:" << server.UdpPort()
            << std::endl;

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](asio::error_code ec, int sig) {
    if (ec) return;
    std::cout << "kelvane-server: stopping on signal " << sig << std::endl;
    server.Stop();
    io.stop();
  });
  io.run();
  return 0;
}
