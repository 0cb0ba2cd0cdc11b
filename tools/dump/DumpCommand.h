// The kelvane-dump command line, apart from main() so tests can run it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace kdl::dump {

// Exit statuses of the command.
enum DumpStatus {
  kDumpOk = 0,          // the packet decoded (or the code list was printed)
  kDumpNotDecoded = 1,  // the factory built nothing from the bytes
  kDumpBadInput = 2,    // bad arguments, unreadable file or malformed hex
};

// Parses hex text: pairs of hex digits, whitespace anywhere between pairs.
// Returns false (with a reason) on an odd digit or any other character.
bool ParseHex(const std::string& text, std::vector<uint8_t>& out, std::string& why);

// Runs the command with `args` (without the program name). Reads hex from
// `in` when neither hex arguments nor --file are given; writes the result to
// `out` and complaints to `err`. Returns a DumpStatus.
int RunDump(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
            std::ostream& err);

}  // namespace kdl::dump
