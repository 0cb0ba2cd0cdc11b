#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Platform.h"

TEST(Lock, IsRecursiveAndHeldUntilTheLastRelease) {
  kdl::plat::Lock lock;
  std::atomic<bool> entered{false};
  lock.Acquire();
  lock.Acquire();  // would deadlock on a plain mutex
  lock.Release();
  std::thread other([&] {
    kdl::plat::LockGuard hold(lock);
    entered = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(entered.load());  // still held once
  lock.Release();
  other.join();
  EXPECT_TRUE(entered.load());
}

TEST(Lock, SerialisesThreads) {
  kdl::plat::Lock lock;
  long counter = 0;  // deliberately not atomic: the lock must protect it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        kdl::plat::LockGuard hold(lock);
        long v = counter;
        counter = v + 1;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(80000, counter);
}

TEST(Atomic, IncrementDecrementAcrossThreads) {
  volatile int32_t value = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&value, t] {
      for (int i = 0; i < 20000; ++i) {
        if (t % 2 == 0) {
          kdl::plat::AtomicIncrement(&value);
          kdl::plat::AtomicIncrement(&value);
        } else {
          kdl::plat::AtomicDecrement(&value);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(40000, kdl::plat::AtomicLoad(&value));
}

TEST(Atomic, ReturnValues) {
  volatile int32_t v = 5;
  EXPECT_EQ(6, kdl::plat::AtomicIncrement(&v));
  EXPECT_EQ(5, kdl::plat::AtomicDecrement(&v));
  // Compare-exchange returns what was there, swapping only on a match.
  EXPECT_EQ(5, kdl::plat::AtomicCompareExchange(&v, 9, 4));
  EXPECT_EQ(5, kdl::plat::AtomicLoad(&v));
  EXPECT_EQ(5, kdl::plat::AtomicCompareExchange(&v, 9, 5));
  EXPECT_EQ(9, kdl::plat::AtomicLoad(&v));
  kdl::plat::AtomicStore(&v, -1);
  EXPECT_EQ(-1, kdl::plat::AtomicLoad(&v));
}

TEST(Atomic, CompareExchangeClaimsEachValueOnce) {
  volatile int32_t next = 0;
  std::vector<int> claimedBy(40000, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        int32_t seen = kdl::plat::AtomicLoad(&next);
        for (;;) {
          int32_t before = kdl::plat::AtomicCompareExchange(&next, seen + 1, seen);
          if (before == seen) break;
          seen = before;
        }
        __atomic_add_fetch(&claimedBy[seen], 1, __ATOMIC_RELAXED);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(40000, kdl::plat::AtomicLoad(&next));
  for (int c : claimedBy) ASSERT_EQ(1, c);
}
