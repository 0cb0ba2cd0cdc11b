// Where a program's daily log files go: the portable rule.
#include "platform/Platform.h"

namespace kdl::plat {

bool UnderSystemPrefix(const std::string& dir) {
  for (const char* prefix : {"/usr", "/bin", "/sbin"}) {
    const std::string p = prefix;
    if (dir.compare(0, p.size(), p) == 0 && (dir.size() == p.size() || dir[p.size()] == '/'))
      return true;
  }
  return false;
}

std::string ChooseLogFolder(const LogPlaceFacts& facts, const std::string& designed) {
  if (!facts.systemPrefix && facts.writable) return designed;
  if (facts.root) return "/var/log/" + facts.programName;
  if (!facts.xdgStateHome.empty()) return facts.xdgStateHome + "/" + facts.programName + "/Log";
  if (!facts.home.empty()) return facts.home + "/.local/state/" + facts.programName + "/Log";
  return designed;
}

}  // namespace kdl::plat
