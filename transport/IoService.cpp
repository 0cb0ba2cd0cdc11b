#include "transport/IoService.h"

#include <system_error>

#include "transport/CallbackGate.h"

namespace kdl::transport {

CIoService::CIoService() : m_work(asio::make_work_guard(m_io)) {}

CIoService::~CIoService() {
  // Only reached after Shutdown (every thread holds a reference), so each
  // thread is already joined or detached; a stray one is let go rather than
  // terminating the process.
  for (std::thread& t : m_threads) {
    if (t.joinable()) t.detach();
  }
}

std::shared_ptr<CIoService> CIoService::Start(unsigned nThreads) {
  std::shared_ptr<CIoService> service;
  try {
    service.reset(new CIoService());  // may fail when the process is out of descriptors
  } catch (...) {
    return nullptr;
  }
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

void CIoService::Run() {
  // A handler that throws (an allocation failure, a callback that throws)
  // must not end the thread while work is left.
  for (;;) {
    try {
      m_io.run();
      return;
    } catch (...) {
    }
  }
}

void CIoService::AddUser() {
  std::lock_guard<std::mutex> lock(m_mu);
  ++m_nUsers;
}

void CIoService::RemoveUser() {
  std::lock_guard<std::mutex> lock(m_mu);
  if (--m_nUsers == 0 && m_bShutdown) m_work.reset();
}

void CIoService::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_bShutdown = true;
    if (m_nUsers == 0) m_work.reset();
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

CIoUser::CIoUser(std::shared_ptr<CIoService> service) : m_service(std::move(service)) {
  m_service->AddUser();
}

CIoUser::~CIoUser() { m_service->RemoveUser(); }

}  // namespace kdl::transport
