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

// The two rules side by side: what the transports refuse and the manager's
// StringToIp still reads.
TEST(IPv4Text, StrictAndAtolRulesDifferOnlyWhereDocumented) {
  using kdl::util::IPv4Rules;
  using kdl::util::ParseIPv4;
  struct Case {
    const char* text;
    bool strict;
    bool atol;
    uint32_t ip;  // of whichever rule accepts it
  };
  const Case cases[] = {
      {"10.0.0.5", true, true, 0x0A000005u},    {"0.0.0.0", true, true, 0},
      {"010.1.1.1", false, true, 0x0A010101u},  {"1..2.3.4", false, true, 0x01020304u},
      {" 1.2.3.4", false, true, 0x01020304u},   {"1.2.3.4.", false, true, 0x01020304u},
      {"256.1.1.1", false, true, 0x00010101u},  {"1.2.3", false, false, 0},
      {"1.2.3.4.5", false, false, 0},           {"", false, false, 0},
  };
  for (const Case& c : cases) {
    for (IPv4Rules rules : {IPv4Rules::kStrict, IPv4Rules::kAtol}) {
      const bool want = rules == IPv4Rules::kStrict ? c.strict : c.atol;
      uint32_t ip = 0xDEADBEEFu;
      EXPECT_EQ(want, ParseIPv4(c.text, rules, &ip)) << c.text;
      EXPECT_EQ(want ? c.ip : 0xDEADBEEFu, ip) << c.text;
    }
  }
  uint32_t ip = 0;
  EXPECT_FALSE(ParseIPv4(nullptr, IPv4Rules::kAtol, &ip));
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
