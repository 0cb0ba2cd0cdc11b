#include "tests/alloc/FailingAllocator.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>

#include <cstdlib>
#include <new>

// Present when a sanitizer runs the program.
extern "C" void __sanitizer_print_stack_trace() __attribute__((weak));

// The allocator behind the interposed C functions: a sanitizer's (its
// interceptors, weak here so that a plain build has none) or the C
// library's. No look-up is needed, so the functions work from the first
// allocation of the process on, before the sanitizer has started. This file
// is built without sanitizer instrumentation for the same reason, and keeps
// its state in plain words read with the compiler's atomic built-ins, which
// call nothing.
extern "C" {
void* __interceptor_malloc(size_t) __attribute__((weak));
void* __interceptor_calloc(size_t, size_t) __attribute__((weak));
void* __interceptor_realloc(void*, size_t) __attribute__((weak));
void* __interceptor_aligned_alloc(size_t, size_t) __attribute__((weak));
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace allocfail {
namespace {

bool g_armed = false;
int g_counted = 0;  // a Counted
uint64_t g_count = 0;
uint64_t g_failAt = 0;
bool g_fired = false;
thread_local bool t_exempt = false;
// Set on the thread that arms and on every thread once its own function
// runs: what a sanitizer's runtime allocates while it starts a thread is
// not the program's and is never counted.
thread_local bool t_program = false;

template <class T>
T Load(const T& v) {
  return __atomic_load_n(&v, __ATOMIC_RELAXED);
}
template <class T>
void Store(T& v, T x) {
  __atomic_store_n(&v, x, __ATOMIC_SEQ_CST);
}

// Marks the failure; with KELVANE_ALLOC_TRACE set, shows where it happened.
void Fire() {
  Store(g_fired, true);
  if (__sanitizer_print_stack_trace && std::getenv("KELVANE_ALLOC_TRACE")) {
    __sanitizer_print_stack_trace();
  }
}

// True when this allocation, of the kind `what`, is the one to fail.
bool FailsNow(Counted what) {
  if (!Load(g_armed) || t_exempt || !t_program || Load(g_counted) != static_cast<int>(what)) {
    return false;
  }
  const uint64_t c = __atomic_add_fetch(&g_count, 1, __ATOMIC_RELAXED);
  if (c != Load(g_failAt)) return false;
  Fire();
  return true;
}

bool MallocFailsNow() {
  if (!FailsNow(Counted::kMalloc)) return false;
  errno = ENOMEM;
  return true;
}

void* Allocate(std::size_t n) {
  if (FailsNow(Counted::kOperatorNew)) return nullptr;
  return std::malloc(n ? n : 1);
}

void* AllocateOrThrow(std::size_t n) {
  void* p = Allocate(n);
  if (!p) throw std::bad_alloc();
  return p;
}

void* AllocateAligned(std::size_t n, std::align_val_t al) {
  const std::size_t a = static_cast<std::size_t>(al);
  if (FailsNow(Counted::kOperatorNew)) return nullptr;
  return std::aligned_alloc(a, (n + a - 1) / a * a);
}

// A thread's function and argument, handed to RunProgram.
struct ThreadStart {
  void* (*fn)(void*);
  void* arg;
};

void* RunProgram(void* p) {
  const ThreadStart start = *static_cast<ThreadStart*>(p);
  std::free(p);
  t_program = true;
  return start.fn(start.arg);
}

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
CreateFn NextCreate() {
  static const CreateFn s_next = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  return s_next;
}

}  // namespace

void Arm(uint64_t failAt, Counted what) {
  t_program = true;
  NextCreate();  // looked up before anything is counted
  Store(g_count, uint64_t(0));
  Store(g_fired, false);
  Store(g_failAt, failAt);
  Store(g_counted, static_cast<int>(what));
  Store(g_armed, true);
}

uint64_t Disarm() {
  Store(g_armed, false);
  return Load(g_count);
}

bool Fired() { return Load(g_fired); }

void ExemptThisThread() { t_exempt = true; }

}  // namespace allocfail

void* operator new(std::size_t n) { return allocfail::AllocateOrThrow(n); }
void* operator new[](std::size_t n) { return allocfail::AllocateOrThrow(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return allocfail::Allocate(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return allocfail::Allocate(n);
}
void* operator new(std::size_t n, std::align_val_t al) {
  void* p = allocfail::AllocateAligned(n, al);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n, std::align_val_t al) { return operator new(n, al); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

// The C allocation functions, counted when armed for Counted::kMalloc. free
// is left alone: every block still comes from the allocator behind.
extern "C" {
void* malloc(size_t n) {
  if (allocfail::MallocFailsNow()) return nullptr;
  return __interceptor_malloc ? __interceptor_malloc(n) : __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  if (allocfail::MallocFailsNow()) return nullptr;
  return __interceptor_calloc ? __interceptor_calloc(n, size) : __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  if (allocfail::MallocFailsNow()) return nullptr;
  return __interceptor_realloc ? __interceptor_realloc(p, n) : __libc_realloc(p, n);
}
void* aligned_alloc(size_t alignment, size_t n) {
  if (allocfail::MallocFailsNow()) return nullptr;
  return __interceptor_aligned_alloc ? __interceptor_aligned_alloc(alignment, n)
                                     : __libc_memalign(alignment, n);
}
}

// Every thread starts uncounted and counts once its own function runs.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                              void* (*fn)(void*), void* arg) {
  const allocfail::CreateFn next = allocfail::NextCreate();
  if (!next) return EAGAIN;
  // Not counted: the program's own allocations stay the ones they were.
  void* start = __interceptor_malloc ? __interceptor_malloc(sizeof(allocfail::ThreadStart))
                                     : __libc_malloc(sizeof(allocfail::ThreadStart));
  if (!start) return EAGAIN;
  *static_cast<allocfail::ThreadStart*>(start) = {fn, arg};
  const int rc = next(thread, attr, allocfail::RunProgram, start);
  if (rc != 0) std::free(start);
  return rc;
}
