// The viewer's command line.
#pragma once

#include <string>
#include <vector>

#include "tools/logview/LineFormat.h"

namespace kdl::logview {

struct LogviewOptions {
  std::vector<std::string> names;  // host programs (one to follow; any for --list)
  bool list = false;
  bool wait = false;               // wait for a block that does not exist yet
  long lines = -1;                 // -n: lines of the ring to show first (-1: all)
  bool follow = true;
  std::string color = "auto";      // auto, always, never
  FormatOptions format;            // level, grep and json; colour set at run time
};

// Parses the command line into `o`. Returns -1 when the viewer is to run,
// otherwise the exit status after --help or --version (0; 1 when they could
// not be written) or a usage error (2), which it has printed.
int ParseLogviewArgs(int argc, char** argv, LogviewOptions* o);

}  // namespace kdl::logview
