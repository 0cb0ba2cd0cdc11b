// The command line of kelvane-dump.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace kdl::dump {

struct DumpOptions {
  std::vector<std::string> hex;     // hex given as arguments (joined)
  std::string file;                 // --file: raw bytes ("-": standard input)
  std::string pcap;                 // --pcap: a capture file ("-": standard input)
  std::string iface;                // --interface: live capture on this interface
  uint32_t count = 0;               // --count: stop after this many packets (0: no limit)
  std::vector<uint16_t> ports;      // --port: TCP ports of the tool service
  std::vector<std::string> types;   // --type: filter terms
  std::string split = "length";     // --split: length, line or none
  bool json = false;
  bool netOrder = false;
  bool allCodes = false;
};

// Parses `args` (without the program name) into `o`. Returns -1 when the
// command is to run, otherwise the exit status after --help or --version (0;
// 3 when it cannot be written) or a usage error (2), which it has printed to
// `out` or `err`.
int ParseDumpArgs(const std::vector<std::string>& args, DumpOptions* o, std::ostream& out,
                  std::ostream& err);

}  // namespace kdl::dump
