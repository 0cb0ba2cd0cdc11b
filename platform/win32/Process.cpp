// Process facts on Windows: executable path, local time, thread id, debugger
// output.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/Platform.h"

namespace kdl::plat {

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

unsigned ThreadProcessorCount() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
  unsigned n = 0;
  for (; process != 0; process &= process - 1) ++n;
  return n > 0 ? n : 1;
}

void DebugOutput(const char* text) {
  if (text != nullptr) OutputDebugStringA(text);
}

std::vector<std::string> ListProcessExecutables() {
  std::vector<std::string> names;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return names;
  PROCESSENTRY32 e;
  e.dwSize = sizeof(e);
  for (BOOL more = Process32First(snap, &e); more; more = Process32Next(snap, &e)) {
    names.emplace_back(e.szExeFile);
  }
  CloseHandle(snap);
  return names;
}

bool PrepareTerminalOutput() {
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
  constexpr DWORD ENABLE_VIRTUAL_TERMINAL_PROCESSING = 0x0004;
#endif
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || out == nullptr || !GetConsoleMode(out, &mode)) return false;
  SetConsoleOutputCP(CP_UTF8);
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void MakeStandardInputBinary() { _setmode(_fileno(stdin), _O_BINARY); }

}  // namespace kdl::plat
