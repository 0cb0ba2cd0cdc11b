#include <gtest/gtest.h>

#include "platform/Platform.h"

namespace {

kdl::plat::LocalTime Date(int y, int m, int d, int hh = 0, int mm = 0, int ss = 0, int ms = 0) {
  kdl::plat::LocalTime t;
  t.year = static_cast<uint16_t>(y);
  t.month = static_cast<uint16_t>(m);
  t.day = static_cast<uint16_t>(d);
  t.hour = static_cast<uint16_t>(hh);
  t.minute = static_cast<uint16_t>(mm);
  t.second = static_cast<uint16_t>(ss);
  t.milliseconds = static_cast<uint16_t>(ms);
  return t;
}

void ExpectDate(const kdl::plat::LocalTime& t, int y, int m, int d, int wd) {
  EXPECT_EQ(y, t.year);
  EXPECT_EQ(m, t.month);
  EXPECT_EQ(d, t.day);
  EXPECT_EQ(wd, t.dayOfWeek);
}

}  // namespace

TEST(SubtractDays, CalendarDates) {
  ExpectDate(kdl::plat::SubtractDays(Date(2026, 12, 7), 30), 2026, 11, 7, 6);
  ExpectDate(kdl::plat::SubtractDays(Date(2026, 12, 7), 0), 2026, 12, 7, 1);
  ExpectDate(kdl::plat::SubtractDays(Date(2027, 1, 5), 30), 2026, 12, 6, 0);
  ExpectDate(kdl::plat::SubtractDays(Date(1970, 1, 1), 1), 1969, 12, 31, 3);
}

TEST(SubtractDays, LeapYears) {
  ExpectDate(kdl::plat::SubtractDays(Date(2024, 3, 1), 1), 2024, 2, 29, 4);
  ExpectDate(kdl::plat::SubtractDays(Date(2023, 3, 1), 1), 2023, 2, 28, 2);
  ExpectDate(kdl::plat::SubtractDays(Date(2000, 3, 1), 1), 2000, 2, 29, 2);
  ExpectDate(kdl::plat::SubtractDays(Date(2100, 3, 1), 1), 2100, 2, 28, 0);
}

TEST(SubtractDays, KeepsTimeOfDay) {
  kdl::plat::LocalTime t = kdl::plat::SubtractDays(Date(2026, 12, 7, 9, 5, 3, 7), 30);
  EXPECT_EQ(9, t.hour);
  EXPECT_EQ(5, t.minute);
  EXPECT_EQ(3, t.second);
  EXPECT_EQ(7, t.milliseconds);
}

TEST(GetLocalTimeNow, FieldsInRange) {
  kdl::plat::LocalTime t = kdl::plat::GetLocalTimeNow();
  EXPECT_GE(t.year, 2020);
  EXPECT_GE(t.month, 1);
  EXPECT_LE(t.month, 12);
  EXPECT_GE(t.day, 1);
  EXPECT_LE(t.day, 31);
  EXPECT_LE(t.hour, 23);
  EXPECT_LE(t.minute, 59);
  EXPECT_LE(t.second, 59);
  EXPECT_LE(t.milliseconds, 999);
  EXPECT_LE(t.dayOfWeek, 6);
}
