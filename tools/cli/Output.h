// Whether a tool's output reached its destination: a full disk or a closed
// pipe is a failure to report, not a success.
#pragma once

#include <cstdio>
#include <iosfwd>
#include <string>

namespace kdl::cli {

// Flushes `out`; false when this or an earlier write to it failed (the
// first failure's reason is kept for OutputWritten).
bool FlushOutput(std::FILE* out);

// Flushes `out` and tells whether everything written to it so far was
// written. If not, prints "<tool>: cannot write the output: <reason>" on
// stderr and returns false.
bool OutputWritten(std::FILE* out, const std::string& tool);
bool OutputWritten(std::ostream& out, const std::string& tool);

}  // namespace kdl::cli
