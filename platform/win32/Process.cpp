// Process facts on Windows: executable path, local time, thread id, debugger
// output.
#include <windows.h>

#include "platform/Platform.h"

namespace kplat {

std::string ExecutablePath() {
  char buf[512];
  DWORD n = GetModuleFileNameA(nullptr, buf, sizeof(buf));
  // Deliberate: a path that fills the buffer may be cut, so it is not used;
  // the log writer then names its files after "kelvane".
  if (n == 0 || n >= sizeof(buf)) return std::string();
  return std::string(buf, n);
}

LocalTime GetLocalTimeNow() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  LocalTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.dayOfWeek = st.wDayOfWeek;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  t.milliseconds = st.wMilliseconds;
  return t;
}

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

void DebugOutput(const char* text) {
  if (text != nullptr) OutputDebugStringA(text);
}

}  // namespace kplat
