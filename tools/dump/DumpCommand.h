// The kelvane-dump command line, apart from main() so tests can run it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/dump/HexInput.h"

namespace kdl::dump {

// Exit statuses of the command.
enum DumpStatus {
  kDumpOk = 0,          // every packet decoded (or the code list was printed)
  kDumpNotDecoded = 1,  // a packet did not decode, or the input ends mid-packet
  kDumpBadInput = 2,    // bad arguments, unreadable file, malformed hex, no capture
  kDumpOutputFailed = 3,  // the output could not be written
};

// Runs the command with `args` (without the program name). Reads hex from
// `in` when neither hex arguments, --file nor --pcap are given; writes the
// result to `out` and complaints to `err`. Returns a DumpStatus.
int RunDump(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
            std::ostream& err);

}  // namespace kdl::dump
