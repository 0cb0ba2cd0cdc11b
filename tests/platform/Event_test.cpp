#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Platform.h"

namespace {
using Clock = std::chrono::steady_clock;
long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}
}  // namespace

TEST(Event, StartsUnsignalledAndTimesOut) {
  kplat::EventHandle e = kplat::EventCreate();
  ASSERT_NE(kplat::NoEvent(), e);
  auto start = Clock::now();
  EXPECT_FALSE(kplat::EventWait(e, 200));
  EXPECT_GE(MsSince(start), 190);
  kplat::EventClose(e);
}

TEST(Event, AutoResetConsumesOneSignal) {
  kplat::EventHandle e = kplat::EventCreate();
  kplat::EventSet(e);
  kplat::EventSet(e);
  EXPECT_TRUE(kplat::EventWait(e, 0));
  EXPECT_FALSE(kplat::EventWait(e, 0));

  kplat::EventSet(e);
  kplat::EventReset(e);
  EXPECT_FALSE(kplat::EventWait(e, 10));
  kplat::EventClose(e);
}

TEST(Event, SetFromAnotherThreadWakesTheWaiter) {
  kplat::EventHandle e = kplat::EventCreate();
  std::thread setter([e] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kplat::EventSet(e);
  });
  EXPECT_TRUE(kplat::EventWait(e, 10000));
  setter.join();
  EXPECT_FALSE(kplat::EventWait(e, 0));
  kplat::EventClose(e);
}

TEST(Event, OneSignalReleasesOneOfTwoWaiters) {
  kplat::EventHandle e = kplat::EventCreate();
  std::atomic<int> woken{0};
  auto waiter = [&] {
    if (kplat::EventWait(e, 1500)) ++woken;
  };
  std::thread a(waiter), b(waiter);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  kplat::EventSet(e);
  a.join();
  b.join();
  EXPECT_EQ(1, woken.load());
  kplat::EventClose(e);
}

TEST(Event, NoEventIsHarmless) {
  kplat::EventSet(kplat::NoEvent());
  kplat::EventReset(kplat::NoEvent());
  EXPECT_FALSE(kplat::EventWait(kplat::NoEvent(), 10));
  kplat::EventClose(kplat::NoEvent());
  EXPECT_FALSE(kplat::EventWait(nullptr, 0));
}
