// Recursive lock and atomic counters on POSIX.
#include <mutex>
#include <new>

#include "platform/Platform.h"

namespace kdl::plat {

static_assert(sizeof(std::recursive_mutex) <= 64, "Lock storage too small");
static_assert(alignof(std::recursive_mutex) <= 16, "Lock storage misaligned");

namespace {
std::recursive_mutex& Mutex(unsigned char* storage) {
  return *std::launder(reinterpret_cast<std::recursive_mutex*>(storage));
}
}  // namespace

Lock::Lock() { new (m_storage) std::recursive_mutex(); }
Lock::~Lock() { Mutex(m_storage).~recursive_mutex(); }
void Lock::Acquire() { Mutex(m_storage).lock(); }
void Lock::Release() { Mutex(m_storage).unlock(); }

int32_t AtomicIncrement(volatile int32_t* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
int32_t AtomicDecrement(volatile int32_t* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
int32_t AtomicLoad(volatile int32_t* p) { return __atomic_load_n(p, __ATOMIC_SEQ_CST); }
void AtomicStore(volatile int32_t* p, int32_t v) { __atomic_store_n(p, v, __ATOMIC_SEQ_CST); }

int32_t AtomicCompareExchange(volatile int32_t* p, int32_t desired, int32_t expected) {
  __atomic_compare_exchange_n(p, &expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return expected;  // on failure it holds the value found
}

}  // namespace kdl::plat
