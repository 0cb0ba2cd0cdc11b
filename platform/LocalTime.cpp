// Calendar arithmetic on LocalTime, independent of the system.
#include "platform/Platform.h"

namespace kdl::plat {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's
// days_from_civil).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

}  // namespace

LocalTime SubtractDays(const LocalTime& t, uint32_t days) {
  LocalTime r = t;
  unsigned month = t.month < 1 ? 1 : (t.month > 12 ? 12 : t.month);
  unsigned day = t.day < 1 ? 1 : t.day;
  int64_t z = DaysFromCivil(t.year, month, day) - static_cast<int64_t>(days);
  int64_t y;
  unsigned m, d;
  CivilFromDays(z, y, m, d);
  // The year field is 16 bits; dates before year 0 clamp to it.
  r.year = static_cast<uint16_t>(y < 0 ? 0 : (y > 65535 ? 65535 : y));
  r.month = static_cast<uint16_t>(m);
  r.day = static_cast<uint16_t>(d);
  // 1970-01-01 was a Thursday.
  int64_t wd = (z + 4) % 7;
  r.dayOfWeek = static_cast<uint16_t>(wd < 0 ? wd + 7 : wd);
  return r;
}

}  // namespace kdl::plat
