#include <gtest/gtest.h>
#include <sys/shm.h>

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

  // The reserved words stay zero. After the last slot: the claim word
  // (generation 1, next line 128), the restart word (generation 127, line
  // 0: the block was new), the format word, and one sequence word per slot:
  // line 127 of lap 1 in slot 0 (2 * 1 + 2), the others of lap 0. Zeros
  // after the checksums up to the seam's bytes.
  for (size_t i : {0, 1, 2, 3, 8, 9, 10, 11}) EXPECT_EQ(0, v.p()[i]) << i;
  const unsigned char words[] = {0x80, 0, 0, 0x02, 0, 0, 0, 0xfe, 'K', 'L', 'R', '2'};
  EXPECT_EQ(0, std::memcmp(words, v.p() + 129552, sizeof(words)));
  for (size_t slot = 0; slot < 127; ++slot) {
    const unsigned char seq[4] = {slot == 0 ? uint8_t(4) : uint8_t(2), 0, 0, 0x02};
    ASSERT_EQ(0, std::memcmp(seq, v.p() + 129600 + 4 * slot, 4)) << slot;
  }
  for (size_t i = 130112 + 4 * 127; i < kBlock - 192; ++i) ASSERT_EQ(0, v.p()[i]) << i;
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

// Only the claim word decides where a line goes; garbage that some other
// party wrote into the index is overwritten, and a claim word out of range
// starts again at line 0.
TEST_F(RingTest, GarbageInTheIndexOrClaimWordIsMended) {
  CLogWriter& w = Writer();
  w.m_nPrefixMask = 0;
  Viewer v(m_mem, m_evt);
  ASSERT_NE(nullptr, v.p());
  const unsigned char bad[4] = {0x88, 0x13, 0x00, 0x00};  // 5000
  std::memcpy(v.p() + 4, bad, 4);
  Print(w, LOG_INFO, "after 5000");
  EXPECT_EQ("[Info]|after 5000\n", v.text(0));
  EXPECT_EQ(1, v.p()[4]);

  std::memset(v.p() + 129552, 0xff, 4);  // generation 127, line 2^25 - 1
  Print(w, LOG_INFO, "after -1");
  EXPECT_EQ("[Info]|after -1\n", v.text(0));
  const unsigned char index1[4] = {1, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(index1, v.p() + 4, 4));
}

TEST_F(RingTest, OpeningClearsTheRingAndSignalsEachRecord) {
  Viewer v(m_mem, m_evt);
  ASSERT_NE(nullptr, v.p());
  std::memset(v.p(), 0xab, kBlock - 192);  // left over from some other party
  CLogWriter& w = Writer();
  for (size_t i = 0; i < 129552; ++i) ASSERT_EQ(0, v.p()[i]) << i;
  const unsigned char words[] = {0, 0, 0, 0x02, 0, 0, 0, 0xfe, 'K', 'L', 'R', '2'};
  EXPECT_EQ(0, std::memcmp(words, v.p() + 129552, sizeof(words)));
  for (size_t i = 129552 + sizeof(words); i < kBlock - 192; ++i) ASSERT_EQ(0, v.p()[i]) << i;

  kdl::plat::SharedBlockPrepareWait(v.h);
  EXPECT_FALSE(kdl::plat::SharedBlockWait(v.h, 20));
  kdl::plat::SharedBlockPrepareWait(v.h);
  Print(w, LOG_INFO, "one");
  EXPECT_TRUE(kdl::plat::SharedBlockWait(v.h, 2000));
  kdl::plat::SharedBlockPrepareWait(v.h);
  EXPECT_FALSE(kdl::plat::SharedBlockWait(v.h, 20));
  Print(w, LOG_INFO, "two");
  EXPECT_TRUE(kdl::plat::SharedBlockWait(v.h, 2000));

  // With the shared output off, no record and no signal.
  w.m_nOutputMask = LOG_OUT_FILE;
  kdl::plat::SharedBlockPrepareWait(v.h);
  Print(w, LOG_INFO, "three");
  EXPECT_FALSE(kdl::plat::SharedBlockWait(v.h, 20));
  EXPECT_EQ(2, v.p()[4]);

  // A second writer opens the block under the first: the ring is cleared
  // again, the lines run on in generation 2, and the first writer's next
  // line follows in the next slot.
  std::unique_ptr<CLogWriter> first = std::move(m_writer);
  Writer();
  for (size_t i = 12; i < 12 + 2 * kSlot; ++i) ASSERT_EQ(0, v.p()[i]) << i;
  const unsigned char restarted[] = {2, 0, 0, 0x04, 2, 0, 0, 0x02};
  EXPECT_EQ(0, std::memcmp(restarted, v.p() + 129552, sizeof(restarted)));
  first->m_nOutputMask = LOG_OUT_SHARED;
  Print(*first, LOG_INFO, "from the first writer");
  EXPECT_EQ("[09:05:03.007]|[0a1c]|[Info]|from the first writer\n", v.text(2));
  EXPECT_EQ(3, v.p()[4]);
}

TEST_F(RingTest, ClosedBlockPublishesNothing) {
  CLogWriter& w = Writer();
  Viewer v(m_mem, m_evt);
  w.SharedBlock().Close();
  EXPECT_FALSE(w.SharedBlock().IsReady());
  kdl::plat::SharedBlockPrepareWait(v.h);
  Print(w, LOG_INFO, "file only");
  EXPECT_EQ(0, v.p()[4]);
  EXPECT_FALSE(kdl::plat::SharedBlockWait(v.h, 20));
  EXPECT_EQ("[09:05:03.007]|[0a1c]|[Info]|file only\n",
            kdl::test::ReadAll(DailyFile("20261207")));
}

// No call resizes a System V segment: another process can only remove the
// name and put a smaller segment under its key. The writer goes on in its
// block; a later writer refuses the small one, says so once, writes its file.
TEST_F(RingTest, ShrinkAttemptLeavesTheWriterWriting) {
  CLogWriter& w = Writer();
  Print(w, LOG_INFO, "before");
  const int id = kdl::plat::SharedBlockSegment(m_mem);
  ASSERT_GE(id, 0);
  ASSERT_EQ(0, shmctl(id, IPC_RMID, nullptr));
  const int small = shmget(kdl::plat::SharedBlockKey(m_mem), 4096, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(small, 0);
  Print(w, LOG_INFO, "after");
  EXPECT_STREQ("[09:05:03.007]|[0a1c]|[Info]|after\n",
               reinterpret_cast<const char*>(w.SharedBlock().Base() + 12 + kSlot + 4));

  kdl::log::LogEnvironment env;
  env.now = kdl::test::FixedNow;
  env.threadId = kdl::test::FixedThread;
  env.executablePath = kdl::test::FixedExe;
  CLogWriter late(env);
  EXPECT_FALSE(late.SharedBlock().IsReady());
  late.m_nPrefixMask = 0;
  testing::internal::CaptureStdout();
  Print(late, LOG_INFO, "late 1");
  Print(late, LOG_INFO, "late 2");
  EXPECT_EQ("[Info]|late 1\nShared log block " + m_mem +
                " is smaller than the ring: lines are not published to it.\n[Info]|late 2\n",
            testing::internal::GetCapturedStdout());
  EXPECT_EQ(0, shmctl(small, IPC_RMID, nullptr));
  EXPECT_EQ("[09:05:03.007]|[0a1c]|[Info]|before\n[09:05:03.007]|[0a1c]|[Info]|after\n"
            "[Info]|late 1\n[Info]|late 2\n",
            kdl::test::ReadAll(DailyFile("20261207")));
}
