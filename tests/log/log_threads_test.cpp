#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LogTestEnv.h"
#include "log/LogWriter.h"

using kdl::test::WriterTest;

using ConcurrentWriterTest = WriterTest;

TEST_F(ConcurrentWriterTest, LinesFromManyThreadsNeverInterleave) {
  CLogWriter& w = Writer();
  w.m_nPrefixMask = LOG_PREFIX_TIME | LOG_PREFIX_THREAD | LOG_PREFIX_LOCATION;
  constexpr int kThreads = 4;
  constexpr int kLines = 250;
  const std::string pad(300, 'p');
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string source = "T" + std::to_string(t);
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kLines; ++i) {
        w.WriteAt(source.c_str(), i, LOG_INFO, "thread %d line %d %s", t, i, pad.c_str());
      }
    });
  }
  go = true;
  for (auto& th : threads) th.join();

  // Every line is whole, and its location belongs to its own text.
  std::istringstream in(kdl::test::ReadAll(DailyFile("20261207")));
  std::set<std::pair<int, int>> seen;
  std::string line;
  while (std::getline(in, line)) {
    int t = -1, i = -1, t2 = -2, i2 = -2;
    char tail[400] = {};
    int got = std::sscanf(line.c_str(), "[09:05:03.007]|[0a1c]|[T%d:%d]|[Info]|thread %d line %d %399s",
                          &t, &i, &t2, &i2, tail);
    ASSERT_EQ(5, got) << line;
    ASSERT_EQ(t, t2) << line;
    ASSERT_EQ(i, i2) << line;
    ASSERT_EQ(pad, tail) << line;
    EXPECT_TRUE(seen.insert({t, i}).second) << line;
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());

  // The ring holds whole lines too: the newest record is the last in time.
  const unsigned char* b = w.SharedBlock().Base();
  ASSERT_NE(nullptr, b);
  const uint32_t next = b[4];
  EXPECT_EQ(static_cast<uint32_t>(kThreads * kLines % 127), next);
  for (uint32_t s = 0; s < 127; ++s) {
    const char* text = reinterpret_cast<const char*>(b + 12 + s * 1020 + 4);
    ASSERT_EQ(0, std::strncmp(text, "[09:05:03.007]|[0a1c]|[T", 24)) << s;
    ASSERT_EQ('\n', text[std::strlen(text) - 1]) << s;
  }
}

// The only test that touches the process's own writer.
TEST(ProcessWriter, BuiltOnceAndReachedByTheLogCalls) {
  constexpr int kThreads = 8;
  std::atomic<bool> go{false};
  std::vector<CLogWriter*> got(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      got[t] = CLogWriter::Instance();
    });
  }
  go = true;
  for (auto& th : threads) th.join();
  ASSERT_NE(nullptr, got[0]);
  for (CLogWriter* p : got) EXPECT_EQ(got[0], p);
  EXPECT_EQ(got[0], CLogWriter::Instance());

  CLogWriter* w = CLogWriter::Instance();
  EXPECT_EQ(0x0Fu, w->m_nOutputMask);
  EXPECT_NE(std::string::npos, w->LogDirectory().find("/Log"));
  w->m_nOutputMask = LOG_OUT_CONSOLE;
  w->m_nPrefixMask = LOG_PREFIX_LOCATION;

  testing::internal::CaptureStdout();
  w->SetLocation("log/LogThreads_test.cpp", 7);
  LogPrint(LOG_INFO, "print %d", 1);
  LogPrint(LOG_DEBUG, "masked");
  const int line = __LINE__ + 1;
  KLOG_AT("NetManager", LOG_ERROR, "Udp Create failed.");
  KLOG_LINE("BasePlatform/NetHandler2", 123, LOG_WARNING, "code %u", 5u);
  std::fflush(stdout);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("[log/LogThreads_test.cpp:7]|[Info]|print 1\n"
            "[NetManager:" + std::to_string(line) + "]|[Error]|Udp Create failed.\n"
            "[BasePlatform/NetHandler2:123]|[Warning]|code 5\n",
            out);
}
