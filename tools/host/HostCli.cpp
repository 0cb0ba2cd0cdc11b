#include "tools/host/HostCli.h"

#include <cerrno>
#include <cstdlib>

namespace kdl::host {
namespace {

struct CommandInfo {
  CommandId id;
  const char* name;
  const char* synopsis;
  const char* help;
  size_t minArgs;
  size_t maxArgs;
};

const CommandInfo kCommands[] = {
    {CommandId::kDiscover, "discover", "discover",
     "Broadcasts the discovery request (request 1) and shows the server's\n"
     "address and TCP port.\n",
     0, 0},
    {CommandId::kLogin, "login", "login",
     "Discovers the server and logs in (requests 1 and 2); shows the client\n"
     "type, manager flag and extra value of the login reply.\n",
     0, 0},
    {CommandId::kImages, "images", "images",
     "Lists the server's disk images (request 3).\n", 0, 0},
    {CommandId::kSnapshots, "snapshots", "snapshots",
     "Lists the snapshots of every image (request 4), ordered by snapshot id.\n", 0, 0},
    {CommandId::kCreate, "create", "create NAME PARAM1 [PARAM2]",
     "Creates an image (request 5). NAME holds at most 63 bytes; PARAM1 must\n"
     "not be 0 (the library refuses to send it otherwise); PARAM2 defaults to 0.\n",
     2, 3},
    {CommandId::kSelect, "select", "select IMAGE_ID",
     "Selects an image (request 6) and shows whether it worked and its path.\n", 1, 1},
    {CommandId::kSetAdmin, "set-admin", "set-admin VALUE",
     "Switches a client into administrator mode (request 7).\n", 1, 1},
    {CommandId::kCancelAdmin, "cancel-admin", "cancel-admin FLAG1 FLAG2 TEXT",
     "Switches a client out of administrator mode (request 8). FLAG1 and FLAG2\n"
     "are 0 to 255; TEXT holds at most 259 bytes.\n",
     3, 3},
    {CommandId::kHeartbeat, "heartbeat", "heartbeat",
     "Sends a keep-alive (request 9); no reply is awaited.\n", 0, 0},
    {CommandId::kShell, "shell", "shell",
     "Reads commands, one per line, from standard input and runs them over one\n"
     "session: discovery and login happen once, and again after the server\n"
     "closed the link. Blank lines and lines starting with # are skipped;\n"
     "\"quit\" ends. With --json, one JSON object per command.\n",
     0, 0},
    {CommandId::kHelp, "help", "help [COMMAND]", "Shows the help of the tool or of a command.\n",
     0, 1},
};

const CommandInfo* FindCommand(const std::string& name) {
  for (const CommandInfo& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

}  // namespace

bool ParseNumber(const std::string& text, uint32_t* out) {
  if (text.empty() || !(text[0] >= '0' && text[0] <= '9')) return false;
  if (text.size() > 1 && text[0] == '0' && text[1] != 'x' && text[1] != 'X') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno || *end || v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool SplitLine(const std::string& line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= line.size()) break;
    std::string word;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
      if (line[i] != '"') {
        word += line[i++];
        continue;
      }
      ++i;  // opening quote
      bool closed = false;
      while (i < line.size()) {
        char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) c = line[i++];
        word += c;
      }
      if (!closed) {
        *error = "unterminated quote";
        return false;
      }
    }
    words->push_back(word);
  }
  return true;
}

namespace {

// A numeric argument of a command; false with a message when it is none.
bool ArgNumber(const std::string& text, const char* what, uint32_t* out, std::string* error) {
  if (ParseNumber(text, out)) return true;
  *error = std::string(what) + " must be a number from 0 to 4294967295, not \"" + text + "\"";
  return false;
}

bool ParseCreateArgs(const std::vector<std::string>& args, Command* cmd, std::string* error) {
  cmd->imageName = args[0];
  if (cmd->imageName.empty() || cmd->imageName.size() > kMaxImageName) {
    *error = "NAME must hold 1 to " + std::to_string(kMaxImageName) + " bytes";
    return false;
  }
  if (!ArgNumber(args[1], "PARAM1", &cmd->param1, error)) return false;
  return args.size() <= 2 || ArgNumber(args[2], "PARAM2", &cmd->param2, error);
}

bool ParseCancelAdminArgs(const std::vector<std::string>& args, Command* cmd,
                          std::string* error) {
  uint32_t f1, f2;
  if (!ArgNumber(args[0], "FLAG1", &f1, error) || !ArgNumber(args[1], "FLAG2", &f2, error)) {
    return false;
  }
  if (f1 > 255 || f2 > 255) {
    *error = "FLAG1 and FLAG2 must be 0 to 255";
    return false;
  }
  cmd->flag1 = static_cast<uint8_t>(f1);
  cmd->flag2 = static_cast<uint8_t>(f2);
  cmd->text = args[2];
  if (cmd->text.size() > kMaxCancelText) {
    *error = "TEXT must hold at most " + std::to_string(kMaxCancelText) + " bytes";
    return false;
  }
  return true;
}

// The arguments of a command whose count is already checked.
bool ParseCommandArgs(CommandId id, const std::vector<std::string>& args, Command* cmd,
                      std::string* error) {
  switch (id) {
    case CommandId::kCreate:
      return ParseCreateArgs(args, cmd, error);
    case CommandId::kSelect:
      return ArgNumber(args[0], "IMAGE_ID", &cmd->number, error);
    case CommandId::kSetAdmin:
      return ArgNumber(args[0], "VALUE", &cmd->number, error);
    case CommandId::kCancelAdmin:
      return ParseCancelAdminArgs(args, cmd, error);
    case CommandId::kHelp:
      if (!args.empty()) cmd->helpTopic = args[0];
      return true;
    default:
      return true;
  }
}

}  // namespace

bool ParseCommandWords(const std::vector<std::string>& words, Command* cmd, std::string* error) {
  if (words.empty()) {
    *error = "no command given";
    return false;
  }
  const CommandInfo* info = FindCommand(words[0]);
  if (!info) {
    *error = "unknown command \"" + words[0] + "\"";
    return false;
  }
  *cmd = Command();
  cmd->id = info->id;
  cmd->name = info->name;
  std::vector<std::string> args(words.begin() + 1, words.end());
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      cmd->help = true;
      return true;
    }
  }
  if (args.size() < info->minArgs || args.size() > info->maxArgs) {
    *error = std::string("usage: kelvane ") + info->synopsis;
    return false;
  }
  return ParseCommandArgs(info->id, args, cmd, error);
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine out;
  std::vector<std::string> words;
  bool optionsEnded = false;
  bool toolHelp = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
      words.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
    } else if (a == "--json") {
      out.options.json = true;
    } else if (a == "--quiet" || a == "-q") {
      out.options.quiet = true;
    } else if (a == "--help" || a == "-h") {
      // Before a command it asks for the tool's help, after one for the command's.
      if (words.empty())
        toolHelp = true;
      else
        words.push_back(a);
    } else if (a == "--lib" || a == "--name") {
      if (i + 1 >= args.size()) {
        out.error = a + " needs a value";
        return out;
      }
      (a == "--lib" ? out.options.lib : out.options.name) = args[++i];
    } else if (!words.empty() && a.size() > 1 && a[1] >= '0' && a[1] <= '9') {
      words.push_back(a);  // a negative number: let the command refuse it
    } else {
      out.error = "unknown option " + a;
      return out;
    }
  }
  if (toolHelp || words.empty()) {
    out.command.id = CommandId::kHelp;
    out.command.name = "help";
    if (!toolHelp && words.empty()) {
      out.error = "no command given";
      return out;
    }
    out.ok = true;
    return out;
  }
  out.ok = ParseCommandWords(words, &out.command, &out.error);
  return out;
}

std::string ToolUsage() {
  std::string s =
      "usage: kelvane [--lib PATH] [--name TOOLNAME] [--json] [--quiet] COMMAND [ARGS]\n"
      "\n"
      "Talks to the diskless server through libKelvaneDll: every command first\n"
      "discovers the server and logs in, then runs its request.\n"
      "\n"
      "commands:\n";
  for (const CommandInfo& c : kCommands) {
    std::string syn = c.synopsis;
    s += "  " + syn + std::string(syn.size() < 32 ? 32 - syn.size() : 1, ' ');
    std::string first(c.help);
    s += first.substr(0, first.find('\n')) + "\n";
  }
  s += "\n"
       "options:\n"
       "  --lib PATH        the library to load (default: $KELVANE_LIB, else the\n"
       "                    library built with this tool)\n"
       "  --name TOOLNAME   name to log in with (default kelvane; at most 32 bytes)\n"
       "  --json            one JSON object per command instead of tables\n"
       "  --quiet           drop the library's console log lines (they go to\n"
       "                    stderr otherwise; the daily log file keeps them)\n"
       "  --help            this text; COMMAND --help explains a command\n"
       "\n"
       "\"result\" is what the last request returned: 0 success, 1 local failure or\n"
       "no reply within 3 s, anything else the server's code. Exit status: 0 when\n"
       "the result is 0, 1 when it is not, 2 for a usage error, 3 when the library\n"
       "cannot be loaded or started. A step that fails (discover, login, or the\n"
       "command's own request) is named on stderr and, with --json, in\n"
       "\"failed_step\".\n";
  return s;
}

std::string CommandUsage(const std::string& name) {
  const CommandInfo* c = FindCommand(name);
  if (!c) return "";
  return std::string("usage: kelvane [options] ") + c->synopsis + "\n\n" + c->help;
}

}  // namespace kdl::host
