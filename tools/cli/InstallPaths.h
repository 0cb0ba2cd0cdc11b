// Files that a tool finds relative to its own folder, so that an installed
// tree works wherever it is unpacked or moved and the build tree works as
// built.
#pragma once

#include <string>
#include <vector>

namespace kdl::cli {

// The folder of the running program, without a trailing separator; "" when
// the system does not tell.
std::string ProgramFolder();

// The first of `candidates` (paths relative to ProgramFolder(), '/'
// separated) that names a readable file, joined to that folder; "" when
// none does or the folder is unknown.
std::string FindBesideProgram(const std::vector<std::string>& candidates);

}  // namespace kdl::cli
