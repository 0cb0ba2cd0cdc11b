#include "tests/windows/WinTestSupport.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kdl::test {

std::string ModulePath() {
  char buf[MAX_PATH * 2];
  const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof(buf));
  return n == 0 || n >= sizeof(buf) ? std::string() : std::string(buf, n);
}

std::string DirOf(const std::string& path) {
  const size_t pos = path.rfind('\\');
  return pos == std::string::npos ? std::string() : path.substr(0, pos);
}

std::string FileOf(const std::string& path) {
  const size_t pos = path.rfind('\\');
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

Date Today() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return Date{st.wYear, st.wMonth, st.wDay};
}

Date DaysBefore(const Date& d, int days) {
  SYSTEMTIME st = {};
  st.wYear = static_cast<WORD>(d.year);
  st.wMonth = static_cast<WORD>(d.month);
  st.wDay = static_cast<WORD>(d.day);
  FILETIME ft;
  if (!SystemTimeToFileTime(&st, &ft)) return Date{};
  ULARGE_INTEGER v;
  v.LowPart = ft.dwLowDateTime;
  v.HighPart = ft.dwHighDateTime;
  const LONGLONG ticksPerDay = 24LL * 3600 * 10000000;
  v.QuadPart = static_cast<ULONGLONG>(static_cast<LONGLONG>(v.QuadPart) - days * ticksPerDay);
  ft.dwLowDateTime = v.LowPart;
  ft.dwHighDateTime = v.HighPart;
  SYSTEMTIME out;
  if (!FileTimeToSystemTime(&ft, &out)) return Date{};
  return Date{out.wYear, out.wMonth, out.wDay};
}

std::string Digits(const Date& d) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%04d%02d%02d", d.year, d.month, d.day);
  return buf;
}

TempFolder::TempFolder(const std::string& name) {
  char tmp[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof(tmp), tmp);
  std::string base = n == 0 || n >= sizeof(tmp) ? std::string(".\\") : std::string(tmp, n);
  if (base.back() != '\\') base += '\\';
  for (unsigned i = 0; i < 1000 && m_path.empty(); ++i) {
    const std::string candidate = base + name + "-" + std::to_string(GetCurrentProcessId()) +
                                  "-" + std::to_string(i);
    if (CreateDirectoryA(candidate.c_str(), nullptr)) m_path = candidate;
  }
}

TempFolder::~TempFolder() {
  if (m_path.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

bool WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
  return static_cast<bool>(f);
}

bool ReadFileBytes(const std::string& path, std::string* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

bool FileExists(const std::string& path) {
  const DWORD attr = GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool StartProcess(const std::string& exe, const std::string& args, PROCESS_INFORMATION* pi) {
  std::string cmd = "\"" + exe + "\" " + args;
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  *pi = PROCESS_INFORMATION{};
  return CreateProcessA(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        pi) != 0;
}

long FinishProcess(PROCESS_INFORMATION* pi, DWORD ms) {
  long result = -1;
  if (WaitForSingleObject(pi->hProcess, ms) == WAIT_OBJECT_0) {
    DWORD code = 0;
    if (GetExitCodeProcess(pi->hProcess, &code)) result = static_cast<long>(code);
  } else {
    TerminateProcess(pi->hProcess, 99);
    WaitForSingleObject(pi->hProcess, 5000);
  }
  CloseHandle(pi->hThread);
  CloseHandle(pi->hProcess);
  return result;
}

}  // namespace kdl::test
