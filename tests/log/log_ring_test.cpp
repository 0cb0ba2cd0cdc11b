#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "LogTestEnv.h"
#include "log/LogWriter.h"

using kdl::test::Print;
using kdl::test::WriterTest;

namespace {

constexpr size_t kBlock = 0x20000;
constexpr size_t kSlot = 1020;

// A second view of the writer's block, opened by name as a viewer would.
struct Viewer {
  kdl::plat::SharedBlockHandles h;
  Viewer(const std::string& mem, const std::string& evt) {
    h = kdl::plat::SharedBlockOpen(mem, evt, kBlock);
  }
  ~Viewer() { kdl::plat::SharedBlockClose(h, kBlock); }
  unsigned char* p() const { return static_cast<unsigned char*>(h.view); }
  const unsigned char* slot(size_t i) const { return p() + 12 + i * kSlot; }
  std::string text(size_t i) const { return reinterpret_cast<const char*>(slot(i) + 4); }
};

}  // namespace

using RingTest = WriterTest;

TEST_F(RingTest, FirstRecordLayoutByteForByte) {
  CLogWriter& w = Writer();
  w.m_nPrefixMask = 0;
  Viewer v(m_mem, m_evt);
  ASSERT_NE(nullptr, v.p());
  Print(w, LOG_ERROR, "Udp Create failed.");

  // Header: reserved 0, next index 1, reserved 0.
  const unsigned char head[12] = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(head, v.p(), sizeof(head)));
  // Slot 0: level 32 little-endian, then "[Error]|Udp Create failed.\n" and
  // zeros to the end of the slot.
  const unsigned char slot0[] = {0x20, 0x00, 0x00, 0x00, '[', 'E', 'r', 'r', 'o', 'r', ']', '|',
                                 'U',  'd',  'p',  ' ',  'C', 'r', 'e', 'a', 't', 'e', ' ', 'f',
                                 'a',  'i',  'l',  'e',  'd', '.', '\n', 0x00};
  EXPECT_EQ(0, std::memcmp(slot0, v.slot(0), sizeof(slot0)));
  for (size_t i = sizeof(slot0); i < kSlot; ++i) ASSERT_EQ(0, v.slot(0)[i]) << i;
  EXPECT_EQ(0, v.slot(1)[0]);
}

TEST_F(RingTest, WrapsAfter127Records) {
  CLogWriter& w = Writer();
  w.m_nPrefixMask = 0;
  Viewer v(m_mem, m_evt);
  ASSERT_NE(nullptr, v.p());
  for (int k = 1; k <= 126; ++k) Print(w, LOG_INFO, "rec %d", k);
  EXPECT_EQ(126, v.p()[4]);

  Print(w, LOG_WARNING, "rec 127");
  EXPECT_EQ("[Warning]|rec 127\n", v.text(126));
  EXPECT_EQ(8, v.slot(126)[0]);
  const unsigned char zeroIndex[4] = {0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(zeroIndex, v.p() + 4, 4));

  Print(w, LOG_ERROR, "rec 128");
  EXPECT_EQ("[Error]|rec 128\n", v.text(0));
  EXPECT_EQ(32, v.slot(0)[0]);
  EXPECT_EQ("[Info]|rec 2\n", v.text(1));
  EXPECT_EQ(1, v.p()[4]);

  // The reserved words stay zero. After the last slot: the line count (128),
  // a non-zero stamp, and zeros to the end.
  for (size_t i : {0, 1, 2, 3, 8, 9, 10, 11}) EXPECT_EQ(0, v.p()[i]) << i;
  const size_t tail = 12 + 127 * kSlot;
  const unsigned char count128[4] = {0x80, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(count128, v.p() + tail, 4));
  EXPECT_NE(0u, v.p()[tail + 4] | v.p()[tail + 5] | v.p()[tail + 6] | v.p()[tail + 7]);
  for (size_t i = tail + 8; i < kBlock; ++i) ASSERT_EQ(0, v.p()[i]) << i;
}

TEST_F(RingTest, LongLineIsCutToTheSlotWithItsLineFeed) {
  CLogWriter& w = Writer();
  Viewer v(m_mem, m_evt);
  ASSERT_NE(nullptr, v.p());
  Print(w, LOG_INFO, "%s", std::string(1500, 'y').c_str());

  const std::string prefix = "[09:05:03.007]|[0a1c]|[Info]|";
  const std::string expected = prefix + std::string(1014 - prefix.size(), 'y') + "\n";
  ASSERT_EQ(1015u, expected.size());
  EXPECT_EQ(expected, v.text(0));
  EXPECT_EQ(0, v.slot(0)[kSlot - 1]);
  // Nothing spilled into the next slot.
  for (size_t i = 0; i < kSlot; ++i) ASSERT_EQ(0, v.slot(1)[i]) << i;
  // The file has the whole line.
  EXPECT_EQ(prefix + std::string(1500, 'y') + "\n", kdl::test::ReadAll(DailyFile("20261207")));

  // A line of exactly 1,015 bytes fits unchanged; one byte more is cut.
  w.m_nPrefixMask = 0;
  const std::string fits = std::string(1015 - 8, 'a');  // "[Info]|" + text + "\n"
  Print(w, LOG_INFO, "%s", fits.c_str());
  EXPECT_EQ("[Info]|" + fits + "\n", v.text(1));
  Print(w, LOG_INFO, "%s", (fits + "b").c_str());
  EXPECT_EQ("[Info]|" + fits + "\n", v.text(2));
}

TEST_F(RingTest, OutOfRangeIndexRestartsAtSlotZero) {
  CLogWriter& w = Writer();
  w.m_nPrefixMask = 0;
  Viewer v(m_mem, m_evt);
  ASSERT_NE(nullptr, v.p());
  // Some other party wrote garbage into the index.
  const unsigned char bad[4] = {0x88, 0x13, 0x00, 0x00};  // 5000
  std::memcpy(v.p() + 4, bad, 4);
  Print(w, LOG_INFO, "after 5000");
  EXPECT_EQ("[Info]|after 5000\n", v.text(0));
  EXPECT_EQ(1, v.p()[4]);

  const unsigned char negative[4] = {0xff, 0xff, 0xff, 0xff};
  std::memcpy(v.p() + 4, negative, 4);
  Print(w, LOG_INFO, "after -1");
  EXPECT_EQ("[Info]|after -1\n", v.text(0));
  EXPECT_EQ(1, v.p()[4]);
  EXPECT_EQ(0, v.p()[5]);
}

TEST_F(RingTest, OpeningZeroesTheBlockAndSignalsEachRecord) {
  Viewer v(m_mem, m_evt);
  ASSERT_NE(nullptr, v.p());
  std::memset(v.p(), 0xab, kBlock);  // left over from an earlier writer
  CLogWriter& w = Writer();
  for (size_t i = 0; i < kBlock; ++i) ASSERT_EQ(0, v.p()[i]) << i;

  EXPECT_FALSE(kdl::plat::SharedBlockWait(v.h, 20));
  Print(w, LOG_INFO, "one");
  EXPECT_TRUE(kdl::plat::SharedBlockWait(v.h, 2000));
  EXPECT_FALSE(kdl::plat::SharedBlockWait(v.h, 20));
  Print(w, LOG_INFO, "two");
  EXPECT_TRUE(kdl::plat::SharedBlockWait(v.h, 2000));

  // With the shared output off, no record and no signal.
  w.m_nOutputMask = LOG_OUT_FILE;
  Print(w, LOG_INFO, "three");
  EXPECT_FALSE(kdl::plat::SharedBlockWait(v.h, 20));
  EXPECT_EQ(2, v.p()[4]);
}

TEST_F(RingTest, ClosedBlockPublishesNothing) {
  CLogWriter& w = Writer();
  Viewer v(m_mem, m_evt);
  w.SharedBlock().Close();
  EXPECT_FALSE(w.SharedBlock().IsReady());
  Print(w, LOG_INFO, "file only");
  EXPECT_EQ(0, v.p()[4]);
  EXPECT_FALSE(kdl::plat::SharedBlockWait(v.h, 20));
  EXPECT_EQ("[09:05:03.007]|[0a1c]|[Info]|file only\n",
            kdl::test::ReadAll(DailyFile("20261207")));
}

TEST_F(RingTest, BlockShrunkByAnotherProcessIsGrownBack) {
  CLogWriter& w = Writer();
  Print(w, LOG_INFO, "before");
  // Another process with access to the object cuts it to nothing; a write
  // into the mapping past its end would raise SIGBUS.
  const std::string name = kdl::plat::PosixObjectName(m_mem);
  ASSERT_EQ(0, truncate(("/dev/shm" + name).c_str(), 0));
  Print(w, LOG_INFO, "after");
  Viewer v(m_mem, m_evt);
  EXPECT_EQ(1, v.p()[4]);
  EXPECT_EQ("[09:05:03.007]|[0a1c]|[Info]|after\n", v.text(0));
}
