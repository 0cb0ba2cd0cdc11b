// TCountedPtr: the shared pointer under which a received packet reaches its
// owner. Every copy shares one heap count that changes only by atomic
// increment and decrement, so copies may be released on any thread; the last
// release destroys the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>

template <class T>
class TCountedPtr {
 public:
  T* m_pObj = nullptr;
  std::atomic<int32_t>* m_pCount = nullptr;  // shared by every copy; null when empty

  TCountedPtr() = default;

  // Takes ownership of a new object with a count of 1. If the count cannot be
  // allocated the object is destroyed at once and the pointer stays empty.
  explicit TCountedPtr(T* obj) {
    if (!obj) return;
    m_pCount = new (std::nothrow) std::atomic<int32_t>(1);
    if (!m_pCount) {
      delete obj;
      return;
    }
    m_pObj = obj;
  }

  TCountedPtr(const TCountedPtr& other) { Share(other.m_pObj, other.m_pCount); }

  // Copy from a pointer to a related class. Towards a base class the object is
  // always shared; towards a derived class (the owner reading a reply as its
  // concrete class) only when the object really is of that class, otherwise
  // the copy is empty and the count is not touched.
  template <class U>
  TCountedPtr(const TCountedPtr<U>& other) {  // NOLINT: implicit like a pointer
    static_assert(std::is_base_of<T, U>::value || std::is_base_of<U, T>::value,
                  "TCountedPtr copies only between related classes");
    if constexpr (std::is_base_of<T, U>::value) {
      Share(other.m_pObj, other.m_pCount);
    } else {
      T* obj = dynamic_cast<T*>(other.m_pObj);
      if (obj) Share(obj, other.m_pCount);
    }
  }

  TCountedPtr& operator=(const TCountedPtr& other) {
    if (this != &other) {
      TCountedPtr keep(other);
      Swap(keep);
    }
    return *this;
  }

  ~TCountedPtr() { Release(); }

  T* Get() const { return m_pObj; }
  T* operator->() const { return m_pObj; }
  T& operator*() const { return *m_pObj; }
  explicit operator bool() const { return m_pObj != nullptr; }

  // Number of holders (0 for an empty pointer); for diagnostics and tests.
  int32_t UseCount() const { return m_pCount ? m_pCount->load(std::memory_order_acquire) : 0; }

  // Drops this holder's share and leaves the pointer empty.
  void Release() {
    std::atomic<int32_t>* count = m_pCount;
    T* obj = m_pObj;
    m_pCount = nullptr;
    m_pObj = nullptr;
    if (!count || count->load(std::memory_order_acquire) == 0) return;
    if (count->fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete obj;  // virtual destructor of the packet
      delete count;
    }
  }

  void Swap(TCountedPtr& other) {
    T* o = m_pObj;
    m_pObj = other.m_pObj;
    other.m_pObj = o;
    std::atomic<int32_t>* c = m_pCount;
    m_pCount = other.m_pCount;
    other.m_pCount = c;
  }

 private:
  void Share(T* obj, std::atomic<int32_t>* count) {
    m_pObj = obj;
    m_pCount = count;
    if (m_pCount) m_pCount->fetch_add(1, std::memory_order_relaxed);
  }
};
