// kelvane-soak: a host of libKelvaneDll that runs requests for minutes
// against a simulator tagging its replies and checks every result. The
// library prints its console lines to stdout; the figures go to --report (or
// stderr).
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tools/cli/Output.h"
#include "tools/cli/ToolArgs.h"
#include "tools/host/KelvaneApi.h"
#include "tools/soak/SoakHost.h"

namespace {

using namespace kdl::soak;

const char kTool[] = "kelvane-soak";

enum SoakStatus {
  kSoakPassed = 0,
  kSoakFailed = 1,  // a wrong answer or record, an unexpected result, a bound passed
  kSoakUsage = kdl::cli::kExitUsage,
  kSoakNoLibrary = 3,  // the library cannot be loaded or its service never started
  kSoakNoReport = 4,   // the report cannot be written
};

kdl::cli::ParseResult ParseArgs(int argc, char** argv, SoakOptions* o) {
  CLI::App app;
  kdl::cli::SetUpApp(
      app, kTool,
      "Soaks libKelvaneDll: discovers the server, logs in, and runs requests of every kind in "
      "a random order until the time is up or the phase file says end, logging in again "
      "after a close and retrying once after a time-out, as a host would. Every result is "
      "checked against the tags of kelvane-server --tag-replies: the request's own answer, "
      "or 1. Prints the figures: requests per kind and outcome, the longest block, and per "
      "phase the resident memory, open descriptors and log bytes at its start and end.");
  app.footer(
      "The phase file's first line names the current phase, read before every request; "
      "the word \"corrupting\" after the name counts answers that are not the request's own "
      "as altered rather than wrong (bytes flipped on the way), and the name \"end\" ends "
      "the soak.\n\nExit status: 0 when every answer was the request's own or 1 and every "
      "request stayed within its bound, 1 when not, 2 for a usage error, 3 when the library "
      "cannot be loaded or started, 4 when the report cannot be written.");
  const SoakOptions d;
  app.add_option("--lib", o->lib, "The library to load (default: as kelvane finds it)")
      ->type_name("PATH");
  app.add_option("--phase-file", o->phaseFile, "The file that names the phase")
      ->type_name("PATH");
  app.add_option("--report", o->reportFile, "Write the figures to PATH (default stderr)")
      ->type_name("PATH");
  kdl::cli::AddText(&app, "--name", &o->namePrefix,
                    "Login names are NAME-<session> (default " + d.namePrefix + ")", 20,
                    "the login field holds 32 bytes with the session");
  app.add_option("--expect-server", o->expectServer,
                 "The address and port discovery must find (default: what it finds first)")
      ->type_name("ADDR:PORT");
  using kdl::cli::AddNumber;
  AddNumber(&app, "--seconds", &o->seconds,
            "End after this long at the latest (default " + std::to_string(d.seconds) + ")");
  AddNumber(&app, "--pause", &o->pauseMs,
            "Milliseconds between two requests (default " + std::to_string(d.pauseMs) + ")")
      ->type_name("MS");
  AddNumber(&app, "--seed", &o->seed, "Seed of the requests' order (default 1)");
  AddNumber(&app, "--slack", &o->slackMs,
            "Milliseconds a request may block beyond its bound on a busy machine (default " +
                std::to_string(d.slackMs) + ")")
      ->type_name("MS");
  return kdl::cli::ParseArgs(app, argc, argv);
}

bool WriteReport(const std::string& path, const std::string& text) {
  if (path.empty()) {
    std::cerr << text;
    return kdl::cli::OutputWritten(std::cerr, kTool);
  }
  std::ofstream f(path, std::ios::trunc);
  f << text;
  if (f.flush()) return true;
  std::cerr << kTool << ": cannot write the report " << path << "\n";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  SoakOptions options;
  const kdl::cli::ParseResult parsed = ParseArgs(argc, argv, &options);
  if (parsed.kind != kdl::cli::ParseResult::kRun)
    return kdl::cli::ReportParse(parsed, kTool, kSoakNoReport, std::cout, std::cerr);
  kdl::host::KelvaneApi api;
  std::string error;
  if (!api.Load(kdl::host::ChooseLibraryPath(options.lib), &error)) {
    std::cerr << kTool << ": " << error << "\n";
    return kSoakNoLibrary;
  }
  SoakHost host(api, options);
  if (!host.Run()) {
    std::cerr << kTool << ": the library's service did not start (no usable local IPv4 address)\n";
    return kSoakNoLibrary;
  }
  if (!WriteReport(options.reportFile, host.Figures().Table(options.slackMs))) return kSoakNoReport;
  return host.Figures().Passed(options.slackMs) ? kSoakPassed : kSoakFailed;
}
