// Recursive lock (critical section) and interlocked counters on Windows.
#include <windows.h>

#include <new>

#include "platform/Platform.h"

namespace kdl::plat {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "Lock storage too small");
static_assert(alignof(CRITICAL_SECTION) <= 16, "Lock storage misaligned");

namespace {
CRITICAL_SECTION* Section(unsigned char* storage) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}
volatile LONG* AsLong(volatile int32_t* p) { return reinterpret_cast<volatile LONG*>(p); }
}  // namespace

Lock::Lock() { InitializeCriticalSection(new (m_storage) CRITICAL_SECTION); }
Lock::~Lock() { DeleteCriticalSection(Section(m_storage)); }
void Lock::Acquire() { EnterCriticalSection(Section(m_storage)); }
void Lock::Release() { LeaveCriticalSection(Section(m_storage)); }

int32_t AtomicIncrement(volatile int32_t* p) { return InterlockedIncrement(AsLong(p)); }
int32_t AtomicDecrement(volatile int32_t* p) { return InterlockedDecrement(AsLong(p)); }
int32_t AtomicLoad(volatile int32_t* p) { return InterlockedCompareExchange(AsLong(p), 0, 0); }
void AtomicStore(volatile int32_t* p, int32_t v) { InterlockedExchange(AsLong(p), v); }

int32_t AtomicCompareExchange(volatile int32_t* p, int32_t desired, int32_t expected) {
  return InterlockedCompareExchange(AsLong(p), desired, expected);
}

}  // namespace kdl::plat
