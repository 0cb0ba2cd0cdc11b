// Command line of kelvane-logview, on the tools' shared CLI11 set-up.
#include "tools/logview/LogviewArgs.h"

#include <iostream>

#include "tools/cli/ToolArgs.h"

namespace kdl::logview {

int ParseLogviewArgs(int argc, char** argv, LogviewOptions* o) {
  CLI::App app;
  kdl::cli::SetUpApp(app, "kelvane-logview",
                     "Follows the shared log ring of a running host program, as its log writer "
                     "publishes the lines.");
  app.footer("Exit status: 0 after --list, --no-follow or Ctrl-C, 1 when the block does not "
             "exist (without --wait) or the output cannot be written, 2 for a usage error.");
  app.add_option("NAME", o->names,
                 "The host program (kelvane for kelvane or kelvane.exe; a path also does)")
      ->type_name("NAME");
  app.add_flag("--list", o->list, "List the log blocks on this machine (and those of NAMEs)");
  app.add_flag("--wait", o->wait, "Wait for a block that does not exist yet");
  kdl::cli::AddNumberTo(&app, "-n,--lines", [o](uint32_t n) { o->lines = n; },
                        "Show first only the last N lines the ring holds that pass --level and "
                        "--grep",
                        INT32_MAX);
  bool noFollow = false;
  app.add_flag("--no-follow", noFollow, "Print the lines in the ring and exit");
  kdl::cli::AddChoice(&app, "--color", &o->color, {"auto", "always", "never"},
                      "Colours by level: auto (on a terminal), always, never", "WHEN");
  std::string level;
  app.add_option("--level", level, "Show this level and above: Debug, Trace, Info, Warning, Error")
      ->check([](const std::string& s) {
        int rank = 0;
        return RankOfLevelName(s, &rank) ? std::string()
                                         : "must be Debug, Trace, Info, Warning or Error, not \"" +
                                               s + "\"";
      })
      ->type_name("LEVEL");
  app.add_option("--grep", o->format.grep, "Show only lines that contain TEXT")
      ->type_name("TEXT");
  app.add_flag("--json", o->format.json,
               "One JSON object per line: time (with the date), thread, level, text");
  kdl::cli::ParseResult r = kdl::cli::ParseArgs(app, argc, argv);
  if (r.kind == kdl::cli::ParseResult::kRun && !o->list && o->names.size() != 1) {
    r.kind = kdl::cli::ParseResult::kUsageError;
    r.text = "name one host program to follow (or use --list)";
  }
  if (r.kind != kdl::cli::ParseResult::kRun)
    return kdl::cli::ReportParse(r, "kelvane-logview", 1, std::cout, std::cerr);
  o->follow = !noFollow;
  if (!level.empty()) RankOfLevelName(level, &o->format.minRank);
  return -1;
}

}  // namespace kdl::logview
