// A stand-in for the server's tool service, for the round-trip benchmarks:
// it answers every request on its TCP port with a ready-made reply of the
// request's type, and discovery datagrams on UDP port 800 with its TCP port.
// Also the raw clients that measure the floor of one round trip against it:
// blocking, and polling the socket without blocking.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kdl::bench {

using Bytes = std::vector<uint8_t>;

// Wire bytes of the packets the benchmarks send and receive.
Bytes LoginRequest(const char* toolName);
Bytes ImageListRequest();
Bytes LoginReply();
Bytes ImageListReply(uint32_t images, uint32_t serverIp, uint32_t serverPort);
Bytes DiscoverRequest();
Bytes DiscoverReply(uint16_t tcpPort);

class LoopbackServer {
 public:
  // `images`: how many records the image-list reply carries. `onThreadStart`
  // (may be null) runs first on each of the server's threads, before it
  // allocates anything (an allocation-failure test exempts them this way).
  explicit LoopbackServer(uint32_t images, void (*onThreadStart)() = nullptr);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // Listens on `bindIp`, any free port. False (with a message) on failure.
  bool Start(const char* bindIp);
  // Answers discovery broadcasts on UDP port 800, receiving only what
  // arrives on `device` (so each broadcast is seen once). Needs root.
  bool StartDiscovery(const char* device);
  void Stop();

  // Lets the server's threads run on `cpu` only, or on any CPU for -1 (the
  // threads that exist now: those serving the links made so far and the
  // discovery responder). False when the system refuses.
  bool PinThreads(int cpu);

  uint16_t TcpPort() const { return m_nTcpPort; }
  uint64_t Requests() const { return m_nRequests.load(); }
  uint64_t Discoveries() const { return m_nDiscoveries.load(); }

 private:
  void AcceptLoop();
  void Serve(int fd);
  void DiscoveryLoop();
  const Bytes* ReplyTo(uint32_t type) const;

  // Starts a thread of the server running fn.
  template <class Fn>
  std::thread Spawn(Fn fn) {
    return std::thread([this, fn] {
      if (m_pfnThreadStart) m_pfnThreadStart();
      NoteThread();
      fn();
    });
  }
  void NoteThread();  // remembers the calling thread for PinThreads

  Bytes m_LoginReply, m_ImageListReply, m_DiscoverReply;
  uint32_t m_nImages;
  void (*m_pfnThreadStart)();
  int m_hListen = -1;
  int m_hUdp = -1;
  uint16_t m_nTcpPort = 0;
  std::atomic<bool> m_bStopping{false};
  std::atomic<uint64_t> m_nRequests{0};
  std::atomic<uint64_t> m_nDiscoveries{0};
  std::thread m_AcceptThread, m_UdpThread;
  std::mutex m_Lock;  // guards the three lists below
  std::vector<int> m_Connections;
  std::vector<std::thread> m_Workers;
  std::vector<int> m_ThreadIds;  // system ids of the server's threads
};

// A TCP client with Nagle off: the floor of one request/reply.
class RawTcpClient {
 public:
  ~RawTcpClient();
  bool Connect(const char* localIp, const char* serverIp, uint16_t port);
  // Sends the request and reads one whole reply (head, then Length), in
  // blocking reads, or with `poll` in reads that never block (recv with
  // MSG_DONTWAIT in a loop: the thread never sleeps, so no wake-up is paid).
  // Returns the reply's size, or 0 on failure.
  size_t RoundTrip(const Bytes& request, bool poll = false);

 private:
  int m_hSocket = -1;
  Bytes m_Reply;
};

// A UDP client that broadcasts a request to port 800 and reads the reply:
// the floor of one discovery.
class RawUdpClient {
 public:
  ~RawUdpClient();
  bool Open(const char* localIp);
  // As RawTcpClient::RoundTrip; a polling read gives up after 3 s.
  size_t RoundTrip(const Bytes& request, bool poll = false);

 private:
  int m_hSocket = -1;
  Bytes m_Reply = Bytes(2048);
};

}  // namespace kdl::bench
