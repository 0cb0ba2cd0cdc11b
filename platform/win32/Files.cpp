// Directory and file services on Windows.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <memory>

#include "platform/Platform.h"

namespace kdl::plat {

char PathSeparator() { return '\\'; }

bool MakeDirectory(const std::string& path) {
  if (path.empty()) return false;
  if (CreateDirectoryA(path.c_str(), nullptr)) return true;
  DWORD attr = GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  // Each folder above, from the first after a drive or share name.
  for (size_t at = path.find_first_of("\\/", 1); at != std::string::npos;
       at = path.find_first_of("\\/", at + 1)) {
    if (path[at - 1] != ':' && path[at - 1] != '\\')
      CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
  return MakeDirectory(path);
}

// The designed place, beside the executable, is where Windows programs keep
// their logs.
std::string LogFolderFor(const std::string&, const std::string& designed) { return designed; }

std::vector<std::string> ListDirectory(const std::string& dir, const std::string& pattern) {
  std::vector<std::string> names;
  std::string search = dir.empty() ? pattern : dir;
  if (!dir.empty()) {
    if (search.back() != '\\') search += '\\';
    search += pattern;
  }
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA(search.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return names;
  // Closed also when the list cannot grow (out of memory).
  const std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> closer(h, FindClose);
  do {
    const char* n = fd.cFileName;
    if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
    names.emplace_back(n);
  } while (FindNextFileA(h, &fd));
  return names;
}

bool DeleteFileAt(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

// Text mode: a line feed is stored as a carriage return and line feed. The
// handle is opened without inheritance (no security attributes), so a
// program the host starts does not get it; sharing as _SH_DENYNO.
std::FILE* OpenAppendShared(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_TEXT);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  std::FILE* f = _fdopen(fd, "at");
  if (!f) _close(fd);
  return f;
}

}  // namespace kdl::plat
