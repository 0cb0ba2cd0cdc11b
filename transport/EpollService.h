// An epoll set served by threads of its own (Linux): the reactor under the
// TCP and UDP components there.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace kdl::transport {

// One epoll set and the threads that serve it, from a component's Init to its
// Uninit. Each thread takes one event at a time out of the set and serves it
// itself, so no thread hands the set over to another (no wake-up between
// them), and a callback that blocks holds up its own thread only: the others
// go on serving the rest.
//
// Every descriptor is armed for one event at a time (EPOLLONESHOT): the thread
// that takes the event serves it alone, and the descriptor stays quiet until
// its owner arms it again. So a caller can take over the reads of a socket
// (Arm with no events) without waking any thread of the service when data
// comes; the system still reports an error or hang-up of a quiet socket.
//
// Each thread holds a reference to the service, so the set outlives every
// thread, also when Shutdown is called from one of them.
class CEpollService {
 public:
  // Serves one event on a service thread: the key the descriptor was added
  // with and the epoll event bits. Must not throw.
  using ServeFn = void (*)(uint32_t key, uint32_t events);

  // Starts `nThreads` threads (at least one) that pass each event to
  // `serve`. Null when the set or no thread could be made.
  static std::shared_ptr<CEpollService> Start(unsigned nThreads, ServeFn serve);

  ~CEpollService();
  CEpollService(const CEpollService&) = delete;
  CEpollService& operator=(const CEpollService&) = delete;

  // Adds `fd` under `key` (never 0), armed for one event of `events`. False
  // when the system refuses (out of memory, say).
  bool Add(int fd, uint32_t key, uint32_t events);
  // Arms an added descriptor again for one event of `events`; 0 leaves it
  // quiet. A closed descriptor leaves the set by itself.
  bool Arm(int fd, uint32_t key, uint32_t events);

  // True when a thread that waits for data may spin on its socket instead
  // of sleeping: the calling thread or the service's threads may run on
  // another CPU than the calling thread's one. Where the whole process is
  // confined to one CPU, spinning would only keep the producer of the data
  // off it. Asks the system at most every few milliseconds per thread.
  bool SpinningPays() const;

  // Ends the threads: each leaves once it has finished the event it serves.
  // Joins them, unless the calling thread is inside an event callback (it may
  // be one of them, or wait for one): then they end on their own.
  void Shutdown();

 private:
  explicit CEpollService(ServeFn serve);
  void Run();

  const ServeFn m_pfnServe;
  int m_hEpoll = -1;
  int m_hStop = -1;  // an eventfd; readable once Shutdown has begun
  std::atomic<int> m_nThreadId{0};  // a service thread's system id, for SpinningPays
  std::vector<std::thread> m_threads;
};

}  // namespace kdl::transport
