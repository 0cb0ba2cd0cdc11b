#include "transport/Address.h"

#include <gtest/gtest.h>

#include <cstring>

#include "util/IPv4Text.h"

namespace kdl::transport {
namespace {

using kdl::util::FormatIPv4;

TEST(AddressTest, ParsesStrictDottedTextOnly) {
  uint32_t a = 0;
  ASSERT_TRUE(ParseIPv4("127.0.0.1", &a));
  EXPECT_EQ(a, 0x7F000001u);
  ASSERT_TRUE(ParseIPv4("255.255.255.255", &a));
  EXPECT_EQ(a, 0xFFFFFFFFu);
  for (const char* bad : {"", "1.2.3", "256.1.1.1", "1.2.3.4 ", "a.b.c.d", "1.2.3.4.5"}) {
    EXPECT_FALSE(ParseIPv4(bad, &a)) << bad;
  }
  EXPECT_FALSE(ParseIPv4(nullptr, &a));
  char unterminated[40];
  std::memset(unterminated, '1', sizeof unterminated);  // no NUL: must not read past 32
  EXPECT_FALSE(ParseIPv4(unterminated, &a));
  char text[16];
  FormatIPv4(0xC0A80A01u, text);
  EXPECT_STREQ(text, "192.168.10.1");
}

}  // namespace
}  // namespace kdl::transport
