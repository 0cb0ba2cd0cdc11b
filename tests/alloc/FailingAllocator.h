// Failing one chosen allocation: the Nth counted one after Arm(N). Linked
// into a test program, it counts either every call of the global operator
// new (replaced here) or every call of malloc, calloc, realloc and
// aligned_alloc (interposed here, ahead of the C library and of a
// sanitizer's allocator), which also reaches what the C library and the
// dynamic loader allocate for a library: thread-local storage, file
// buffers, thread stacks' bookkeeping. A sweep over N reaches each of them.
// Counted are the thread that arms and every thread from the moment its own
// function runs (pthread_create is interposed for that), not what a
// sanitizer's runtime allocates while it starts a thread.
#pragma once

#include <cstdint>

namespace allocfail {

// What Arm counts and fails.
enum class Counted {
  kOperatorNew,  // throwing forms throw std::bad_alloc, nothrow forms return null
  kMalloc,       // the call returns null with errno ENOMEM (operator new included)
};

// Counts allocations of `what` from now on and fails the `failAt`th
// (1-based; 0 counts without failing).
void Arm(uint64_t failAt, Counted what = Counted::kOperatorNew);
// Stops counting; returns how many allocations were counted.
uint64_t Disarm();
// True once the chosen allocation has been failed.
bool Fired();
// Allocations on the calling thread are never counted (a test's own peer).
void ExemptThisThread();

}  // namespace allocfail
