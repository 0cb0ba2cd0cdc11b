// The command line of kelvane-server: its options and its exit statuses.
#pragma once

#include <string>
#include <vector>

#include "simulator/ServerConfig.h"
#include "tools/cli/ParseResult.h"

namespace kdl::sim {

// The simulator's exit statuses.
enum ServerStatus {
  kServerOk = 0,           // stopped by a signal, or help or version shown
  kServerFailed = 1,       // cannot listen, or its output or ready file cannot be written
  kServerUsage = kdl::cli::kExitUsage,  // bad options or images file
};

// Parses argv[1..] (printing nothing); `defaultImages` is used unless
// --images names a file.
kdl::cli::ParseResult ParseServerArgs(const std::vector<std::string>& args,
                                      const std::string& defaultImages, ServerConfig* config);

}  // namespace kdl::sim
