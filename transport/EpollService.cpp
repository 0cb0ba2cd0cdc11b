#include "transport/EpollService.h"

#include <errno.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

#include "transport/CallbackGate.h"

namespace kdl::transport {
namespace {

// The key of the stop event; descriptors are added under keys from 1.
constexpr uint64_t kStopKey = 0;
// How long a thread trusts its last look at the CPUs it and the service may
// run on.
constexpr std::chrono::milliseconds kCpuCheckPeriod{10};

}  // namespace

CEpollService::CEpollService(ServeFn serve) : m_pfnServe(serve) {}

CEpollService::~CEpollService() {
  // Only reached after Shutdown (every thread holds a reference), so each
  // thread is already joined or detached; a stray one is let go rather than
  // terminating the process.
  for (std::thread& t : m_threads) {
    if (t.joinable()) t.detach();
  }
  if (m_hStop >= 0) ::close(m_hStop);
  if (m_hEpoll >= 0) ::close(m_hEpoll);
}

std::shared_ptr<CEpollService> CEpollService::Start(unsigned nThreads, ServeFn serve) {
  std::shared_ptr<CEpollService> service;
  try {
    service.reset(new CEpollService(serve));
  } catch (...) {
    return nullptr;
  }
  service->m_hEpoll = ::epoll_create1(EPOLL_CLOEXEC);
  service->m_hStop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (service->m_hEpoll < 0 || service->m_hStop < 0) return nullptr;
  // Level-triggered and never read: once written, every thread sees it.
  epoll_event stop = {};
  stop.events = EPOLLIN;
  stop.data.u64 = kStopKey;
  if (::epoll_ctl(service->m_hEpoll, EPOLL_CTL_ADD, service->m_hStop, &stop) != 0) return nullptr;
  if (nThreads == 0) nThreads = 1;
  for (unsigned i = 0; i < nThreads; ++i) {
    try {
      service->m_threads.emplace_back([service] { service->Run(); });
    } catch (...) {
      break;
    }
  }
  if (service->m_threads.empty()) return nullptr;
  return service;
}

void CEpollService::Run() {
  m_nThreadId.store(static_cast<int>(::syscall(SYS_gettid)), std::memory_order_relaxed);
  for (;;) {
    epoll_event ev;
    const int n = ::epoll_wait(m_hEpoll, &ev, 1, -1);
    if (n < 0 && errno != EINTR) return;
    if (n <= 0) continue;
    if (ev.data.u64 == kStopKey) return;
    m_pfnServe(static_cast<uint32_t>(ev.data.u64), ev.events);
  }
}

bool CEpollService::Add(int fd, uint32_t key, uint32_t events) {
  epoll_event ev = {};
  ev.events = events | EPOLLONESHOT;
  ev.data.u64 = key;
  return ::epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool CEpollService::Arm(int fd, uint32_t key, uint32_t events) {
  epoll_event ev = {};
  ev.events = events | EPOLLONESHOT;
  ev.data.u64 = key;
  return ::epoll_ctl(m_hEpoll, EPOLL_CTL_MOD, fd, &ev) == 0;
}

bool CEpollService::SpinningPays() const {
  using Clock = std::chrono::steady_clock;
  struct Look {
    const CEpollService* service;
    Clock::time_point until;
    bool pays;
  };
  thread_local Look t_last = {nullptr, Clock::time_point(), true};
  const Clock::time_point now = Clock::now();
  if (t_last.service == this && now < t_last.until) return t_last.pays;
  // Where the system cannot tell, spin as on a machine of several CPUs.
  bool pays = true;
  cpu_set_t cpus, theirs;
  if (::sched_getaffinity(0, sizeof cpus, &cpus) == 0) {
    const int tid = m_nThreadId.load(std::memory_order_relaxed);
    if (tid > 0 && ::sched_getaffinity(tid, sizeof theirs, &theirs) == 0) {
      CPU_OR(&cpus, &cpus, &theirs);
    }
    pays = CPU_COUNT(&cpus) > 1;
  }
  t_last = {this, now + kCpuCheckPeriod, pays};
  return pays;
}

void CEpollService::Shutdown() {
  const uint64_t one = 1;
  if (::write(m_hStop, &one, sizeof one) < 0) {
    // Cannot fail on a fresh eventfd written once; nothing else to do.
  }
  const bool bJoin = !InsideTransportCallback();
  const std::thread::id self = std::this_thread::get_id();
  for (std::thread& t : m_threads) {
    if (!t.joinable()) continue;
    if (bJoin && t.get_id() != self) {
      t.join();
    } else {
      t.detach();
    }
  }
}

}  // namespace kdl::transport
