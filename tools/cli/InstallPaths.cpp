#include "tools/cli/InstallPaths.h"

#include <cstdio>

#include "platform/Platform.h"

namespace kdl::cli {

std::string ProgramFolder() {
  const std::string exe = plat::ExecutablePath();
  const size_t cut = exe.find_last_of("/\\");
  return cut == std::string::npos ? std::string() : exe.substr(0, cut);
}

std::string FindBesideProgram(const std::vector<std::string>& candidates) {
  const std::string folder = ProgramFolder();
  if (folder.empty()) return std::string();
  for (const std::string& relative : candidates) {
    const std::string path = folder + "/" + relative;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
      std::fclose(f);
      return path;
    }
  }
  return std::string();
}

}  // namespace kdl::cli
