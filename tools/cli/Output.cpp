#include "tools/cli/Output.h"

#include <cerrno>
#include <cstring>
#include <ostream>

namespace kdl::cli {
namespace {

// The reason of the first failed flush (a later flush of the failed stream
// has nothing left to write and says nothing).
int g_firstError = 0;

bool Failed(bool ok) {
  if (!ok && g_firstError == 0) g_firstError = errno;
  return !ok;
}

void Complain(const std::string& tool) {
  std::fprintf(stderr, "%s: cannot write the output: %s\n", tool.c_str(),
               g_firstError != 0 ? std::strerror(g_firstError) : "write error");
  std::fflush(stderr);
}

}  // namespace

bool FlushOutput(std::FILE* out) {
  errno = 0;
  return !Failed(std::fflush(out) == 0 && !std::ferror(out));
}

bool OutputWritten(std::FILE* out, const std::string& tool) {
  if (FlushOutput(out)) return true;
  Complain(tool);
  return false;
}

bool OutputWritten(std::ostream& out, const std::string& tool) {
  // A stream that failed before keeps errno from its failed write, unless
  // something changed it since.
  if (out.good()) errno = 0;
  if (!Failed(static_cast<bool>(out.flush()))) return true;
  Complain(tool);
  return false;
}

}  // namespace kdl::cli
