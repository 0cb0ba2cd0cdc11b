// A process-wide object that is built on first use and never destroyed, so
// that it still works while the process exits (static destructors, threads
// that outlive main).
#pragma once

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

namespace kdl::util {

// Holds one T in static storage. Get() reads the object pointer without a
// lock; only the first calls take the lock, and the first of them builds the
// object (a double check). Declare the holder with static storage duration:
// its own destructor is trivial, and the object's never runs.
template <class T>
class TNeverDestroyed {
 public:
  constexpr TNeverDestroyed() = default;
  TNeverDestroyed(const TNeverDestroyed&) = delete;
  TNeverDestroyed& operator=(const TNeverDestroyed&) = delete;

  // The object. The call that builds it passes `args` to T's constructor;
  // every later call ignores its arguments.
  template <class... Args>
  T& Get(Args&&... args) {
    T* obj = m_pObj.load(std::memory_order_acquire);
    if (obj != nullptr) return *obj;
    std::lock_guard<std::mutex> hold(m_csCreate);
    obj = m_pObj.load(std::memory_order_relaxed);
    if (obj == nullptr) {
      obj = new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
      m_pObj.store(obj, std::memory_order_release);
    }
    return *obj;
  }

 private:
  std::atomic<T*> m_pObj{nullptr};
  std::mutex m_csCreate;
  alignas(T) unsigned char m_storage[sizeof(T)] = {};
};

}  // namespace kdl::util
