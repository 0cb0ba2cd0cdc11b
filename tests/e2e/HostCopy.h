// A copy of the host tool under a name of its own, in a fresh folder with a
// link to the library beside it (where the tool looks first): its Log folder,
// daily file and shared ring belong to one test alone. Needs the test
// target's KELVANE_HOST_BIN, KELVANE_DLL_PATH and KELVANE_DLL_SONAME.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/Platform.h"

namespace kdl::test {

struct HostCopy {
  std::string dir, exeName, exePath;

  // Makes the folder /tmp/<prefix>-XXXXXX and the copy named `name` in it.
  bool Make(const std::string& prefix, const std::string& name) {
    std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) return false;
    dir = tmpl;
    exeName = name;
    exePath = dir + "/" + exeName;
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::copy_file(KELVANE_HOST_BIN, exePath, ec);
    if (!ec) fs::permissions(exePath, fs::perms::owner_all, ec);
    if (!ec) fs::create_symlink(KELVANE_DLL_PATH, dir + "/" KELVANE_DLL_SONAME, ec);
    return !ec;
  }

  // Removes the folder and the ring's named objects the copy created.
  ~HostCopy() {
    if (!exeName.empty()) {
      kdl::plat::SharedBlockUnlink("Global\\" + exeName + ".mem", "Global\\" + exeName + ".evt");
    }
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

}  // namespace kdl::test
