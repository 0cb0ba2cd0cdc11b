// Directory and file services on POSIX.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    const std::string above = path.substr(0, at);
    struct stat st;
    if (stat(above.c_str(), &st) != 0) mkdir(above.c_str(), 0700);
  }
  return MakeDirectory(path);
}

namespace {

// An environment variable that names an absolute path, else "".
std::string AbsoluteFromEnv(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && v[0] == '/' ? std::string(v) : std::string();
}

}  // namespace

std::string LogFolderFor(const std::string& exePath, const std::string& designed) {
  const size_t cut = exePath.rfind('/');
  if (cut == std::string::npos) return designed;  // a bare name: the designed relative folder
  const std::string exeDir = cut == 0 ? "/" : exePath.substr(0, cut);
  LogPlaceFacts facts;
  facts.programName = exePath.substr(cut + 1);
  facts.systemPrefix = UnderSystemPrefix(exeDir);
  // The designed folder takes files, or can be made beside the executable.
  facts.writable = access(designed.c_str(), W_OK | X_OK) == 0 ||
                   (access(designed.c_str(), F_OK) != 0 &&
                    access(exeDir.c_str(), W_OK | X_OK) == 0);
  facts.root = geteuid() == 0;
  facts.xdgStateHome = AbsoluteFromEnv("XDG_STATE_HOME");
  facts.home = AbsoluteFromEnv("HOME");
  return ChooseLogFolder(facts, designed);
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
