// An Asio io_context run by threads of its own.
#pragma once

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

namespace kdl::transport {

// One io_context and the threads that run it, from a component's Init to its
// Uninit. Each thread holds a reference to the service, so the service (and
// with it the io_context) outlives every handler, also when Shutdown is called
// from one of these threads and the threads are left to end on their own.
//
// Every owner of sockets (a link, an endpoint) is a user of the service
// (CIoUser). After Shutdown the threads keep running until the last user is
// gone, so the handlers that close the users' sockets always run and every
// pending handler is finished, never dropped.
class CIoService {
 public:
  // Starts `nThreads` threads (at least one). Null when none could start.
  static std::shared_ptr<CIoService> Start(unsigned nThreads);

  ~CIoService();
  CIoService(const CIoService&) = delete;
  CIoService& operator=(const CIoService&) = delete;

  asio::io_context& Context() { return m_io; }

  // Lets the threads end once the last user is gone and no work is left; the
  // caller must already have told every user to close. Joins the threads,
  // unless the calling thread is inside an event callback: then it detaches
  // them, and they end on their own when the running handlers are done.
  void Shutdown();

 private:
  friend class CIoUser;

  CIoService();
  void Run();
  void AddUser();
  void RemoveUser();

  asio::io_context m_io;
  std::mutex m_mu;  // guards m_work, m_nUsers, m_bShutdown
  asio::executor_work_guard<asio::io_context::executor_type> m_work;
  int m_nUsers = 0;
  bool m_bShutdown = false;
  std::vector<std::thread> m_threads;
};

// A user of a service: keeps its threads running while it lives. Declare it
// before the sockets it serves, so that they are destroyed first.
class CIoUser {
 public:
  explicit CIoUser(std::shared_ptr<CIoService> service);
  ~CIoUser();
  CIoUser(const CIoUser&) = delete;
  CIoUser& operator=(const CIoUser&) = delete;

  asio::io_context& Context() const { return m_service->Context(); }

 private:
  std::shared_ptr<CIoService> m_service;
};

}  // namespace kdl::transport
