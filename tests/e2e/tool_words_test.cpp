// What the four tools say in their own words: help that names each value as
// the tool does (no parser type names), usage errors as "prog: what is
// wrong" and "Try 'prog --help'", and the bash completion of commands and
// option values.
#include <gtest/gtest.h>

#include <regex>

#include "tests/e2e/ProcessRunner.h"

namespace kdl::test {
namespace {

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

TEST(ToolWordsTest, HelpAndUsageErrorsAreInTheToolsWords) {
  const std::regex parserWords(R"(TEXT:|UINT|INT in|:\{|\[[0-9]+ - [0-9]+\]|Positionals)");
  const std::vector<std::pair<std::string, std::vector<std::string>>> named = {
      {KELVANE_HOST_BIN, {"--lib PATH", "--name TOOLNAME"}},
      {KELVANE_SERVER_BIN, {"--images FILE", "--port N"}},
      {KELVANE_DUMP_BIN, {"--pcap FILE", "--file FILE", "--port PORT", "--interface IFACE",
                          "--split MODE", "--type TYPE"}},
      {KELVANE_LOGVIEW_BIN, {"--color WHEN", "--level LEVEL", "-n,--lines N"}}};
  for (const auto& tool : named) {
    ProcessResult help = RunProcess({tool.first, "--help"}, "", 30);
    EXPECT_FALSE(std::regex_search(help.out, parserWords)) << help.out;
    for (const std::string& option : tool.second)
      EXPECT_NE(help.out.find("  " + option + " "), std::string::npos) << option << "\n" << help.out;
  }

  const std::vector<std::pair<std::vector<std::string>, std::string>> errors = {
      {{KELVANE_DUMP_BIN, "--pcap", "x", "--port", "abc"},
       "--port: must be a number from 1 to 65535 (decimal or 0x hex), not \"abc\""},
      {{KELVANE_DUMP_BIN, "--pcap"}, "--pcap needs a value (--pcap FILE)"},
      {{KELVANE_DUMP_BIN, "--split", "x"}, "--split: must be length, line or none, not \"x\""},
      {{KELVANE_DUMP_BIN, "--file", "a", "--interface", "lo"},
       "--file and --interface cannot be given together"},
      {{KELVANE_DUMP_BIN, "--count", "3"}, "--count needs --pcap or --interface"},
      {{KELVANE_DUMP_BIN, "--bogus"}, "unknown option --bogus"},
      {{KELVANE_SERVER_BIN, "--bogus=1"}, "unknown option --bogus"},
      {{KELVANE_SERVER_BIN, "--images"}, "--images needs a value (--images FILE)"},
      {{KELVANE_HOST_BIN, "--bogus"}, "unknown option --bogus"},
      {{KELVANE_LOGVIEW_BIN, "--wait"}, "name one host program to follow (or use --list)"}};
  for (const auto& e : errors) {
    ProcessResult r = RunProcess(e.first, "", 30);
    const std::string tool = BaseName(e.first[0]);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(r.err, tool + ": " + e.second + "\nTry '" + tool + " --help' for more information.\n");
  }
}

// The completion as bash runs it, for a command line ending in the word to
// complete: the words it offers.
std::string Complete(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& w : words) line += " '" + w + "'";
  const std::string script = "source '" KELVANE_COMPLETION "'\n"
                             "compopt() { :; }\n"  // only inside a real completion
                             "COMP_WORDS=(" + line + ")\n"
                             "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                             "_kelvane_tools\n"
                             "echo \"${COMPREPLY[*]}\"\n";
  return RunProcess({"/bin/bash", "-c", script}, "", 30).out;
}

TEST(ToolWordsTest, BashCompletionOffersCommandsOnlyWhereTheyGoAndOptionValues) {
  EXPECT_EQ(Complete({KELVANE_HOST_BIN, "se"}), "select set-admin\n");
  EXPECT_EQ(Complete({KELVANE_HOST_BIN, "--json", "select", ""}), "\n");
  EXPECT_EQ(Complete({KELVANE_HOST_BIN, "help", "sh"}), "shell\n");
  EXPECT_EQ(Complete({KELVANE_LOGVIEW_BIN, "--color", ""}), "auto always never\n");
  EXPECT_EQ(Complete({KELVANE_LOGVIEW_BIN, "--level", "W"}), "Warning\n");
  EXPECT_EQ(Complete({KELVANE_DUMP_BIN, "--split", ""}), "length line none\n");
  EXPECT_EQ(Complete({KELVANE_DUMP_BIN, "--p"}), "--pcap --port\n");
  EXPECT_EQ(Complete({KELVANE_SERVER_BIN, "--fail", "s"}), "snapshots= select= set-admin=\n");
  EXPECT_EQ(Complete({KELVANE_SERVER_BIN, "--no-reply", "c"}), "create cancel-admin\n");
}

}  // namespace
}  // namespace kdl::test
