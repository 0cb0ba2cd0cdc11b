#include "tools/host/HostCli.h"

#include <algorithm>

#include "tools/cli/ToolArgs.h"
#include "tools/host/Commands.h"

namespace kdl::host {
namespace {

using kdl::cli::ParseResult;

const char kDescription[] =
    "Talks to the diskless server through libKelvaneDll: every command first discovers the "
    "server and logs in, then runs its request. Every command but help broadcasts the "
    "discovery to 255.255.255.255, port 800, on this machine's networks.";

const char kFooter[] =
    "\"result\" is what the last request returned: 0 success, 1 no answer (a local failure "
    "at once, no reply within 3 s, the server closed the link, or the library closed it "
    "after bytes that are no packet: named on stderr and, with --json, in \"failure\": "
    "local, timeout, closed or protocol), anything else the server's code. A step that "
    "fails (discover, login or the command's own request) is named on stderr and, with "
    "--json, in \"failed_step\".";

const char kExitStatus[] =
    "Exit status: 0 when the result is 0, 1 when it is not, 2 for a usage error, 3 when the "
    "library cannot be loaded or started, 4 when the output cannot be written.";

// The names of the TCP requests that are (or are not) sent once more after
// their link closed under them: "login, images, snapshots and heartbeat".
std::string RequestNames(bool repeatable) {
  std::vector<std::string> names;
  for (const CommandRow& c : Commands())
    if (c.needs != Needs::kNothing && c.repeatable == repeatable) names.push_back(c.name);
  std::string text;
  for (size_t i = 0; i < names.size(); ++i)
    text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  return text;
}

std::string Footer() {
  return std::string(kFooter) +
         "\n\nWhen the link closes under a request (the server or the library closed it), " +
         RequestNames(true) +
         " (which change nothing on the server) are sent once more after a new login, with "
         "\"repeated\":true in the JSON; " +
         RequestNames(false) +
         " act on the server and are never sent twice, since the first may have reached it. "
         "A request that could not be sent at all, its link already gone, is sent after a "
         "new login, whatever it is.\n\n" +
         kExitStatus;
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
  void AddCommand(const CommandRow& row);
  // Words for CLI11 with the operands after "--" where it takes them all as
  // operands; kUsageError when they do not fit the command.
  ParseResult PlaceOperands(const std::vector<std::string>& args,
                            std::vector<std::string>* words) const;
  // Where the command's name stands in `words` (options and their values
  // skipped), or words.size() when none does.
  size_t CommandAt(const std::vector<std::string>& words) const;
  // The parser's command `name`, or null.
  const CLI::App* SubcommandOf(const std::string& name) const;
  // True for an option of the tool or of `sub` that takes a value word.
  bool TakesValue(const CLI::App* sub, const std::string& word) const;
  // After a good parse: the command chosen and the arguments left over.
  ParseResult Finish(Command* cmd);
  std::string Help(const std::string& topic) const;

  CLI::App m_app;
  Command m_cmd;
  HostOptions m_options;
};

Parser::Parser(bool commandLine) {
  kdl::cli::SetUpApp(m_app, "kelvane", kDescription);
  m_app.footer(Footer());
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
  for (const CommandRow& c : Commands())
    if (commandLine || c.inShell) AddCommand(c);
  // Arguments no command takes are collected and reported in Finish().
  m_app.allow_extras();
}

void Parser::AddCommand(const CommandRow& row) {
  CLI::App* sub = m_app.add_subcommand(row.name, row.summary);
  sub->group("Commands");
  std::string footer = row.detail;
  if (row.needs != Needs::kNothing) {
    footer += std::string(footer.empty() ? "" : " ") +
              (row.repeatable ? "Sent once more after a new login when its link closes under "
                                "it."
                              : "Never sent twice, not even when its link closes under it: it "
                                "acts on the server.");
  }
  sub->footer(footer);
  if (row.addArgs) row.addArgs(sub, &m_cmd);
}

const CLI::App* Parser::SubcommandOf(const std::string& name) const {
  const auto found =
      m_app.get_subcommands([&name](const CLI::App* a) { return a->get_name() == name; });
  return found.empty() ? nullptr : found.front();
}

bool Parser::TakesValue(const CLI::App* sub, const std::string& word) const {
  if (word.size() < 2 || word[0] != '-' || word.find('=') != std::string::npos) return false;
  const CLI::Option* o = sub ? sub->get_option_no_throw(word) : nullptr;
  if (!o) o = m_app.get_option_no_throw(word);
  return o && o->get_type_size() > 0;
}

size_t Parser::CommandAt(const std::vector<std::string>& words) const {
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i].size() < 2 || words[i][0] != '-') return i;
    if (TakesValue(nullptr, words[i])) ++i;
  }
  return words.size();
}

// CLI11 reads the words after "--" as operands only while the command has
// arguments left for them, and reads the rest as options of the tool: so the
// command's name is moved before "--", and operands beyond its arguments are
// refused here.
ParseResult Parser::PlaceOperands(const std::vector<std::string>& args,
                                  std::vector<std::string>* words) const {
  ParseResult r;
  *words = args;
  const auto dashes = std::find(args.begin(), args.end(), "--");
  if (dashes == args.end()) return r;
  std::vector<std::string> before(args.begin(), dashes);
  std::vector<std::string> operands(dashes + 1, args.end());
  size_t at = CommandAt(before);
  if (at == before.size()) {
    if (operands.empty()) {
      *words = before;
      return r;
    }
    before.push_back(operands.front());
    operands.erase(operands.begin());
  }
  const std::string name = before[at];
  const CLI::App* sub = SubcommandOf(name);
  if (!sub) {
    r.kind = ParseResult::kUsageError;
    r.text = "unknown command \"" + name + "\"";
    return r;
  }
  // The command's arguments not yet given before "--".
  size_t room = sub->get_options([](const CLI::Option* o) { return o->get_positional(); }).size();
  for (size_t i = at + 1; i < before.size() && room > 0; ++i) {
    if (before[i].size() < 2 || before[i][0] != '-') {
      --room;
    } else if (TakesValue(sub, before[i])) {
      ++i;
    }
  }
  if (operands.size() > room) {
    r.kind = ParseResult::kUsageError;
    r.text = "unexpected argument \"" + operands[room] + "\"";
    return r;
  }
  *words = before;
  if (!operands.empty()) {
    words->push_back("--");
    words->insert(words->end(), operands.begin(), operands.end());
  }
  return r;
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
  const CommandRow* row = FindCommand(chosen.front()->get_name());
  m_cmd.id = row->id;
  m_cmd.name = row->name;
  if (row->id == CommandId::kHelp) {
    const std::string topic = m_cmd.topic;
    if (!topic.empty() && !SubcommandOf(topic)) {
      r.kind = ParseResult::kUsageError;
      r.text = "unknown command \"" + topic + "\"";
      return r;
    }
    r.kind = ParseResult::kHelp;
    r.text = Help(topic);
  }
  *cmd = m_cmd;
  return r;
}

ParseResult Parser::Parse(const std::vector<std::string>& args, Command* cmd,
                          HostOptions* options) {
  std::vector<std::string> words;
  ParseResult r = PlaceOperands(args, &words);
  if (r.kind == ParseResult::kRun) r = kdl::cli::ParseArgs(m_app, words);
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
