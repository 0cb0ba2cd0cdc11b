// The fault proxy: accepts TCP connections, connects each to the upstream
// address and passes the bytes both ways through the toxics (Toxics.h). One
// Asio io_context on one thread drives everything.
//
// What it holds is bounded: at most `maxConnections` connections (further
// ones are closed at once), and per way of a connection at most
// `maxQueuedBytes` waiting bytes; beyond that it stops reading that way until
// half has gone, so a held or trickled way slows its sender instead of
// growing.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tools/faultproxy/Toxics.h"

namespace kdl::proxy {

struct ProxyConfig {
  std::string listenAddress = "127.0.0.1";
  uint16_t listenPort = 0;  // 0: a free port
  std::string upstreamAddress;
  uint16_t upstreamPort = 0;
  std::string toxicsFile;  // read at start and on SIGHUP; "" none
  std::string readyFile;   // "port=N" once listening
  uint32_t seed = 1;       // of the jitter and the flipped bits
  uint32_t maxConnections = 64;
  uint32_t maxQueuedBytes = 1u << 20;
  uint32_t connectTimeoutMs = 3000;
};

// Totals since the start.
struct ProxyStats {
  uint64_t connections = 0;       // accepted and connected upstream
  uint64_t refused = 0;           // closed at once: the connection limit
  uint64_t upstreamFailures = 0;  // the upstream did not accept
  uint64_t bytes[kWays] = {};     // passed on
  uint64_t flippedBits = 0;
  uint64_t cuts = 0;
  uint64_t resets = 0;
  uint64_t peakQueued = 0;        // most bytes waiting in one way at once
};

// Receives one finished event line.
using LineSink = std::function<void(const std::string&)>;

class CFaultProxy {
 public:
  CFaultProxy(asio::io_context& io, const ProxyConfig& config, LineSink log);
  ~CFaultProxy();

  // Listens and starts accepting. False with `error` on failure.
  bool Start(std::string* error);
  // Closes the listener and every connection.
  void Stop();
  // Replaces the toxics of every connection, old and new; their times count
  // from now.
  void SetToxics(const Toxics& toxics);

  uint16_t Port() const { return m_port; }
  const ProxyStats& Stats() const { return m_stats; }

 private:
  class Connection;
  using Clock = std::chrono::steady_clock;

  void Accept();
  void Admit(asio::ip::tcp::socket client);

  asio::io_context& m_io;
  const ProxyConfig& m_config;
  LineSink m_log;
  asio::ip::tcp::acceptor m_acceptor;
  asio::ip::tcp::endpoint m_upstream;
  uint16_t m_port = 0;
  Toxics m_toxics;
  Clock::time_point m_loaded;   // when m_toxics were set
  uint32_t m_generation = 0;    // counts SetToxics calls
  std::mt19937 m_random;
  ProxyStats m_stats;
  uint64_t m_nextId = 1;
  uint32_t m_open = 0;          // connections not yet closed
  std::shared_ptr<bool> m_alive;
  std::vector<std::weak_ptr<Connection>> m_connections;
};

}  // namespace kdl::proxy
