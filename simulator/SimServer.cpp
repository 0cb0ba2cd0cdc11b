#include "simulator/SimServer.h"

#include <deque>

#include "protocol/PacketFramer.h"

namespace kdl::sim {

namespace {
using PacketZVDiskless::CPacketFramer;

std::string EndpointText(const asio::ip::address& a, uint16_t port) {
  return a.to_string() + ":" + std::to_string(port);
}
uint32_t Ipv4Number(const asio::ip::address& a) {
  return a.is_v4() ? a.to_v4().to_uint() : 0;
}
}  // namespace

// One accepted TCP link: reads frames, answers them one after another (so a
// delayed reply also holds back later ones) and writes replies in order.
// What a link may hold is bounded: while a delayed reply waits nothing more
// is read, and a link whose unsent replies pass the limit is closed.
class CSimServer::Session : public std::enable_shared_from_this<CSimServer::Session> {
 public:
  Session(CSimServer& server, asio::ip::tcp::socket socket)
      : m_server(server),
        m_socket(std::move(socket)),
        m_timer(server.m_io),
        m_idleTimer(server.m_io),
        m_framer(server.m_config.maxFrameLength) {
    asio::error_code ec;
    auto remote = m_socket.remote_endpoint(ec);
    auto local = m_socket.local_endpoint(ec);
    m_ctx.udp = false;
    m_ctx.peer = EndpointText(remote.address(), remote.port());
    m_ctx.serverIp = Ipv4Number(local.address());
    m_ctx.tcpPort = server.m_tcpPort;
  }

  void Start() {
    ++m_server.m_openLinks;
    m_server.m_log("tcp " + m_ctx.peer + " connected");
    m_lastReceived = std::chrono::steady_clock::now();
    WatchIdle();
    Read();
  }

  void Close(const std::string& why) {
    if (m_closed) return;
    m_closed = true;
    --m_server.m_openLinks;
    if (!why.empty()) m_server.m_log("tcp " + m_ctx.peer + " " + why);
    asio::error_code ec;
    m_timer.cancel();
    m_idleTimer.cancel();
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    m_socket.close(ec);
  }

 private:
  // Closes the link once it has sent nothing for the configured time; a
  // reply held back by a delay fault counts as activity.
  void WatchIdle() {
    const uint32_t idleMs = m_server.m_config.idleCloseMs;
    if (idleMs == 0 || m_closed) return;
    const auto limit = std::chrono::milliseconds(idleMs);
    if (m_waiting) m_lastReceived = std::chrono::steady_clock::now();
    if (std::chrono::steady_clock::now() - m_lastReceived >= limit) {
      Close("sent nothing for " + std::to_string(idleMs) + " ms, link closed");
      return;
    }
    m_idleTimer.expires_at(m_lastReceived + limit);
    auto self = shared_from_this();
    m_idleTimer.async_wait([this, self](asio::error_code ec) {
      if (!ec) WatchIdle();
    });
  }

  void Read() {
    auto self = shared_from_this();
    m_socket.async_read_some(asio::buffer(m_buf), [this, self](asio::error_code ec, size_t n) {
      if (m_closed) return;
      if (ec) {
        Close(ec == asio::error::eof ? "closed by the peer" : "link error: " + ec.message());
        return;
      }
      m_lastReceived = std::chrono::steady_clock::now();
      m_framer.Append(m_buf, n);
      std::vector<uint8_t> frame;
      uint32_t length = 0;
      for (;;) {
        auto st = m_framer.Next(&frame, &length);
        if (st == CPacketFramer::Result::kNeedMore) break;
        if (st == CPacketFramer::Result::kBadLength) {
          Close("sent a head with Length " + std::to_string(length) + ", link closed");
          return;
        }
        m_pending.push_back(std::move(frame));
      }
      Serve();
      // A delayed reply holds back the rest: read on once it has gone.
      if (!m_closed && !m_waiting) Read();
    });
  }

  // Answers pending requests until one waits for its delay.
  void Serve() {
    while (!m_closed && !m_waiting && !m_pending.empty() && !m_closing) {
      std::vector<uint8_t> frame = std::move(m_pending.front());
      m_pending.pop_front();
      Reply r = m_server.m_handler.Handle(frame.data(), frame.size(), m_ctx);
      m_server.m_log(r.logLine);
      if (r.loggedIn) m_ctx.loggedIn = true;
      m_ctx.tags = r.tags;
      ++m_served;
      if (r.send && r.delayMs) {
        m_waiting = true;
        auto self = shared_from_this();
        auto bytes = std::make_shared<std::vector<uint8_t>>(std::move(r.bytes));
        m_timer.expires_after(std::chrono::milliseconds(r.delayMs));
        m_timer.async_wait([this, self, bytes](asio::error_code ec) {
          if (ec || m_closed) return;
          m_waiting = false;
          Write(std::move(*bytes));
          AfterServed();
          Serve();
          if (!m_closed && !m_waiting) Read();
        });
        return;
      }
      if (r.send) Write(std::move(r.bytes));
      AfterServed();
    }
  }

  void AfterServed() {
    uint32_t limit = m_server.m_config.closeAfter;
    if (limit && m_served >= limit && !m_closing) {
      m_closing = true;
      if (!m_writing) Close("closed after " + std::to_string(m_served) + " requests [fault]");
    }
  }

  // Queues a reply. A client that does not read its replies would make the
  // queue grow without end: past the limit the link is closed instead (one
  // reply is always taken, however large).
  void Write(std::vector<uint8_t> bytes) {
    if (m_closed) return;
    if (m_queued > 0 && m_queued + bytes.size() > m_server.m_config.maxQueuedBytes) {
      Close("does not read its replies (" + std::to_string(m_queued) +
            " bytes unsent), link closed");
      return;
    }
    m_queued += bytes.size();
    m_writes.push_back(std::move(bytes));
    if (!m_writing) WriteNext();
  }

  void WriteNext() {
    if (m_writes.empty()) {
      m_writing = false;
      if (m_closing) Close("closed after " + std::to_string(m_served) + " requests [fault]");
      return;
    }
    m_writing = true;
    auto self = shared_from_this();
    asio::async_write(m_socket, asio::buffer(m_writes.front()),
                      [this, self](asio::error_code ec, size_t) {
                        if (m_closed) return;
                        if (ec) {
                          Close("write failed: " + ec.message());
                          return;
                        }
                        m_queued -= m_writes.front().size();
                        m_writes.pop_front();
                        WriteNext();
                      });
  }

  CSimServer& m_server;
  asio::ip::tcp::socket m_socket;
  asio::steady_timer m_timer;
  asio::steady_timer m_idleTimer;
  std::chrono::steady_clock::time_point m_lastReceived;
  CPacketFramer m_framer;
  PeerContext m_ctx;
  uint8_t m_buf[4096];
  std::deque<std::vector<uint8_t>> m_pending;
  std::deque<std::vector<uint8_t>> m_writes;
  size_t m_queued = 0;  // bytes in m_writes
  uint32_t m_served = 0;
  bool m_waiting = false;
  bool m_writing = false;
  bool m_closing = false;
  bool m_closed = false;
};

CSimServer::CSimServer(asio::io_context& io, CRequestHandler& handler, const ServerConfig& config,
                       LineSink log)
    : m_io(io),
      m_handler(handler),
      m_config(config),
      m_log(std::move(log)),
      m_acceptor(io),
      m_acceptTimer(io),
      m_udp(io),
      m_alive(std::make_shared<bool>(true)) {}

CSimServer::~CSimServer() { Stop(); }

bool CSimServer::Start(std::string* error) {
  asio::error_code ec;
  auto address = asio::ip::make_address_v4(m_config.bindAddress, ec);
  if (ec) {
    *error = "bad bind address \"" + m_config.bindAddress + "\"";
    return false;
  }
  asio::ip::tcp::endpoint tcpEnd(address, m_config.tcpPort);
  m_acceptor.open(tcpEnd.protocol(), ec);
  if (!ec) m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) m_acceptor.bind(tcpEnd, ec);
  if (!ec) m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on tcp " + EndpointText(address, m_config.tcpPort) + ": " +
             ec.message();
    return false;
  }
  m_tcpPort = m_acceptor.local_endpoint().port();

  asio::ip::udp::endpoint udpEnd(asio::ip::address_v4::any(), m_config.udpPort);
  m_udp.open(udpEnd.protocol(), ec);
  if (!ec) m_udp.bind(udpEnd, ec);
  if (ec) {
    *error = "cannot bind udp 0.0.0.0:" + std::to_string(m_config.udpPort) + ": " + ec.message();
    m_acceptor.close(ec);
    return false;
  }
  m_udpPort = m_udp.local_endpoint().port();
  Accept();
  ReceiveDatagram();
  return true;
}

void CSimServer::Stop() {
  if (!*m_alive) return;
  *m_alive = false;
  asio::error_code ec;
  m_acceptor.close(ec);
  m_acceptTimer.cancel();
  m_udp.close(ec);
  for (auto& weak : m_sessions)
    if (auto s = weak.lock()) s->Close("");
  m_sessions.clear();
}

void CSimServer::Accept() {
  auto alive = m_alive;
  m_acceptor.async_accept([this, alive](asio::error_code ec, asio::ip::tcp::socket socket) {
    if (!*alive) return;
    if (ec && ec != asio::error::connection_aborted) {
      AcceptLater(ec);
      return;
    }
    if (m_acceptFailures) {
      m_log("tcp accepting again after " + std::to_string(m_acceptFailures) + " failed tries");
      m_acceptFailures = 0;
    }
    if (!ec) Admit(std::move(socket));
    Accept();
  });
}

// Out of descriptors (or memory) the pending connection stays queued and
// every accept fails at once: try again after a pause instead of spinning.
void CSimServer::AcceptLater(const asio::error_code& ec) {
  if (m_acceptFailures++ == 0)
    m_log("tcp accept failed: " + ec.message() + "; trying again every " +
          std::to_string(kAcceptRetryMs) + " ms");
  auto alive = m_alive;
  m_acceptTimer.expires_after(std::chrono::milliseconds(kAcceptRetryMs));
  m_acceptTimer.async_wait([this, alive](asio::error_code waitEc) {
    if (*alive && !waitEc) Accept();
  });
}

void CSimServer::Admit(asio::ip::tcp::socket socket) {
  if (m_openLinks >= m_config.maxConnections) {
    asio::error_code ec;
    auto remote = socket.remote_endpoint(ec);
    m_log("tcp " + EndpointText(remote.address(), remote.port()) + " refused: " +
          std::to_string(m_openLinks) + " links open, the limit");
    socket.close(ec);
    return;
  }
  auto session = std::make_shared<Session>(*this, std::move(socket));
  // Forget sessions that have ended before remembering the new one.
  std::vector<std::weak_ptr<Session>> live;
  for (auto& w : m_sessions)
    if (!w.expired()) live.push_back(w);
  live.push_back(session);
  m_sessions.swap(live);
  session->Start();
}

void CSimServer::ReceiveDatagram() {
  auto alive = m_alive;
  m_udp.async_receive_from(
      asio::buffer(m_udpBuf), m_udpSender, [this, alive](asio::error_code ec, size_t n) {
        if (!*alive) return;
        if (!ec) {
          PeerContext ctx;
          ctx.udp = true;
          ctx.peer = EndpointText(m_udpSender.address(), m_udpSender.port());
          ctx.tcpPort = m_tcpPort;
          Reply r = m_handler.Handle(m_udpBuf, n, ctx);
          m_log(r.logLine);
          if (r.send) {
            auto bytes = std::make_shared<std::vector<uint8_t>>(std::move(r.bytes));
            auto to = m_udpSender;
            auto send = [this, alive, bytes, to]() {
              if (!*alive) return;
              asio::error_code sendEc;
              m_udp.send_to(asio::buffer(*bytes), to, 0, sendEc);
              if (sendEc) m_log("udp " + EndpointText(to.address(), to.port()) +
                                " reply not sent: " + sendEc.message());
            };
            if (r.delayMs) {
              auto timer = std::make_shared<asio::steady_timer>(
                  m_io, std::chrono::milliseconds(r.delayMs));
              timer->async_wait([timer, send](asio::error_code) { send(); });
            } else {
              send();
            }
          }
        }
        ReceiveDatagram();
      });
}

}  // namespace kdl::sim
