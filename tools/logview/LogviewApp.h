// The viewer's run: attach to a host program's block (or wait for it), show
// what the ring holds, then follow it until Ctrl-C; or list the blocks.
#pragma once

#include "tools/logview/LogviewArgs.h"

namespace kdl::logview {

// Returns the exit status: 0 after --list, --no-follow or Ctrl-C (SIGINT,
// SIGTERM), 1 when the block does not exist (without --wait) or the output
// cannot be written.
int RunLogview(LogviewOptions o);

}  // namespace kdl::logview
