// Small Win32 helpers shared by the Windows-only tests: paths, calendar
// dates through the system's own FILETIME arithmetic, temporary folders and
// child processes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace kdl::test {

// Full path of this executable, as GetModuleFileNameA gives it.
std::string ModulePath();
// The directory and the file name of a path: what stands before / after its last backslash.
std::string DirOf(const std::string& path);
std::string FileOf(const std::string& path);
std::string Lower(const std::string& s);

// A calendar date.
struct Date {
  int year = 0, month = 0, day = 0;
  bool operator==(const Date& o) const {
    return year == o.year && month == o.month && day == o.day;
  }
  bool operator!=(const Date& o) const { return !(*this == o); }
};
Date Today();  // from GetLocalTime
// `days` days before `d` (after it when negative), computed by the system
// (SystemTimeToFileTime, FileTimeToSystemTime). A zero date on failure.
Date DaysBefore(const Date& d, int days);
// "YYYYMMDD".
std::string Digits(const Date& d);

// A fresh folder under the temporary directory, removed with its contents
// when the object goes. `name` becomes part of the folder's name.
class TempFolder {
 public:
  explicit TempFolder(const std::string& name);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

bool WriteFileText(const std::string& path, const std::string& text);
bool ReadFileBytes(const std::string& path, std::string* out);
bool FileExists(const std::string& path);

// Starts `exe` with the command line `args` (the program name is added in
// front). The caller waits and closes the handles.
bool StartProcess(const std::string& exe, const std::string& args, PROCESS_INFORMATION* pi);
// Waits up to `ms` for the process and returns its exit code, or -1 if it
// did not end in time (it is then terminated). Closes the handles.
long FinishProcess(PROCESS_INFORMATION* pi, DWORD ms);

}  // namespace kdl::test
