#include <gtest/gtest.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/shm.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/Platform.h"

namespace {

constexpr size_t kSize = 0x20000;

// Unique names per test process, removed at the end.
class SharedBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string base = "Global\\kvplat_" + std::to_string(getpid());
    m_mem = base + ".mem";
    m_evt = base + ".evt";
    kdl::plat::SharedBlockUnlink(m_mem, m_evt);
  }
  void TearDown() override { kdl::plat::SharedBlockUnlink(m_mem, m_evt); }
  std::string m_mem, m_evt;
};

}  // namespace

TEST_F(SharedBlockTest, TwoOpensShareTheMemory) {
  kdl::plat::SharedBlockHandles a = kdl::plat::SharedBlockOpen(m_mem, m_evt, kSize);
  kdl::plat::SharedBlockHandles b = kdl::plat::SharedBlockOpen(m_mem, m_evt, kSize);
  ASSERT_NE(nullptr, a.view);
  ASSERT_NE(nullptr, b.view);
  ASSERT_NE(nullptr, a.event);
  EXPECT_NE(a.view, b.view);

  auto* pa = static_cast<unsigned char*>(a.view);
  auto* pb = static_cast<const unsigned char*>(b.view);
  const size_t last = kSize - kdl::plat::kSharedBlockSeamBytes - 1;  // the caller's last byte
  EXPECT_EQ(0, pb[0]);
  EXPECT_EQ(0, pb[last]);  // a new block is zero-filled to its full size
  pa[4] = 0x7e;
  pa[last] = 0x55;
  EXPECT_EQ(0x7e, pb[4]);
  EXPECT_EQ(0x55, pb[last]);

  kdl::plat::SharedBlockClose(a, kSize);
  EXPECT_EQ(nullptr, a.view);
  EXPECT_EQ(nullptr, a.event);
  EXPECT_EQ(0x7e, pb[4]);  // the other view stays valid
  kdl::plat::SharedBlockClose(b, kSize);

  // After unlinking, the next open gets a fresh block.
  kdl::plat::SharedBlockUnlink(m_mem, m_evt);
  kdl::plat::SharedBlockHandles c = kdl::plat::SharedBlockOpen(m_mem, m_evt, kSize);
  ASSERT_NE(nullptr, c.view);
  EXPECT_EQ(0, static_cast<const unsigned char*>(c.view)[4]);
  kdl::plat::SharedBlockClose(c, kSize);
}

TEST_F(SharedBlockTest, EventIsAutoResetAndDoesNotCount) {
  kdl::plat::SharedBlockHandles writer = kdl::plat::SharedBlockOpen(m_mem, m_evt, kSize);
  kdl::plat::SharedBlockHandles reader = kdl::plat::SharedBlockOpen(m_mem, m_evt, kSize);
  ASSERT_NE(nullptr, writer.event);
  ASSERT_NE(nullptr, reader.event);

  kdl::plat::SharedBlockPrepareWait(reader);
  EXPECT_FALSE(kdl::plat::SharedBlockWait(reader, 20));
  kdl::plat::SharedBlockPrepareWait(reader);
  kdl::plat::SharedBlockSignal(writer);
  EXPECT_TRUE(kdl::plat::SharedBlockWait(reader, 2000));
  kdl::plat::SharedBlockPrepareWait(reader);
  EXPECT_FALSE(kdl::plat::SharedBlockWait(reader, 20));  // consumed

  // Three signals before a wait leave it signalled once.
  kdl::plat::SharedBlockSignal(writer);
  kdl::plat::SharedBlockSignal(writer);
  kdl::plat::SharedBlockSignal(writer);
  EXPECT_TRUE(kdl::plat::SharedBlockWait(reader, 2000));
  kdl::plat::SharedBlockPrepareWait(reader);
  EXPECT_FALSE(kdl::plat::SharedBlockWait(reader, 20));

  // A waiter asleep in another thread is woken, not only one that has yet
  // to sleep.
  std::atomic<int> woken{-1};
  std::thread sleeper([&] {
    kdl::plat::SharedBlockPrepareWait(reader);
    woken = kdl::plat::SharedBlockWait(reader, 20000) ? 1 : 0;
  });
  while (woken < 0) {  // a signal before the sleeper announced itself is no signal
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kdl::plat::SharedBlockSignal(writer);
  }
  sleeper.join();
  EXPECT_EQ(1, woken);

  kdl::plat::SharedBlockClose(writer, kSize);
  kdl::plat::SharedBlockClose(reader, kSize);
}

TEST_F(SharedBlockTest, ClosedHandlesAreHarmless) {
  kdl::plat::SharedBlockHandles none;
  kdl::plat::SharedBlockSignal(none);
  EXPECT_FALSE(kdl::plat::SharedBlockWait(none, 10));
  kdl::plat::SharedBlockClose(none, kSize);
  kdl::plat::SharedBlockClose(none, kSize);
  EXPECT_EQ(nullptr, none.view);
}

#ifndef _WIN32
// A viewer finds the block by name and lists it; a segment in the way of the
// name's first key sends it to the next; another user's is refused; once the
// name is removed the views stay and the next open makes a fresh block.
TEST_F(SharedBlockTest, FoundByNameListedRefusedAndRemoved) {
  using kdl::plat::SharedBlockStatus;
  const int squatter = shmget(kdl::plat::SharedBlockKey(m_mem), 2 * kSize, IPC_CREAT | 0600);
  ASSERT_GE(squatter, 0);
  kdl::plat::SharedBlockHandles w = kdl::plat::SharedBlockOpen(m_mem, m_evt, kSize);
  ASSERT_EQ(SharedBlockStatus::kOk, w.status);
  EXPECT_NE(squatter, w.segment);
  static_cast<unsigned char*>(w.view)[8] = 0x42;
  kdl::plat::SharedBlockHandles v = kdl::plat::SharedBlockOpenExisting(m_mem, m_evt, kSize);
  ASSERT_NE(nullptr, v.view);
  EXPECT_NE(nullptr, v.event);
  EXPECT_EQ(0x42, static_cast<const unsigned char*>(v.view)[8]);
  EXPECT_EQ(w.identity, kdl::plat::SharedBlockIdentity(m_mem));
  const auto names = kdl::plat::ListSharedBlockNames(kSize);
  EXPECT_NE(names.end(), std::find(names.begin(), names.end(), m_mem));
  EXPECT_EQ(nullptr, kdl::plat::SharedBlockOpenExisting(m_mem, m_evt, 2 * kSize).view);
  ASSERT_EQ(0, shmctl(squatter, IPC_RMID, nullptr));

  shmid_ds ds;
  ASSERT_EQ(0, shmctl(w.segment, IPC_STAT, &ds));
  ds.shm_perm.uid = 65534;  // given to another user
  ASSERT_EQ(0, shmctl(w.segment, IPC_SET, &ds));
  kdl::plat::SharedBlockHandles other = kdl::plat::SharedBlockOpen(m_mem, m_evt, kSize);
  EXPECT_EQ(SharedBlockStatus::kOtherOwner, other.status);
  EXPECT_EQ(nullptr, other.view);

  kdl::plat::SharedBlockUnlink(m_mem, m_evt);
  EXPECT_EQ(nullptr, kdl::plat::SharedBlockOpenExisting(m_mem, m_evt, kSize).view);
  EXPECT_EQ(0x42, static_cast<const unsigned char*>(v.view)[8]);

  kdl::plat::SharedBlockHandles fresh = kdl::plat::SharedBlockOpen(m_mem, m_evt, kSize);
  ASSERT_NE(nullptr, fresh.view);
  EXPECT_EQ(0, static_cast<const unsigned char*>(fresh.view)[8]);
  EXPECT_NE(w.identity, fresh.identity);
  for (auto* h : {&w, &v, &fresh}) kdl::plat::SharedBlockClose(*h, kSize);
}
#endif
