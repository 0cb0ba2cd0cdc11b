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

// Set by the close callback; the next command logs in again.
std::atomic<bool> g_linkClosed{false};
// Closes seen so far: a request during which it grew saw its link close.
std::atomic<unsigned> g_closes{0};
// Where the callback tells of a close (null with --quiet).
std::atomic<Console*> g_notices{nullptr};

// How long a request that failed at once waits for the close notice of a
// link the server had just closed.
constexpr auto kCloseNoticeWait = std::chrono::milliseconds(300);

std::string Trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

}  // namespace

HostSession::HostSession(const KelvaneApi& api, const HostOptions& options, std::FILE* out,
                         Console& console, LibraryLines* lines)
    : m_api(api), m_options(options), m_out(out), m_console(console), m_lines(lines) {
  g_notices.store(options.quiet ? nullptr : &console);
}

void HostSession::OnLinkClosed() {
  g_linkClosed.store(true);
  g_closes.fetch_add(1);
  if (Console* c = g_notices.load())
    c->Write("kelvane: the server closed the link; the next command logs in again\n");
}

bool HostSession::Start() { return m_api.StartServer(&HostSession::OnLinkClosed); }

void HostSession::Stop() { m_api.StopServer(); }

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
  if (result == 1) {
    const std::vector<std::string> lines = m_lines ? m_lines->Since() : std::vector<std::string>();
    m_failure = ClassifyNoAnswer(lines, took.count(), g_closes.load() != closes);
  }
  return result;
}

int HostSession::Send(const CommandRow& row, const Command& cmd) {
  AskParams space;
  void* param = row.param ? row.param(cmd, m_options, &space) : nullptr;
  const int result = Ask(row.name, row.askType, param);
  if (row.askType == KELVANE_ASK_DISCOVER && result == 0) m_discovered = true;
  if (row.askType == KELVANE_ASK_LOGIN) m_loggedIn = result == 0;
  return result;
}

bool HostSession::Prepare(const Command& cmd, std::string* step, int* result) {
  if (g_linkClosed.exchange(false)) m_loggedIn = false;
  const CommandRow& row = RowOf(cmd.id);
  if (row.needs == Needs::kNothing) return true;
  if (!m_discovered) {
    *result = Send(RowOf(CommandId::kDiscover), cmd);
    if (*result != 0) {
      *step = "discover";
      return false;
    }
  }
  if (row.needs == Needs::kServer || m_loggedIn) return true;
  *result = Send(RowOf(CommandId::kLogin), cmd);
  if (*result != 0) {
    *step = "login";
    // The server may have moved: look for it again next time.
    m_discovered = false;
    return false;
  }
  return true;
}

int HostSession::Run(const Command& cmd) {
  std::string step;
  int result = 0;
  if (!Prepare(cmd, &step, &result)) {
    Print(cmd, result, step);
    return result;
  }
  const CommandRow& row = RowOf(cmd.id);
  result = Send(row, cmd);
  // A send on a link the server has just closed fails at once, sometimes
  // before the close reaches the callback: give the notice a moment.
  if (result == 1 && m_failure.kind == FailureKind::kLocal) {
    const auto until = std::chrono::steady_clock::now() + kCloseNoticeWait;
    while (!g_linkClosed.load() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (g_linkClosed.load()) m_failure = Failure{FailureKind::kClosed, ""};
  }
  // A link that closed under the request: log in again and repeat it once.
  if (result == 1 && g_linkClosed.load() && row.repeatable) {
    if (!Prepare(cmd, &step, &result)) {
      Print(cmd, result, step);
      return result;
    }
    result = Send(row, cmd);
  }
  Print(cmd, result, result == 0 ? "" : cmd.name);
  return result;
}

void HostSession::Print(const Command& cmd, int result, const std::string& failedStep) {
  // Records are shown when the command's own reply was stored: on success,
  // or when the server answered with a code (1 means nothing was stored).
  const bool ownStep = failedStep.empty() || failedStep == cmd.name;
  Json data;
  std::string text;
  const CommandRow& row = RowOf(cmd.id);
  if (ownStep && result != 1 && row.render) {
    row.render(m_api, cmd, result, &data, &text);
  } else {
    data = ResultJson(result);
  }
  // In a shell the line comes first, then "result", the kind of a result 1,
  // the failing step, and whatever the reply held.
  Json j;
  if (m_inShell) j["command"] = m_shellLine;
  j["result"] = result;
  if (result == 1 && m_failure.kind != FailureKind::kNone) j["failure"] = FailureName(m_failure.kind);
  if (!failedStep.empty()) j["failed_step"] = failedStep;
  for (auto it = data.begin(); it != data.end(); ++it)
    if (it.key() != "result") j[it.key()] = it.value();

  // The results first, then why it failed: a terminal shows them in order.
  if (failedStep.empty()) text += "result: 0 (ok)\n";
  if (m_options.json) {
    std::fprintf(m_out, "%s\n", JsonLine(j).c_str());
  } else {
    std::fputs(text.c_str(), m_out);
  }
  kdl::cli::FlushOutput(m_out);
  if (!failedStep.empty()) {
    m_console.Write("kelvane: " + failedStep + " failed: result " + std::to_string(result) +
                    " (" + kdl::util::EscapeForTerminal(ResultMeaning(result, m_failure)) +
                    ")\n");
  }
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
