#include "tools/host/HostSession.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tools/cli/Output.h"
#include "tools/host/WaitIndicator.h"
#include "util/TerminalText.h"

namespace kdl::host {
namespace {

// Closes the callback reported; a request during which it grew saw its link
// close.
std::atomic<unsigned> g_closes{0};

// How long a failed request waits for the close notice of its link: one the
// server had just closed (a send fails at once, sometimes before the notice),
// or one the library ended (its notice follows the return).
constexpr auto kCloseNoticeWait = std::chrono::milliseconds(300);

std::string Trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// Later steps of a command rank higher: discover, login, its own request,
// done.
int StepRank(const std::string& step, const std::string& command) {
  if (step.empty()) return 3;
  if (step == command) return 2;
  return step == "login" ? 1 : 0;
}

}  // namespace

HostSession::HostSession(const KelvaneApi& api, const HostOptions& options, std::FILE* out,
                         Console& console, LibraryLines* lines)
    : m_api(api), m_options(options), m_out(out), m_console(console), m_lines(lines) {}

void HostSession::OnLinkClosed() { g_closes.fetch_add(1); }

bool HostSession::Start() { return m_api.StartServer(&HostSession::OnLinkClosed); }

void HostSession::Stop() { m_api.StopServer(); }

bool HostSession::TakeClose(std::chrono::milliseconds wait,
                            const std::vector<std::string>& lines) {
  const auto until = std::chrono::steady_clock::now() + wait;
  while (g_closes.load() == m_closesSeen && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const unsigned closes = g_closes.load();
  if (closes == m_closesSeen) return false;
  m_closesSeen = closes;
  m_untold = ClassifyClose(lines);
  return true;
}

void HostSession::TellClose(const std::string& then) {
  if (m_untold && !m_options.quiet)
    m_console.Write("kelvane: " + CloseText(*m_untold) + "; " + then + "\n");
  m_untold.reset();
}

int HostSession::Ask(const char* step, uint32_t type, void* param) {
  if (m_lines) m_lines->Begin();
  const unsigned closes = g_closes.load();
  const auto start = std::chrono::steady_clock::now();
  int result;
  {
    WaitIndicator wait(m_console, !m_options.quiet && type != KELVANE_ASK_HEARTBEAT, step);
    result = m_api.SendAskPack(type, param);
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  m_failure = Failure();
  std::vector<std::string> lines;
  if (m_lines && (result == 1 || g_closes.load() != m_closesSeen)) lines = m_lines->Since();
  if (result == 1) {
    m_failure = ClassifyNoAnswer(lines, took.count(), g_closes.load() != closes);
    // A request that fails at once without a word was not sent: its link
    // was gone. Known when a close came since the login; otherwise the
    // close may not have reached the callback yet: give it a moment, on
    // every try.
    const bool unexplained = m_failure.kind == FailureKind::kLocal && m_failure.detail.empty() &&
                             type != KELVANE_ASK_DISCOVER && type != KELVANE_ASK_LOGIN;
    const bool closedBefore = m_closesAtLogin != m_closesSeen;
    const bool wait = LinkClosedUnder(m_failure) || (unexplained && !closedBefore);
    const bool taken = TakeClose(wait ? kCloseNoticeWait : std::chrono::milliseconds(0), lines);
    if (unexplained && (taken || closedBefore)) {
      m_failure.kind = FailureKind::kClosed;
      m_failure.unsent = true;
    }
  } else {
    TakeClose(std::chrono::milliseconds(0), lines);
  }
  // What the library prints from now on belongs to no request.
  if (m_lines) m_lines->Begin();
  return result;
}

int HostSession::Send(const CommandRow& row, const Command& cmd) {
  AskParams space;
  void* param = row.param ? row.param(cmd, m_options, &space) : nullptr;
  const unsigned closes = m_closesSeen;
  const int result = Ask(row.name, row.askType, param);
  if (row.askType == KELVANE_ASK_DISCOVER && result == 0) m_discovered = true;
  if (row.askType == KELVANE_ASK_LOGIN) {
    m_loggedIn = result == 0;
    m_closesAtLogin = closes;
  }
  return result;
}

bool HostSession::Prepare(const CommandRow& row, const Command& cmd, Outcome* out) {
  // A close since the last request: between two commands of a shell, or
  // right after the last reply.
  if (g_closes.load() != m_closesSeen)
    TakeClose(std::chrono::milliseconds(0),
              m_lines ? m_lines->Since() : std::vector<std::string>());
  if (row.needs == Needs::kNothing) return true;
  if (!m_discovered) {
    out->result = Send(RowOf(CommandId::kDiscover), cmd);
    if (out->result != 0) {
      out->step = "discover";
      out->failure = m_failure;
      return false;
    }
  }
  if (row.needs == Needs::kServer || LoggedIn()) return true;
  TellClose("logging in again");
  out->result = Send(RowOf(CommandId::kLogin), cmd);
  if (out->result != 0) {
    out->step = "login";
    out->failure = m_failure;
    // The server may have moved: look for it again next time.
    m_discovered = false;
    return false;
  }
  return true;
}

HostSession::Outcome HostSession::Try(const CommandRow& row, const Command& cmd) {
  Outcome o;
  if (!Prepare(row, cmd, &o)) return o;
  o.result = Send(row, cmd);
  o.failure = m_failure;
  if (o.result != 0) o.step = row.name;
  return o;
}

bool HostSession::MayRepeat(const Outcome& o) {
  const CommandRow* step = FindCommand(o.step);
  return o.result == 1 && LinkClosedUnder(o.failure) && step &&
         (step->repeatable || o.failure.unsent);
}

int HostSession::Run(const Command& cmd) {
  const CommandRow& row = RowOf(cmd.id);
  Outcome shown = Try(row, cmd);
  // Only a step that changes nothing on the server is sent once more; one
  // that could not be sent at all is sent after a new login, whatever it is.
  if (MayRepeat(shown)) {
    const bool unsent = shown.failure.unsent;
    TellClose("logging in again to send " + shown.step + (unsent ? "" : " once more"));
    Outcome again = Try(row, cmd);
    if (StepRank(again.step, cmd.name) >= StepRank(shown.step, cmd.name)) {
      shown = again;
      shown.repeated = !unsent;
    } else {
      shown.repeatStep = again.step;
      shown.repeatResult = again.result;
      shown.repeatFailure = again.failure;
    }
  }
  Print(cmd, shown);
  if (m_inShell) {
    TellClose("the next command logs in again");
  } else {
    m_untold.reset();
  }
  return shown.result;
}

void HostSession::Print(const Command& cmd, const Outcome& o) {
  const CommandRow& row = RowOf(cmd.id);
  // Records are shown when the command's own reply was stored: on success,
  // or when the server answered with a code (1 means nothing was stored).
  Json data;
  std::string text;
  if ((o.step.empty() || o.step == cmd.name) && o.result != 1 && row.render)
    row.render(m_api, cmd, o.result, &data, &text);
  // In a shell the line comes first, then "result", the kind of a result 1,
  // the failing step, whatever the reply held, and whether it was repeated.
  Json j;
  if (m_inShell) j["command"] = m_shellLine;
  j["result"] = o.result;
  if (o.result == 1 && o.failure.kind != FailureKind::kNone)
    j["failure"] = FailureName(o.failure.kind);
  if (!o.step.empty()) j["failed_step"] = o.step;
  if (data.is_object())
    for (auto it = data.begin(); it != data.end(); ++it)
      if (it.key() != "result") j[it.key()] = it.value();
  if (o.repeated) j["repeated"] = true;
  if (!o.repeatStep.empty()) j["repeat_failed_step"] = o.repeatStep;

  // The results first, then why it failed: a terminal shows them in order.
  if (o.step.empty()) text += "result: 0 (ok)\n";
  if (m_options.json) {
    std::fprintf(m_out, "%s\n", JsonLine(j).c_str());
  } else {
    std::fputs(text.c_str(), m_out);
  }
  kdl::cli::FlushOutput(m_out);
  if (o.step.empty()) return;
  std::string why = ResultMeaning(o.result, o.failure);
  const CommandRow* step = FindCommand(o.step);
  if (o.result == 1 && LinkClosedUnder(o.failure) && !o.failure.unsent && step &&
      !step->repeatable)
    why += "; not sent again: it acts on the server, and the first may have reached it";
  using kdl::util::EscapeForTerminal;
  std::string message = "kelvane: " + o.step + " failed: result " + std::to_string(o.result) +
                        " (" + EscapeForTerminal(why) + ")\n";
  if (!o.repeatStep.empty())
    message += "kelvane: trying it again failed at " + o.repeatStep + ": result " +
               std::to_string(o.repeatResult) + " (" +
               EscapeForTerminal(ResultMeaning(o.repeatResult, o.repeatFailure)) + ")\n";
  m_console.Write(message);
}

void HostSession::PrintUsageError(const std::string& error) {
  m_console.Write("kelvane: " + kdl::util::EscapeForTerminal(error) + "\n");
  if (m_options.json) {
    Json j;
    j["command"] = m_shellLine;
    j["error"] = error;
    std::fprintf(m_out, "%s\n", JsonLine(j).c_str());
    kdl::cli::FlushOutput(m_out);
  }
}

int HostSession::RunLine(const std::string& line, bool interactive) {
  m_shellLine = Trimmed(line);
  std::vector<std::string> words;
  std::string error;
  if (!SplitLine(line, &words, &error)) {
    PrintUsageError(error);
    return kHostUsage;
  }
  if (words.empty() || words[0][0] == '#') return 0;
  if (words[0] == "quit" || words[0] == "exit") return -1;
  Command cmd;
  const kdl::cli::ParseResult p = ParseShellWords(words, &cmd);
  if (p.kind == kdl::cli::ParseResult::kUsageError) {
    PrintUsageError(p.text);
    return kHostUsage;
  }
  if (p.kind != kdl::cli::ParseResult::kRun) {
    if (!m_options.json) std::fputs(p.text.c_str(), m_out);
    kdl::cli::FlushOutput(m_out);
    return 0;
  }
  // A transcript-like echo of the command when reading from a file or pipe.
  if (!interactive && !m_options.json) {
    std::fprintf(m_out, "\nkelvane> %s\n", kdl::util::EscapeForTerminal(m_shellLine).c_str());
    kdl::cli::FlushOutput(m_out);
  }
  return Run(cmd) == 0 ? kHostOk : kHostFailed;
}

int HostSession::RunShell(std::FILE* in, bool stopOnError) {
  const bool interactive = isatty(fileno(in)) == 1;
  m_inShell = true;
  int worst = kHostOk;
  std::string line;
  for (;;) {
    if (interactive) m_console.Write("kelvane> ");
    line.clear();
    int c;
    while ((c = std::fgetc(in)) != EOF && c != '\n') line += static_cast<char>(c);
    if (c == EOF && line.empty()) break;
    const int status = RunLine(line, interactive);
    if (status < 0) break;
    if (OutputFailed()) return kHostOutputFailed;
    worst = std::max(worst, status);
    if (stopOnError && status != kHostOk) break;
  }
  return worst;
}

}  // namespace kdl::host
