#include "tools/host/HostCli.h"

#include "tools/cli/ToolArgs.h"

namespace kdl::host {
namespace {

using kdl::cli::ParseResult;

struct CommandInfo {
  CommandId id;
  const char* name;
  const char* summary;  // one line in the list of commands
  const char* detail;   // the rest of the command's own help
};

const CommandInfo kCommands[] = {
    {CommandId::kDiscover, "discover", "Find the server: its address and TCP port (request 1)",
     "Broadcasts the discovery request to 255.255.255.255, port 800."},
    {CommandId::kLogin, "login", "Log in: client type, manager flag, extra value (request 2)",
     "Discovers the server and logs in with the tool name of --name."},
    {CommandId::kImages, "images", "List the server's disk images (request 3)", ""},
    {CommandId::kSnapshots, "snapshots",
     "List the snapshots of every image, by snapshot id (request 4)", ""},
    {CommandId::kCreate, "create", "Create an image (request 5)",
     "PARAM1 must not be 0 (the library refuses to send it otherwise)."},
    {CommandId::kSelect, "select", "Select an image: whether it worked, its path (request 6)", ""},
    {CommandId::kSetAdmin, "set-admin", "Switch a client into administrator mode (request 7)",
     "VALUE is the number the server reads as the client."},
    {CommandId::kCancelAdmin, "cancel-admin",
     "Switch a client out of administrator mode (request 8)", ""},
    {CommandId::kHeartbeat, "heartbeat", "Send a keep-alive; no reply is awaited (request 9)", ""},
    {CommandId::kShell, "shell", "Run commands read from standard input over one session",
     "One command per line, with its arguments as on the command line (double quotes group "
     "words). Discovery and login happen once, and again after the server closed the link. "
     "Blank lines and lines starting with # are skipped; \"quit\" ends. With --json, one JSON "
     "object per line, with the line in \"command\". The exit status is the worst of all "
     "lines."},
    {CommandId::kHelp, "help", "Show the help of the tool or of a command", ""},
};

const char kDescription[] =
    "Talks to the diskless server through libKelvaneDll: every command first discovers the "
    "server and logs in, then runs its request. Every command but help broadcasts the "
    "discovery to 255.255.255.255, port 800, on this machine's networks.";

const char kFooter[] =
    "\"result\" is what the last request returned: 0 success, 1 no answer (a local failure "
    "at once, no reply within 3 s, or the server closed the link: named on stderr and, with "
    "--json, in \"failure\": local, timeout or closed), anything else the server's code. A "
    "step that fails (discover, login or the command's own request) is named on stderr and, "
    "with --json, in \"failed_step\".\n\n"
    "Exit status: 0 when the result is 0, 1 when it is not, 2 for a usage error, 3 when the "
    "library cannot be loaded or started, 4 when the output cannot be written.";

const CommandInfo* FindCommand(const std::string& name) {
  for (const CommandInfo& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

// One parser of the tool's commands (and, for the command line, its
// options). CLI11 keeps pointers into it: it stays where it was built.
class Parser {
 public:
  explicit Parser(bool commandLine);
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  ParseResult Parse(const std::vector<std::string>& args, Command* cmd, HostOptions* options);

 private:
  void AddCommand(const CommandInfo& info);
  // After a good parse: the command chosen and the arguments left over.
  ParseResult Finish(Command* cmd);
  std::string Help(const std::string& topic) const;

  CLI::App m_app;
  Command m_cmd;
  HostOptions m_options;
  std::string m_topic;
};

Parser::Parser(bool commandLine) {
  kdl::cli::SetUpApp(m_app, "kelvane", kDescription);
  m_app.footer(kFooter);
  m_app.get_formatter()->label("SUBCOMMAND", "COMMAND");
  m_app.get_formatter()->label("Positionals", "Arguments");
  m_app.fallthrough();
  m_app.require_subcommand(0, 1);
  if (commandLine) {
    m_app.add_option("--lib", m_options.lib,
                     "The library to load (default: $KELVANE_LIB, else the one beside this "
                     "program, in its ../lib or where it was built)")->type_name("PATH");
    kdl::cli::AddText(&m_app, "--name", &m_options.name, "The name to log in with (default kelvane)",
                      kMaxToolName, "the login packet's field")->type_name("TOOLNAME");
    m_app.add_flag("--json", m_options.json, "One JSON object per command instead of tables");
    CLI::Option* quiet = m_app.add_flag(
        "-q,--quiet", m_options.quiet, "No notices on stderr, only failures");
    m_app.add_flag("-v,--verbose", m_options.verbose,
                   "Show the library's console lines on stderr (its daily log file keeps them "
                   "anyway)")->excludes(quiet);
  }
  for (const CommandInfo& c : kCommands)
    if (commandLine || c.id != CommandId::kShell) AddCommand(c);
  // Arguments no command takes are collected and reported in Finish().
  m_app.allow_extras();
}

void Parser::AddCommand(const CommandInfo& info) {
  CLI::App* sub = m_app.add_subcommand(info.name, info.summary);
  sub->group("Commands");
  sub->footer(info.detail);
  using kdl::cli::AddNumber;
  using kdl::cli::AddText;
  switch (info.id) {
    case CommandId::kCreate:
      AddText(sub, "NAME", &m_cmd.imageName,
              "The image's name, 1 to " + std::to_string(kMaxImageName) + " bytes", kMaxImageName,
              "the create parameter's name field")
          ->required()
          ->check([](const std::string& s) { return s.empty() ? "must not be empty" : ""; });
      AddNumber(sub, "PARAM1", &m_cmd.param1, "The image's first parameter")->required();
      AddNumber(sub, "PARAM2", &m_cmd.param2, "The image's second parameter (default 0)");
      break;
    case CommandId::kSelect:
      AddNumber(sub, "IMAGE_ID", &m_cmd.number, "The image's identifier")->required();
      break;
    case CommandId::kSetAdmin:
      AddNumber(sub, "VALUE", &m_cmd.number, "The client, as the server numbers it")->required();
      break;
    case CommandId::kCancelAdmin:
      AddNumber(sub, "FLAG1", &m_cmd.flag1, "First flag byte, 0 to 255")->required();
      AddNumber(sub, "FLAG2", &m_cmd.flag2, "Second flag byte, 0 to 255")->required();
      AddText(sub, "TEXT", &m_cmd.text,
              "The text sent along, at most " + std::to_string(kMaxCancelText) + " bytes",
              kMaxCancelText,
              "the cancel parameter's text field")->required();
      break;
    case CommandId::kShell:
      sub->add_flag("--stop-on-error", m_cmd.stopOnError,
                    "Stop at the first line that fails (the exit status is then that line's)");
      break;
    case CommandId::kHelp:
      sub->add_option("COMMAND", m_topic, "The command to explain");
      break;
    default:
      break;
  }
}

std::string Parser::Help(const std::string& topic) const {
  const auto formatter = m_app.get_formatter();
  if (topic.empty()) return formatter->make_help(&m_app, "kelvane", CLI::AppFormatMode::Normal);
  return formatter->make_help(m_app.get_subcommand(topic), "kelvane " + topic,
                              CLI::AppFormatMode::Normal);
}

ParseResult Parser::Finish(Command* cmd) {
  ParseResult r;
  const std::vector<CLI::App*> chosen = m_app.get_subcommands();
  const std::vector<std::string> extra = m_app.remaining();
  if (!extra.empty()) {
    const std::string& a = extra.front();
    r.kind = ParseResult::kUsageError;
    r.text = !a.empty() && a[0] == '-' ? "unknown option " + a
             : chosen.empty()          ? "unknown command \"" + a + "\""
                                       : "unexpected argument \"" + a + "\"";
    return r;
  }
  if (chosen.empty()) {
    r.kind = ParseResult::kUsageError;
    r.text = "no command given";
    return r;
  }
  const CommandInfo* info = FindCommand(chosen.front()->get_name());
  m_cmd.id = info->id;
  m_cmd.name = info->name;
  if (info->id == CommandId::kHelp) {
    const std::string topic = m_topic;
    const bool known = !m_app.get_subcommands([&topic](const CLI::App* a) {
                                return a->get_name() == topic;
                              }).empty();
    if (!m_topic.empty() && !known) {
      r.kind = ParseResult::kUsageError;
      r.text = "unknown command \"" + m_topic + "\"";
      return r;
    }
    r.kind = ParseResult::kHelp;
    r.text = Help(m_topic);
  }
  *cmd = m_cmd;
  return r;
}

ParseResult Parser::Parse(const std::vector<std::string>& args, Command* cmd,
                          HostOptions* options) {
  ParseResult r = kdl::cli::ParseArgs(m_app, args);
  if (r.kind == ParseResult::kRun) r = Finish(cmd);
  if (options) *options = m_options;
  return r;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine out;
  Parser parser(true);
  out.parse = parser.Parse(args, &out.command, &out.options);
  return out;
}

ParseResult ParseShellWords(const std::vector<std::string>& words, Command* cmd) {
  if (!words.empty() && words[0] == "shell") {
    ParseResult r;
    r.kind = ParseResult::kUsageError;
    r.text = "already in a shell";
    return r;
  }
  Parser parser(false);
  return parser.Parse(words, cmd, nullptr);
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

}  // namespace kdl::host
