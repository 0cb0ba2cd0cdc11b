// kelvane: a command-line image-administration host of libKelvaneDll. It
// loads the library at run time and uses only its nine exports.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tools/cli/Output.h"
#include "tools/cli/ToolArgs.h"
#include "tools/host/Console.h"
#include "tools/host/HostCli.h"
#include "tools/host/HostSession.h"
#include "tools/host/KelvaneApi.h"
#include "tools/host/LibraryLines.h"

namespace {

using namespace kdl::host;

// Runs the command with the library loaded and started; returns the exit
// status.
int RunWithLibrary(const CommandLine& cl, Console& console, LibraryLines& lines,
                   std::FILE* out) {
  KelvaneApi api;
  std::string error;
  if (!api.Load(ChooseLibraryPath(cl.options.lib), &error)) {
    console.Write("kelvane: load failed: " + error + "\n");
    if (cl.options.json) std::fprintf(out, "{\"result\":1,\"failed_step\":\"load\"}\n");
    return kHostNoLibrary;
  }
  HostSession session(api, cl.options, out, console, &lines);
  if (!session.Start()) {
    console.Write("kelvane: start failed: the library found no usable local IPv4 address\n");
    if (cl.options.json) std::fprintf(out, "{\"result\":1,\"failed_step\":\"start\"}\n");
    return kHostNoLibrary;
  }
  int status;
  if (cl.command.id == CommandId::kShell) {
    status = session.RunShell(stdin, cl.command.stopOnError);
  } else {
    status = session.Run(cl.command) == 0 ? kHostOk : kHostFailed;
  }
  session.Stop();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine cl = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (cl.parse.kind != kdl::cli::ParseResult::kRun)
    return kdl::cli::ReportParse(cl.parse, "kelvane", kHostOutputFailed, std::cout, std::cerr);

  Console console(STDERR_FILENO, isatty(STDERR_FILENO) == 1);
  console.ClearSpinnerOnSignals();
  LibraryLines lines(console, cl.options.verbose);
  std::FILE* out = lines.Capture();
  const int status = RunWithLibrary(cl, console, lines, out);
  lines.Finish();
  if (!kdl::cli::OutputWritten(out, "kelvane")) return kHostOutputFailed;
  return status;
}
