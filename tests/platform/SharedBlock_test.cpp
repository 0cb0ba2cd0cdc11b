#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

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
    kplat::SharedBlockUnlink(m_mem, m_evt);
  }
  void TearDown() override { kplat::SharedBlockUnlink(m_mem, m_evt); }
  std::string m_mem, m_evt;
};

}  // namespace

TEST_F(SharedBlockTest, TwoOpensShareTheMemory) {
  kplat::SharedBlockHandles a = kplat::SharedBlockOpen(m_mem, m_evt, kSize);
  kplat::SharedBlockHandles b = kplat::SharedBlockOpen(m_mem, m_evt, kSize);
  ASSERT_NE(nullptr, a.view);
  ASSERT_NE(nullptr, b.view);
  ASSERT_NE(nullptr, a.event);
  EXPECT_NE(a.view, b.view);

  auto* pa = static_cast<unsigned char*>(a.view);
  auto* pb = static_cast<const unsigned char*>(b.view);
  EXPECT_EQ(0, pb[0]);
  EXPECT_EQ(0, pb[kSize - 1]);  // a new object is zero-filled to its full size
  pa[4] = 0x7e;
  pa[kSize - 1] = 0x55;
  EXPECT_EQ(0x7e, pb[4]);
  EXPECT_EQ(0x55, pb[kSize - 1]);

  kplat::SharedBlockClose(a, kSize);
  EXPECT_EQ(nullptr, a.view);
  EXPECT_EQ(nullptr, a.event);
  EXPECT_EQ(0x7e, pb[4]);  // the other view stays valid
  kplat::SharedBlockClose(b, kSize);

  // After unlinking, the next open gets a fresh block.
  kplat::SharedBlockUnlink(m_mem, m_evt);
  kplat::SharedBlockHandles c = kplat::SharedBlockOpen(m_mem, m_evt, kSize);
  ASSERT_NE(nullptr, c.view);
  EXPECT_EQ(0, static_cast<const unsigned char*>(c.view)[4]);
  kplat::SharedBlockClose(c, kSize);
}

TEST_F(SharedBlockTest, EventIsAutoResetAndDoesNotCount) {
  kplat::SharedBlockHandles writer = kplat::SharedBlockOpen(m_mem, m_evt, kSize);
  kplat::SharedBlockHandles reader = kplat::SharedBlockOpen(m_mem, m_evt, kSize);
  ASSERT_NE(nullptr, writer.event);
  ASSERT_NE(nullptr, reader.event);

  EXPECT_FALSE(kplat::SharedBlockWait(reader, 20));
  kplat::SharedBlockSignal(writer);
  EXPECT_TRUE(kplat::SharedBlockWait(reader, 2000));
  EXPECT_FALSE(kplat::SharedBlockWait(reader, 20));  // consumed

  // Three signals before a wait leave it signalled once.
  kplat::SharedBlockSignal(writer);
  kplat::SharedBlockSignal(writer);
  kplat::SharedBlockSignal(writer);
  EXPECT_TRUE(kplat::SharedBlockWait(reader, 2000));
  EXPECT_FALSE(kplat::SharedBlockWait(reader, 20));

  kplat::SharedBlockClose(writer, kSize);
  kplat::SharedBlockClose(reader, kSize);
}

TEST_F(SharedBlockTest, ClosedHandlesAreHarmless) {
  kplat::SharedBlockHandles none;
  kplat::SharedBlockSignal(none);
  EXPECT_FALSE(kplat::SharedBlockWait(none, 10));
  kplat::SharedBlockClose(none, kSize);
  kplat::SharedBlockClose(none, kSize);
  EXPECT_EQ(nullptr, none.view);
}
