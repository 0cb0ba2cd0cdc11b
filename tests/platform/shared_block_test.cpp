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
  EXPECT_EQ(0, pb[0]);
  EXPECT_EQ(0, pb[kSize - 1]);  // a new object is zero-filled to its full size
  pa[4] = 0x7e;
  pa[kSize - 1] = 0x55;
  EXPECT_EQ(0x7e, pb[4]);
  EXPECT_EQ(0x55, pb[kSize - 1]);

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

  EXPECT_FALSE(kdl::plat::SharedBlockWait(reader, 20));
  kdl::plat::SharedBlockSignal(writer);
  EXPECT_TRUE(kdl::plat::SharedBlockWait(reader, 2000));
  EXPECT_FALSE(kdl::plat::SharedBlockWait(reader, 20));  // consumed

  // Three signals before a wait leave it signalled once.
  kdl::plat::SharedBlockSignal(writer);
  kdl::plat::SharedBlockSignal(writer);
  kdl::plat::SharedBlockSignal(writer);
  EXPECT_TRUE(kdl::plat::SharedBlockWait(reader, 2000));
  EXPECT_FALSE(kdl::plat::SharedBlockWait(reader, 20));

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
