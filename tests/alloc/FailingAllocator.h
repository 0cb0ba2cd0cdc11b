// A replacement of the global operator new that fails one chosen allocation:
// the Nth counted one after Arm(N). Linked into a test program, it drives
// every allocation of the library (and of the standard library and Asio on
// its behalf) through one counter, so a sweep over N reaches each of them.
#pragma once

#include <cstdint>

namespace allocfail {

// Counts allocations from now on and fails the `failAt`th (1-based; 0 counts
// without failing). Throwing forms throw std::bad_alloc, nothrow forms
// return null.
void Arm(uint64_t failAt);
// Stops counting; returns how many allocations were counted.
uint64_t Disarm();
// True once the chosen allocation has been failed.
bool Fired();
// Allocations on the calling thread are never counted (a test's own peer).
void ExemptThisThread();

}  // namespace allocfail
