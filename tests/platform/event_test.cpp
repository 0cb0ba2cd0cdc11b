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
  kdl::plat::EventHandle e = kdl::plat::EventCreate();
  ASSERT_NE(kdl::plat::NoEvent(), e);
  auto start = Clock::now();
  EXPECT_FALSE(kdl::plat::EventWait(e, 200));
  EXPECT_GE(MsSince(start), 190);
  kdl::plat::EventClose(e);
}

TEST(Event, AutoResetConsumesOneSignal) {
  kdl::plat::EventHandle e = kdl::plat::EventCreate();
  kdl::plat::EventSet(e);
  kdl::plat::EventSet(e);
  EXPECT_TRUE(kdl::plat::EventWait(e, 0));
  EXPECT_FALSE(kdl::plat::EventWait(e, 0));

  kdl::plat::EventSet(e);
  kdl::plat::EventReset(e);
  EXPECT_FALSE(kdl::plat::EventWait(e, 10));
  kdl::plat::EventClose(e);
}

TEST(Event, SetFromAnotherThreadWakesTheWaiter) {
  kdl::plat::EventHandle e = kdl::plat::EventCreate();
  std::thread setter([e] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kdl::plat::EventSet(e);
  });
  EXPECT_TRUE(kdl::plat::EventWait(e, 10000));
  setter.join();
  EXPECT_FALSE(kdl::plat::EventWait(e, 0));
  kdl::plat::EventClose(e);
}

TEST(Event, OneSignalReleasesOneOfTwoWaiters) {
  kdl::plat::EventHandle e = kdl::plat::EventCreate();
  std::atomic<int> woken{0};
  auto waiter = [&] {
    if (kdl::plat::EventWait(e, 1500)) ++woken;
  };
  std::thread a(waiter), b(waiter);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  kdl::plat::EventSet(e);
  a.join();
  b.join();
  EXPECT_EQ(1, woken.load());
  kdl::plat::EventClose(e);
}

TEST(Event, NoEventIsHarmless) {
  kdl::plat::EventSet(kdl::plat::NoEvent());
  kdl::plat::EventReset(kdl::plat::NoEvent());
  EXPECT_FALSE(kdl::plat::EventWait(kdl::plat::NoEvent(), 10));
  kdl::plat::EventClose(kdl::plat::NoEvent());
  EXPECT_FALSE(kdl::plat::EventWait(nullptr, 0));
}
