// Admission of events to the callback of one link or endpoint.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

#include "BasePlatform/Transport.h"

namespace kdl::transport {

// True while the calling thread is inside an event callback of either
// component. Such a thread never blocks waiting for other callbacks: it could
// be waiting for a callback that waits for it.
bool InsideTransportCallback();

// Marks the calling thread as inside an event callback for its lifetime.
class CCallbackScope {
 public:
  CCallbackScope();
  ~CCallbackScope();
  CCallbackScope(const CCallbackScope&) = delete;
  CCallbackScope& operator=(const CCallbackScope&) = delete;
};

// Lets events of one link through to its callback until the link is closed.
// Close() returns only when no callback of the link runs any more on another
// thread, so nothing reaches the callback for a closed link after it returns.
// A Close() from a thread that is itself inside a callback does not wait (the
// callback of this link may be the caller itself; waiting for another one
// could deadlock), but no new callback starts after it.
class CCallbackGate {
 public:
  CCallbackGate() = default;
  CCallbackGate(const CCallbackGate&) = delete;
  CCallbackGate& operator=(const CCallbackGate&) = delete;

  // Calls fn() unless the gate is closed. Returns false when closed.
  template <typename Fn>
  bool Run(Fn&& fn) {
    {
      std::lock_guard<std::mutex> lock(m_mu);
      if (m_bClosed) return false;
      ++m_nRunning;
    }
    Leaver leaver{this};
    CCallbackScope scope;
    std::forward<Fn>(fn)();
    return true;
  }

  // Delivers one event of `kind` for `handle` with its event data to
  // `callback` (nothing when null) unless the gate is closed. Returns false
  // when closed. The TCP and the UDP component share it.
  template <typename Callback>
  bool Deliver(Callback callback, uint32_t kind, uint32_t handle, const void* data) {
    const TransportEventHead head = {kind, handle};
    return Run([&] {
      if (callback != nullptr) callback(&head, data);
    });
  }

  void Close();
  bool IsClosed() const;

 private:
  // Ends one admitted call, also when the callback throws.
  struct Leaver {
    CCallbackGate* m_pGate;
    ~Leaver() { m_pGate->Leave(); }
  };
  void Leave();

  mutable std::mutex m_mu;
  std::condition_variable m_cv;
  bool m_bClosed = false;
  int m_nRunning = 0;
};

}  // namespace kdl::transport
