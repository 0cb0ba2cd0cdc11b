// Directory and file services on POSIX.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/Platform.h"

namespace kdl::plat {

char PathSeparator() { return '/'; }

bool MakeDirectory(const std::string& path) {
  if (path.empty()) return false;
  if (mkdir(path.c_str(), 0755) == 0) return true;
  struct stat st;
  return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> ListDirectory(const std::string& dir, const std::string& pattern) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return names;
  // Closed also when the list cannot grow (out of memory).
  const std::unique_ptr<DIR, int (*)(DIR*)> closer(d, closedir);
  while (struct dirent* e = readdir(d)) {
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
    if (fnmatch(pattern.c_str(), n, 0) == 0) names.emplace_back(n);
  }
  return names;
}

bool DeleteFileAt(const std::string& path) { return unlink(path.c_str()) == 0; }

// Close-on-exec: a program the host starts does not get the file.
std::FILE* OpenAppendShared(const std::string& path) { return std::fopen(path.c_str(), "ae"); }

}  // namespace kdl::plat
