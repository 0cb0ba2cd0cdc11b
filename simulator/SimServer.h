// The simulator's sockets: the discovery endpoint on UDP and the tool
// service on TCP, both driven by one Asio io_context on one thread.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "simulator/RequestHandler.h"
#include "simulator/ServerConfig.h"

namespace kdl::sim {

// Receives one finished request-log line.
using LineSink = std::function<void(const std::string&)>;

// Owns the listening sockets and the TCP sessions.
class CSimServer {
 public:
  CSimServer(asio::io_context& io, CRequestHandler& handler, const ServerConfig& config,
             LineSink log);
  ~CSimServer();

  // Binds both sockets and starts serving. False with `error` on failure.
  bool Start(std::string* error);
  // Closes the listening sockets and every open link.
  void Stop();

  uint16_t TcpPort() const { return m_tcpPort; }
  uint16_t UdpPort() const { return m_udpPort; }

 private:
  class Session;
  static constexpr uint32_t kAcceptRetryMs = 100;
  void Accept();
  void AcceptLater(const asio::error_code& ec);
  // Starts a session on an accepted link, or closes it at the link limit.
  void Admit(asio::ip::tcp::socket socket);
  void ReceiveDatagram();

  asio::io_context& m_io;
  CRequestHandler& m_handler;
  const ServerConfig& m_config;
  LineSink m_log;
  asio::ip::tcp::acceptor m_acceptor;
  asio::steady_timer m_acceptTimer;  // the pause after a failed accept
  uint32_t m_acceptFailures = 0;     // failed accepts in a row
  uint32_t m_openLinks = 0;          // sessions not yet closed
  asio::ip::udp::socket m_udp;
  asio::ip::udp::endpoint m_udpSender;
  uint8_t m_udpBuf[65536];
  uint16_t m_tcpPort = 0;
  uint16_t m_udpPort = 0;
  std::shared_ptr<bool> m_alive;  // cleared by Stop(); sessions look at it
  std::vector<std::weak_ptr<Session>> m_sessions;
};

}  // namespace kdl::sim
