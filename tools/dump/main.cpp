// kelvane-dump: decodes one packet with the library's factory and prints it.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "tools/cli/Output.h"
#include "tools/dump/DumpCommand.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  int status;
  try {
    status = kdl::dump::RunDump(args, std::cin, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "kelvane-dump: " << e.what() << "\n";
    status = kdl::dump::kDumpBadInput;
  }
  // A failed output already said so.
  if (status != kdl::dump::kDumpOutputFailed && !kdl::cli::OutputWritten(std::cout, "kelvane-dump"))
    return kdl::dump::kDumpOutputFailed;
  return status;
}
