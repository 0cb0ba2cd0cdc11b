// Command line and shell-line parsing of the kelvane host tool, and its help
// texts, on the tools' shared CLI11 set-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/KelvaneDll.h"
#include "protocol/ToolPackets.h"
#include "tools/cli/ParseResult.h"

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
  // shell --stop-on-error
  bool stopOnError = false;
  // help [COMMAND]
  std::string topic;
};

// Options that hold for the whole run.
struct HostOptions {
  std::string lib;              // --lib PATH
  std::string name = "kelvane"; // --name TOOLNAME
  bool json = false;            // --json
  bool quiet = false;           // -q: no notices, no library lines
  bool verbose = false;         // -v: the library's console lines on stderr
};

// The tool's exit statuses.
enum HostStatus {
  kHostOk = 0,             // the result was 0
  kHostFailed = 1,         // a request's result was not 0
  kHostUsage = kdl::cli::kExitUsage,
  kHostNoLibrary = 3,      // the library cannot be loaded or started
  kHostOutputFailed = 4,   // the output could not be written
};

struct CommandLine {
  // kRun with `options` and `command`; kHelp or kVersion with the text to
  // print; kUsageError with the error.
  kdl::cli::ParseResult parse;
  HostOptions options;
  Command command;
};

// Longest texts the library's parameter layouts hold with their NUL, and the
// login packet's field (the library sends at most that much of the name).
constexpr size_t kMaxImageName = sizeof(KelvaneCreateImageParam::Name) - 1;
constexpr size_t kMaxCancelText = sizeof(KelvaneCancelAdminParam::Text) - 1;
constexpr size_t kMaxToolName = sizeof(PacketZVDiskless::CPktToolLogin::ToolName);

// Parses the program's arguments (without argv[0]). Options may stand before
// or after the command; "--" ends them: every word after it is an operand
// (the command's name, when none came before, then its arguments). "help
// [COMMAND]" and "COMMAND --help" come back as kHelp with the text.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// Parses a shell line's words (words[0] is the command) the same way, without
// the tool's options and without "shell".
kdl::cli::ParseResult ParseShellWords(const std::vector<std::string>& words, Command* cmd);

// Splits a shell line into words: blanks separate, double quotes group
// (with \" and \\ inside). False with `error` on an open quote.
bool SplitLine(const std::string& line, std::vector<std::string>* words, std::string* error);

}  // namespace kdl::host
