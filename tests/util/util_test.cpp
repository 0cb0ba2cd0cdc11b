#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "util/IPv4Text.h"
#include "util/NeverDestroyed.h"
#include "util/Text.h"

namespace {

using kdl::util::CopyField;
using kdl::util::CopyTerminated;

TEST(IPv4Text, FirstOctetFromTheMostSignificantByte) {
  char text[kdl::util::kIPv4TextSize];
  std::memset(text, 'x', sizeof text);
  kdl::util::FormatIPv4(0xFFFFFFFFu, text);
  EXPECT_STREQ("255.255.255.255", text);
  EXPECT_EQ("192.168.0.10", kdl::util::IPv4Text(0xC0A8000Au));
  EXPECT_EQ("0.0.0.0", kdl::util::IPv4Text(0));
}

TEST(TextCopy, BothFlavoursBoundTheTextAndZeroFillTheField) {
  char field[6];
  std::memset(field, 'x', sizeof field);
  CopyTerminated(field, "abcdefgh");
  EXPECT_EQ(std::string("abcde\0", 6), std::string(field, 6));
  CopyField(field, "abcdefgh");
  EXPECT_EQ("abcdef", std::string(field, 6));  // full: no terminator
  CopyField(field, "ab");
  EXPECT_EQ(std::string("ab\0\0\0\0", 6), std::string(field, 6));

  // The source is read no further than its size, even without a NUL.
  const char unterminated[3] = {'p', 'q', 'r'};
  CopyTerminated(field, unterminated, sizeof unterminated);
  EXPECT_EQ(std::string("pqr\0\0\0", 6), std::string(field, 6));
  CopyTerminated(field, std::string("st"));
  EXPECT_EQ(std::string("st\0\0\0\0", 6), std::string(field, 6));
  CopyField(field, nullptr);
  EXPECT_EQ(std::string(6, '\0'), std::string(field, 6));

  EXPECT_EQ("pq", kdl::util::FieldText("pq\0z", 4));
  EXPECT_EQ("pqr", kdl::util::FieldText(unterminated, sizeof unterminated));
}

struct Counted {
  static std::atomic<int> s_nBuilt;
  static std::atomic<int> s_nDestroyed;
  explicit Counted(int value) : m_nValue(value) { ++s_nBuilt; }
  ~Counted() { ++s_nDestroyed; }
  int m_nValue;
};
std::atomic<int> Counted::s_nBuilt{0};
std::atomic<int> Counted::s_nDestroyed{0};

TEST(NeverDestroyed, BuildsOnceUnderConcurrentFirstUseAndNeverDestroys) {
  {
    kdl::util::TNeverDestroyed<Counted> holder;
    std::vector<std::thread> threads;
    std::atomic<int> sum{0};
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&holder, &sum, i] { sum += holder.Get(100 + i).m_nValue; });
    }
    for (std::thread& t : threads) t.join();
    const int first = holder.Get(0).m_nValue;
    EXPECT_EQ(8 * first, sum.load());
    EXPECT_EQ(&holder.Get(1), &holder.Get(2));
  }
  EXPECT_EQ(1, Counted::s_nBuilt.load());
  EXPECT_EQ(0, Counted::s_nDestroyed.load());
}

}  // namespace
