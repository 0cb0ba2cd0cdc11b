// What parsing a tool's command line came to, apart from the parser itself
// so that headers can name it without CLI11.
#pragma once

#include <string>

namespace kdl::cli {

// The status of a usage error in every tool.
constexpr int kExitUsage = 2;

struct ParseResult {
  enum Kind { kRun, kHelp, kVersion, kUsageError } kind = kRun;
  std::string text;  // the help or version text, or the usage error
};

}  // namespace kdl::cli
