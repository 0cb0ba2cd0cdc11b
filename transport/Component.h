// What the TCP and the UDP component have in common: the Init..Uninit period
// with its threads, and the table of live handles.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "BasePlatform/Transport.h"

namespace kdl::transport {

// Runs fn() and returns its result; `onError` when it throws (an allocation
// failure, say). No exception leaves an exported function.
template <typename Fn>
std::invoke_result_t<Fn&> NoThrow(std::invoke_result_t<Fn&> onError, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (...) {
    return onError;
  }
}

// One transport component. `Link` is the class of its links or endpoints and
// must offer Destroy(): close, and deliver no event after returning. It names
// the threads' service (`Link::Service`, with Shutdown(), see CIoService) and
// starts it (`Link::StartService(nThreads)`, null on failure).
//
// Handles count up from 1 over the whole process run and are never reused,
// also not across Uninit and Init.
template <typename Link, typename Callback>
class TComponent {
 public:
  using Service = typename Link::Service;

  explicit TComponent(unsigned nThreads) : m_nThreads(nThreads) {}
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // Starts the threads and stores the default callback. A second Init while
  // initialised only replaces the default callback. False when the threads
  // could not be started.
  bool Init(Callback callback) {
    std::lock_guard<std::mutex> lock(m_mu);
    if (!m_service) {
      m_service = Link::StartService(m_nThreads);
      if (!m_service) return false;
    }
    m_pfnDefault = callback;
    return true;
  }

  // Destroys every live link and lets the threads end (see the service).
  void Uninit() {
    std::shared_ptr<Service> service;
    std::map<uint32_t, std::shared_ptr<Link>> links;
    {
      std::lock_guard<std::mutex> lock(m_mu);
      service.swap(m_service);
      links.swap(m_links);
      m_pfnDefault = nullptr;
    }
    for (auto& entry : links) entry.second->Destroy();
    links.clear();
    if (service) service->Shutdown();
  }

  // The running service, and in *callback the callback of a new link: the
  // given one, else the default. Null when not initialised.
  std::shared_ptr<Service> Running(Callback* callback) {
    std::lock_guard<std::mutex> lock(m_mu);
    if (*callback == nullptr) *callback = m_pfnDefault;
    return m_service;
  }

  // A fresh handle, or kInvalidHandle once the numbers have run out.
  uint32_t NewHandle() {
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_nNextHandle == kInvalidHandle) return kInvalidHandle;
    return m_nNextHandle++;
  }

  // Publishes a link created on `service`. False when that service has been
  // shut down meanwhile; the caller then drops the link.
  bool Add(const std::shared_ptr<Service>& service, uint32_t handle,
           std::shared_ptr<Link> link) {
    std::lock_guard<std::mutex> lock(m_mu);
    if (!service || service != m_service) return false;
    m_links.emplace(handle, std::move(link));
    return true;
  }

  std::shared_ptr<Link> Find(uint32_t handle) {
    std::lock_guard<std::mutex> lock(m_mu);
    auto it = m_links.find(handle);
    return it == m_links.end() ? nullptr : it->second;
  }

  // Runs fn(link) on a live link and returns its result; `onError` for an
  // unknown handle or when fn throws. The exported functions that act on one
  // link (connect, send, address) go through it.
  template <typename Fn>
  uint32_t WithLink(uint32_t handle, uint32_t onError, Fn&& fn) noexcept {
    return NoThrow(onError, [&]() -> uint32_t {
      std::shared_ptr<Link> link = Find(handle);
      return link ? fn(*link) : onError;
    });
  }

  // Takes a link out of the table and destroys it; false for an unknown
  // handle.
  bool Destroy(uint32_t handle) noexcept {
    return NoThrow(false, [&] {
      std::shared_ptr<Link> link = Remove(handle);
      if (!link) return false;
      link->Destroy();
      return true;
    });
  }

  // Takes the link out of the table; null when unknown.
  std::shared_ptr<Link> Remove(uint32_t handle) {
    std::lock_guard<std::mutex> lock(m_mu);
    auto it = m_links.find(handle);
    if (it == m_links.end()) return nullptr;
    std::shared_ptr<Link> link = std::move(it->second);
    m_links.erase(it);
    return link;
  }

 private:
  const unsigned m_nThreads;
  std::mutex m_mu;  // guards everything below
  std::shared_ptr<Service> m_service;
  Callback m_pfnDefault = nullptr;
  std::map<uint32_t, std::shared_ptr<Link>> m_links;
  uint32_t m_nNextHandle = 1;
};

}  // namespace kdl::transport
