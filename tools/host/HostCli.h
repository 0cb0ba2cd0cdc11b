// Command line and shell-line parsing of the kelvane host tool, and its help
// texts. Hand-written: the tool has no dependencies besides the library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdl::host {

enum class CommandId {
  kDiscover,
  kLogin,
  kImages,
  kSnapshots,
  kCreate,
  kSelect,
  kSetAdmin,
  kCancelAdmin,
  kHeartbeat,
  kShell,
  kHelp,
};

// One parsed command with its arguments.
struct Command {
  CommandId id = CommandId::kHelp;
  std::string name;        // as typed: "images", "set-admin", ...
  bool help = false;       // COMMAND --help
  std::string helpTopic;   // help COMMAND
  // create NAME PARAM1 [PARAM2]
  std::string imageName;
  uint32_t param1 = 0;
  uint32_t param2 = 0;
  // select IMAGE_ID / set-admin VALUE
  uint32_t number = 0;
  // cancel-admin FLAG1 FLAG2 TEXT
  uint8_t flag1 = 0;
  uint8_t flag2 = 0;
  std::string text;
};

// Options that hold for the whole run.
struct HostOptions {
  std::string lib;              // --lib PATH
  std::string name = "kelvane"; // --name TOOLNAME
  bool json = false;            // --json
  bool quiet = false;           // --quiet: drop the library's console lines
};

struct CommandLine {
  bool ok = false;
  std::string error;
  HostOptions options;
  Command command;
};

// Longest texts the library's parameter layouts hold with their NUL.
constexpr size_t kMaxImageName = 63;
constexpr size_t kMaxCancelText = 259;
constexpr size_t kMaxToolName = 32;  // the login packet's field

// Parses the program's arguments (without argv[0]). Options may stand before
// or after the command; "--" ends them.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// Parses a command and its arguments; words[0] is the command's name.
bool ParseCommandWords(const std::vector<std::string>& words, Command* cmd, std::string* error);

// Splits a shell line into words: blanks separate, double quotes group
// (with \" and \\ inside). False with `error` on an open quote.
bool SplitLine(const std::string& line, std::vector<std::string>* words, std::string* error);

// Decimal or 0x-prefixed hexadecimal unsigned 32-bit number.
bool ParseNumber(const std::string& text, uint32_t* out);

std::string ToolUsage();
// Help of one command; empty for a name that is no command.
std::string CommandUsage(const std::string& name);

}  // namespace kdl::host
