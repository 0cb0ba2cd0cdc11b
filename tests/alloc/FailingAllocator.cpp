#include "tests/alloc/FailingAllocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
extern "C" void __sanitizer_print_stack_trace();
#endif

namespace allocfail {
namespace {

std::atomic<bool> g_armed{false};
std::atomic<uint64_t> g_count{0};
std::atomic<uint64_t> g_failAt{0};
std::atomic<bool> g_fired{false};
thread_local bool t_exempt = false;

// Marks the failure; with KELVANE_ALLOC_TRACE set, shows where it happened.
void Fire() {
  g_fired = true;
#if defined(__SANITIZE_ADDRESS__)
  if (std::getenv("KELVANE_ALLOC_TRACE")) __sanitizer_print_stack_trace();
#endif
}

void* Allocate(std::size_t n) {
  if (g_armed.load(std::memory_order_relaxed) && !t_exempt) {
    const uint64_t c = g_count.fetch_add(1, std::memory_order_relaxed) + 1;
    if (c == g_failAt.load(std::memory_order_relaxed)) {
      Fire();
      return nullptr;
    }
  }
  return std::malloc(n ? n : 1);
}

void* AllocateOrThrow(std::size_t n) {
  void* p = Allocate(n);
  if (!p) throw std::bad_alloc();
  return p;
}

void* AllocateAligned(std::size_t n, std::align_val_t al) {
  const std::size_t a = static_cast<std::size_t>(al);
  if (g_armed.load(std::memory_order_relaxed) && !t_exempt) {
    const uint64_t c = g_count.fetch_add(1, std::memory_order_relaxed) + 1;
    if (c == g_failAt.load(std::memory_order_relaxed)) {
      Fire();
      return nullptr;
    }
  }
  return std::aligned_alloc(a, (n + a - 1) / a * a);
}

}  // namespace

void Arm(uint64_t failAt) {
  g_count = 0;
  g_fired = false;
  g_failAt = failAt;
  g_armed = true;
}

uint64_t Disarm() {
  g_armed = false;
  return g_count.load();
}

bool Fired() { return g_fired.load(); }

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
