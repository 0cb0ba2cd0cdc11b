// Mapping of portable kernel-object names to POSIX names.
#include "platform/Platform.h"

namespace kdl::plat {

std::string PosixObjectName(const std::string& name) {
  std::string out = "/";
  out.reserve(name.size() + 1);
  for (char c : name) out += (c == '\\' || c == '/') ? '_' : c;
  return out;
}

}  // namespace kdl::plat
