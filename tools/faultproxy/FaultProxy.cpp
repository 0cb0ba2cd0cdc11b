#include "tools/faultproxy/FaultProxy.h"

#include <algorithm>
#include <deque>

namespace kdl::proxy {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kReadSize = 16 * 1024;
// A bandwidth limit sends pieces of this share of a second.
constexpr uint32_t kPiecesPerSecond = 20;

std::string EndpointText(const asio::ip::tcp::endpoint& e) {
  return e.address().to_string() + ":" + std::to_string(e.port());
}

// Bytes waiting to be passed on, from `release` on; a chunk without bytes
// closes the connection when its time comes.
struct Chunk {
  Clock::time_point release;
  std::vector<uint8_t> bytes;
  size_t sent = 0;
  std::string closeReason;  // set on the closing chunk
};

}  // namespace

// One proxied connection: the client's socket, the upstream one, and one way
// of bytes in each direction.
class CFaultProxy::Connection : public std::enable_shared_from_this<CFaultProxy::Connection> {
 public:
  Connection(CFaultProxy& proxy, asio::ip::tcp::socket client, uint64_t id)
      : m_proxy(proxy),
        m_id(id),
        m_client(std::move(client)),
        m_upstream(proxy.m_io),
        m_connectTimer(proxy.m_io),
        m_resetTimer(proxy.m_io),
        m_ways{Way(proxy.m_io, m_client, m_upstream), Way(proxy.m_io, m_upstream, m_client)},
        m_opened(Clock::now()) {
    asio::error_code ec;
    m_peer = EndpointText(m_client.remote_endpoint(ec));
  }

  void Start() {
    ++m_proxy.m_open;
    auto self = shared_from_this();
    m_connectTimer.expires_after(milliseconds(m_proxy.m_config.connectTimeoutMs));
    m_connectTimer.async_wait([this, self](asio::error_code ec) {
      if (ec || m_closed || m_connected) return;
      m_connectTimedOut = true;
      m_upstream.close(ec);
    });
    m_upstream.async_connect(m_proxy.m_upstream, [this, self](asio::error_code ec) {
      if (m_closed) return;
      m_connectTimer.cancel();
      if (ec || m_connectTimedOut) {
        ++m_proxy.m_stats.upstreamFailures;
        Close("upstream " + EndpointText(m_proxy.m_upstream) + " not reached: " +
              (m_connectTimedOut ? "timed out" : ec.message()));
        return;
      }
      m_connected = true;
      ++m_proxy.m_stats.connections;
      m_proxy.m_log(Name() + " opened from " + m_peer);
      ArmReset();
      for (int w = 0; w < kWays; ++w) Read(w);
    });
  }

  // Closes both sockets; `reset` sends a reset instead of an orderly close.
  void Close(const std::string& why, bool reset = false) {
    if (m_closed) return;
    m_closed = true;
    --m_proxy.m_open;
    m_proxy.m_log(Name() + " closed: " + why + " (up " + std::to_string(m_ways[kUp].passed) +
                  " bytes, down " + std::to_string(m_ways[kDown].passed) + ")");
    asio::error_code ec;
    m_connectTimer.cancel();
    m_resetTimer.cancel();
    for (Way& w : m_ways) w.timer.cancel();
    for (asio::ip::tcp::socket* s : {&m_client, &m_upstream}) {
      if (reset) s->set_option(asio::socket_base::linger(true, 0), ec);
      else s->shutdown(asio::ip::tcp::socket::shutdown_both, ec);
      s->close(ec);
    }
  }

  // New toxics: what the old ones held or delayed goes on at once, the cut
  // counts and the reset start again.
  void Reload() {
    if (m_closed || !m_connected) return;
    ArmReset();
    const Clock::time_point now = Clock::now();
    for (int w = 0; w < kWays; ++w) {
      Way& way = m_ways[w];
      for (Chunk& c : way.queue) c.release = std::min(c.release, now);
      way.lastRelease = std::min(way.lastRelease, now);
      way.nextPiece = std::min(way.nextPiece, now);
      if (way.timerArmed) way.timer.cancel();  // its handler pumps again
      Pump(w);
    }
  }

 private:
  struct Way {
    Way(asio::io_context& io, asio::ip::tcp::socket& from, asio::ip::tcp::socket& to)
        : src(from), dst(to), timer(io) {}
    asio::ip::tcp::socket& src;
    asio::ip::tcp::socket& dst;
    asio::steady_timer timer;
    bool timerArmed = false;
    bool writing = false;
    bool reading = false;
    bool ended = false;  // no more reading: closed, cut or failed
    std::deque<Chunk> queue;
    size_t queued = 0;
    Clock::time_point lastRelease;
    Clock::time_point nextPiece;  // the bandwidth limit's next send
    uint64_t passed = 0;          // read since the toxics or the connection began
    uint64_t counted = 0;         // the same, for the cut
    uint32_t generation = 0;      // of the toxics `counted` belongs to
    uint64_t untilFlip = 0;       // bytes to the next flipped bit; 0: draw anew
    uint8_t buf[kReadSize];
  };

  std::string Name() const { return "conn " + std::to_string(m_id); }

  void ArmReset() {
    m_resetTimer.cancel();
    const uint32_t ms = m_proxy.m_toxics.resetAfterMs;
    if (ms == 0) return;
    const Clock::time_point from = std::max(m_opened, m_proxy.m_loaded);
    auto self = shared_from_this();
    m_resetTimer.expires_at(from + milliseconds(ms));
    m_resetTimer.async_wait([this, self, ms](asio::error_code ec) {
      if (ec || m_closed) return;
      ++m_proxy.m_stats.resets;
      Close("reset after " + std::to_string(ms) + " ms [toxic]", /*reset=*/true);
    });
  }

  void Read(int w) {
    Way& way = m_ways[w];
    if (way.reading || way.ended || m_closed) return;
    way.reading = true;
    auto self = shared_from_this();
    way.src.async_read_some(asio::buffer(way.buf), [this, self, w](asio::error_code ec, size_t n) {
      Way& way = m_ways[w];
      way.reading = false;
      if (m_closed) return;
      if (ec) {
        End(w, ec == asio::error::eof ? std::string(w == kUp ? "client" : "upstream") + " closed"
                                      : std::string(w == kUp ? "client" : "upstream") +
                                            " failed: " + ec.message());
      } else {
        Take(w, n);
      }
      Pump(w);
      if (way.queued < m_proxy.m_config.maxQueuedBytes) Read(w);
    });
  }

  // Queues the close of the connection after what is queued on way `w`.
  void End(int w, const std::string& why) {
    Way& way = m_ways[w];
    way.ended = true;
    Chunk c;
    c.release = std::max(way.lastRelease, Clock::now()) +
                milliseconds(m_proxy.m_toxics.slowCloseMs);
    c.closeReason = why;
    way.queue.push_back(std::move(c));
  }

  // The `n` bytes just read on way `w`, through the toxics into its queue.
  void Take(int w, size_t n) {
    Way& way = m_ways[w];
    const WayToxics& t = m_proxy.m_toxics.way[w];
    const Clock::time_point now = Clock::now();
    if (way.generation != m_proxy.m_generation) {
      way.generation = m_proxy.m_generation;
      way.counted = 0;
      way.untilFlip = 0;
    }
    bool cut = false;
    if (t.cutAfterBytes) {
      const uint64_t left = t.cutAfterBytes > way.counted ? t.cutAfterBytes - way.counted : 0;
      if (n >= left) {
        n = static_cast<size_t>(left);
        cut = true;
      }
    }
    way.counted += n;
    way.passed += n;
    if (t.corruptEvery) Corrupt(way, t.corruptEvery, n);
    Chunk c;
    c.release = std::max(Delayed(t, now), way.lastRelease);
    way.lastRelease = c.release;
    if (n) {
      c.bytes.assign(way.buf, way.buf + n);
      way.queued += n;
      m_proxy.m_stats.peakQueued = std::max<uint64_t>(m_proxy.m_stats.peakQueued, way.queued);
      way.queue.push_back(std::move(c));
    }
    if (cut) {
      ++m_proxy.m_stats.cuts;
      End(w, "cut after " + std::to_string(t.cutAfterBytes) + " bytes " +
                 (w == kUp ? "up" : "down") + " [toxic]");
    }
  }

  // When bytes read at `now` may go on: latency and jitter, hold windows.
  Clock::time_point Delayed(const WayToxics& t, Clock::time_point now) {
    int64_t ms = t.latencyMs;
    if (t.jitterMs) {
      std::uniform_int_distribution<int64_t> jitter(-int64_t(t.jitterMs), int64_t(t.jitterMs));
      ms = std::max<int64_t>(0, ms + jitter(m_proxy.m_random));
    }
    Clock::time_point release = now + milliseconds(ms);
    if (t.holdMs) {
      const uint64_t since = static_cast<uint64_t>(
          std::chrono::duration_cast<milliseconds>(now - m_proxy.m_loaded).count());
      const uint64_t until = HoldUntil(t, since);
      if (until != since) release = std::max(release, m_proxy.m_loaded + milliseconds(until));
    }
    return release;
  }

  // Flips one bit per `every` bytes on average, at places drawn evenly.
  void Corrupt(Way& way, uint32_t every, size_t n) {
    std::uniform_int_distribution<uint64_t> gap(1, 2 * uint64_t(every) - 1);
    std::uniform_int_distribution<int> bit(0, 7);
    size_t i = 0;
    for (;;) {
      if (way.untilFlip == 0) way.untilFlip = gap(m_proxy.m_random);
      if (n - i < way.untilFlip) {
        way.untilFlip -= n - i;
        return;
      }
      i += static_cast<size_t>(way.untilFlip) - 1;
      way.buf[i++] ^= static_cast<uint8_t>(1u << bit(m_proxy.m_random));
      ++m_proxy.m_stats.flippedBits;
      way.untilFlip = 0;
    }
  }

  // Sends what is due on way `w`, or waits for the time it is due.
  void Pump(int w) {
    Way& way = m_ways[w];
    if (m_closed || way.writing || way.timerArmed || way.queue.empty()) return;
    const Clock::time_point now = Clock::now();
    Chunk& c = way.queue.front();
    const uint32_t rate = m_proxy.m_toxics.way[w].bytesPerSecond;
    Clock::time_point due = c.release;
    if (rate && !c.bytes.empty()) due = std::max(due, way.nextPiece);
    if (due > now) {
      WaitUntil(w, due);
      return;
    }
    if (c.bytes.empty()) {
      Close(c.closeReason);
      return;
    }
    size_t piece = c.bytes.size() - c.sent;
    if (rate) {
      piece = std::min<size_t>(piece, std::max<uint32_t>(1, rate / kPiecesPerSecond));
      way.nextPiece = std::max(way.nextPiece, now) +
                      std::chrono::microseconds(uint64_t(piece) * 1000000 / rate);
    }
    way.writing = true;
    auto self = shared_from_this();
    asio::async_write(way.dst, asio::buffer(c.bytes.data() + c.sent, piece),
                      [this, self, w, piece](asio::error_code ec, size_t) {
                        Sent(w, piece, ec);
                      });
  }

  void Sent(int w, size_t piece, const asio::error_code& ec) {
    Way& way = m_ways[w];
    way.writing = false;
    if (m_closed) return;
    if (ec) {
      Close(std::string(w == kUp ? "upstream" : "client") + " write failed: " + ec.message());
      return;
    }
    m_proxy.m_stats.bytes[w] += piece;
    way.queued -= piece;
    Chunk& c = way.queue.front();
    c.sent += piece;
    if (c.sent == c.bytes.size()) way.queue.pop_front();
    // Reading stopped at the limit starts again once half has gone.
    if (way.queued <= m_proxy.m_config.maxQueuedBytes / 2) Read(w);
    Pump(w);
  }

  void WaitUntil(int w, Clock::time_point due) {
    Way& way = m_ways[w];
    way.timerArmed = true;
    auto self = shared_from_this();
    way.timer.expires_at(due);
    way.timer.async_wait([this, self, w](asio::error_code) {
      m_ways[w].timerArmed = false;
      Pump(w);
    });
  }

  CFaultProxy& m_proxy;
  uint64_t m_id;
  std::string m_peer;
  asio::ip::tcp::socket m_client;
  asio::ip::tcp::socket m_upstream;
  asio::steady_timer m_connectTimer;
  asio::steady_timer m_resetTimer;
  Way m_ways[kWays];
  Clock::time_point m_opened;
  bool m_connected = false;
  bool m_connectTimedOut = false;
  bool m_closed = false;
};

CFaultProxy::CFaultProxy(asio::io_context& io, const ProxyConfig& config, LineSink log)
    : m_io(io),
      m_config(config),
      m_log(std::move(log)),
      m_acceptor(io),
      m_loaded(Clock::now()),
      m_random(config.seed),
      m_alive(std::make_shared<bool>(true)) {}

CFaultProxy::~CFaultProxy() { Stop(); }

bool CFaultProxy::Start(std::string* error) {
  asio::error_code ec;
  const auto listen = asio::ip::make_address_v4(m_config.listenAddress, ec);
  if (ec) {
    *error = "bad listen address \"" + m_config.listenAddress + "\"";
    return false;
  }
  const auto upstream = asio::ip::make_address_v4(m_config.upstreamAddress, ec);
  if (ec) {
    *error = "bad upstream address \"" + m_config.upstreamAddress + "\"";
    return false;
  }
  m_upstream = asio::ip::tcp::endpoint(upstream, m_config.upstreamPort);
  const asio::ip::tcp::endpoint at(listen, m_config.listenPort);
  m_acceptor.open(at.protocol(), ec);
  if (!ec) m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) m_acceptor.bind(at, ec);
  if (!ec) m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on tcp " + EndpointText(at) + ": " + ec.message();
    return false;
  }
  m_port = m_acceptor.local_endpoint().port();
  Accept();
  return true;
}

void CFaultProxy::Stop() {
  if (!*m_alive) return;
  *m_alive = false;
  asio::error_code ec;
  m_acceptor.close(ec);
  for (auto& weak : m_connections)
    if (auto c = weak.lock()) c->Close("proxy stopping");
  m_connections.clear();
}

void CFaultProxy::SetToxics(const Toxics& toxics) {
  m_toxics = toxics;
  m_loaded = Clock::now();
  ++m_generation;
  for (auto& weak : m_connections)
    if (auto c = weak.lock()) c->Reload();
}

void CFaultProxy::Accept() {
  auto alive = m_alive;
  m_acceptor.async_accept([this, alive](asio::error_code ec, asio::ip::tcp::socket client) {
    if (!*alive) return;
    if (!ec) {
      Admit(std::move(client));
      Accept();
      return;
    }
    // Out of descriptors: try again shortly rather than at once.
    m_log("accept failed: " + ec.message());
    auto timer = std::make_shared<asio::steady_timer>(m_io, milliseconds(100));
    timer->async_wait([this, alive, timer](asio::error_code) {
      if (*alive) Accept();
    });
  });
}

void CFaultProxy::Admit(asio::ip::tcp::socket client) {
  if (m_open >= m_config.maxConnections) {
    ++m_stats.refused;
    asio::error_code ec;
    m_log("refused " + EndpointText(client.remote_endpoint(ec)) + ": " + std::to_string(m_open) +
          " connections open, the limit");
    client.close(ec);
    return;
  }
  auto c = std::make_shared<Connection>(*this, std::move(client), m_nextId++);
  std::vector<std::weak_ptr<Connection>> live;
  for (auto& w : m_connections)
    if (!w.expired()) live.push_back(w);
  live.push_back(c);
  m_connections.swap(live);
  c->Start();
}

}  // namespace kdl::proxy
