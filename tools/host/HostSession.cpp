#include "tools/host/HostSession.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "tools/host/WaitIndicator.h"
#include "util/Text.h"

namespace kdl::host {
namespace {

// Set by the close callback; the next command logs in again.
std::atomic<bool> g_linkClosed{false};

struct CreateParam {
  char name[64];
  uint32_t param1;
  uint32_t param2;
};
static_assert(sizeof(CreateParam) == 72, "create-image parameter layout");

bool IsPrintable(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 && c != '\t') return false;
  return true;
}

}  // namespace

HostSession::HostSession(const KelvaneApi& api, const HostOptions& options, std::FILE* out,
                         std::FILE* err)
    : m_api(api),
      m_options(options),
      m_out(out),
      m_err(err),
      m_spinner(WaitIndicator::StderrIsTerminal()) {}

void HostSession::OnLinkClosed() {
  g_linkClosed.store(true);
  static const char kMsg[] = "kelvane: the server closed the link; the next command logs in again\n";
  ssize_t rc = write(STDERR_FILENO, kMsg, sizeof kMsg - 1);
  (void)rc;
}

bool HostSession::Start() { return m_api.StartServer(&HostSession::OnLinkClosed); }

void HostSession::Stop() { m_api.StopServer(); }

int HostSession::Ask(const char* step, uint32_t type, void* param) {
  WaitIndicator wait(m_spinner && type != KELVANE_ASK_HEARTBEAT, step);
  return m_api.SendAskPack(type, param);
}

bool HostSession::Prepare(const Command& cmd, std::string* step, int* result) {
  if (g_linkClosed.exchange(false)) m_loggedIn = false;
  if (cmd.id == CommandId::kDiscover) return true;
  if (!m_discovered) {
    *result = Ask("discover", KELVANE_ASK_DISCOVER, nullptr);
    if (*result != 0) {
      *step = "discover";
      return false;
    }
    m_discovered = true;
  }
  if (cmd.id == CommandId::kLogin || m_loggedIn) return true;
  char name[kMaxToolName + 1] = {};
  std::strncpy(name, m_options.name.c_str(), kMaxToolName);
  *result = Ask("login", KELVANE_ASK_LOGIN, name);
  if (*result != 0) {
    *step = "login";
    // The server may have moved: look for it again next time.
    m_discovered = false;
    return false;
  }
  m_loggedIn = true;
  return true;
}

int HostSession::Request(const Command& cmd) {
  switch (cmd.id) {
    case CommandId::kDiscover: {
      int r = Ask("discover", KELVANE_ASK_DISCOVER, nullptr);
      if (r == 0) m_discovered = true;
      return r;
    }
    case CommandId::kLogin: {
      char name[kMaxToolName + 1] = {};
      std::strncpy(name, m_options.name.c_str(), kMaxToolName);
      int r = Ask("login", KELVANE_ASK_LOGIN, name);
      m_loggedIn = r == 0;
      return r;
    }
    case CommandId::kImages:
      return Ask("images", KELVANE_ASK_IMAGE_LIST, nullptr);
    case CommandId::kSnapshots:
      return Ask("snapshots", KELVANE_ASK_IMAGE_INFO, nullptr);
    case CommandId::kCreate: {
      CreateParam p;
      std::memset(&p, 0, sizeof p);
      kdl::util::CopyTerminated(p.name, cmd.imageName);
      p.param1 = cmd.param1;
      p.param2 = cmd.param2;
      return Ask("create", KELVANE_ASK_CREATE_IMAGE, &p);
    }
    case CommandId::kSelect: {
      uint32_t id = cmd.number;
      return Ask("select", KELVANE_ASK_SELECT_IMAGE, &id);
    }
    case CommandId::kSetAdmin: {
      uint32_t value = cmd.number;
      return Ask("set-admin", KELVANE_ASK_SET_ADMIN, &value);
    }
    case CommandId::kCancelAdmin: {
      unsigned char p[2 + kMaxCancelText + 1] = {};
      p[0] = cmd.flag1;
      p[1] = cmd.flag2;
      kdl::util::CopyTerminated(reinterpret_cast<char*>(p + 2), kMaxCancelText + 1,
                                cmd.text.data(), cmd.text.size());
      return Ask("cancel-admin", KELVANE_ASK_CANCEL_ADMIN, p);
    }
    case CommandId::kHeartbeat:
      return Ask("heartbeat", KELVANE_ASK_HEARTBEAT, nullptr);
    default:
      return 1;
  }
}

int HostSession::Run(const Command& cmd) {
  std::string step;
  int result = 0;
  if (!Prepare(cmd, &step, &result)) {
    Print(cmd, result, step);
    return result;
  }
  result = Request(cmd);
  // A send on a link the server has just closed fails at once, sometimes
  // before the close reaches the callback: give the notice a moment.
  if (result == 1) {
    for (int i = 0; i < 30 && !g_linkClosed.load(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // A link that closed under the request: log in again and repeat it once.
  // Not for create, whose first attempt may have reached the server.
  if (result == 1 && g_linkClosed.load() && cmd.id != CommandId::kCreate &&
      cmd.id != CommandId::kDiscover && cmd.id != CommandId::kLogin) {
    if (!Prepare(cmd, &step, &result)) {
      Print(cmd, result, step);
      return result;
    }
    result = Request(cmd);
  }
  Print(cmd, result, result == 0 ? "" : cmd.name);
  return result;
}

void HostSession::RenderReply(const Command& cmd, int result, Json* data,
                              std::string* text) const {
  switch (cmd.id) {
    case CommandId::kDiscover:
      *data = DiscoverJson(result, m_api.GetDiscoverInfo());
      *text = DiscoverText(m_api.GetDiscoverInfo());
      break;
    case CommandId::kLogin:
      *data = LoginJson(result, m_api.GetClientInfo());
      *text = LoginText(m_api.GetClientInfo());
      break;
    case CommandId::kImages:
      *data = ImagesJson(result, m_api.GetListImageInfo());
      *text = ImagesText(m_api.GetListImageInfo());
      break;
    case CommandId::kSnapshots:
      *data = SnapshotsJson(result, m_api.GetMapSnapInfo());
      *text = SnapshotsText(m_api.GetMapSnapInfo());
      break;
    case CommandId::kSelect:
      *data = SelectJson(result, m_api.GetSelectImageInfo());
      *text = SelectText(m_api.GetSelectImageInfo());
      break;
    case CommandId::kCreate:
      *data = ResultJson(result);
      if (result == 0) *text = "created image \"" + cmd.imageName + "\"\n";
      break;
    default:
      *data = ResultJson(result);
      break;
  }
}

void HostSession::Print(const Command& cmd, int result, const std::string& failedStep) {
  // Records are shown when the command's own reply was stored: on success,
  // or when the server answered with a code (1 means nothing was stored).
  bool ownStep = failedStep.empty() || failedStep == cmd.name;
  Json data;
  std::string text;
  if (ownStep && result != 1) {
    RenderReply(cmd, result, &data, &text);
  } else {
    data = ResultJson(result);
  }

  if (!failedStep.empty()) {
    std::string why = failedStep + " failed: result " + std::to_string(result) + " (" +
                      ResultMeaning(result) + ")";
    std::fprintf(m_err, "kelvane: %s\n", why.c_str());
    std::fflush(m_err);
    // "result" first, then the failing step, then whatever the reply held.
    Json j;
    j["result"] = result;
    j["failed_step"] = failedStep;
    for (auto it = data.begin(); it != data.end(); ++it)
      if (it.key() != "result") j[it.key()] = it.value();
    data = std::move(j);
    text += why + "\n";
  } else {
    text += "result: 0 (ok)\n";
  }
  if (m_options.json) {
    std::fprintf(m_out, "%s\n", JsonLine(data).c_str());
  } else {
    std::fputs(text.c_str(), m_out);
  }
  std::fflush(m_out);
}

void HostSession::PrintUsageError(const std::string& error) {
  std::fprintf(m_err, "kelvane: %s\n", error.c_str());
  std::fflush(m_err);
  if (m_options.json) {
    Json j;
    j["error"] = error;
    std::fprintf(m_out, "%s\n", JsonLine(j).c_str());
    std::fflush(m_out);
  }
}

int HostSession::RunShell(std::FILE* in) {
  bool interactive = isatty(fileno(in)) == 1;
  int status = 0;
  std::string line;
  for (;;) {
    if (interactive) {
      std::fputs("kelvane> ", m_err);
      std::fflush(m_err);
    }
    line.clear();
    int c;
    while ((c = std::fgetc(in)) != EOF && c != '\n') line += static_cast<char>(c);
    if (c == EOF && line.empty()) break;

    std::vector<std::string> words;
    std::string error;
    if (!SplitLine(line, &words, &error)) {
      PrintUsageError(error);
      status = 2;
      continue;
    }
    if (words.empty() || words[0][0] == '#') continue;
    if (words[0] == "quit" || words[0] == "exit") break;
    Command cmd;
    if (!ParseCommandWords(words, &cmd, &error)) {
      PrintUsageError(error);
      status = 2;
      continue;
    }
    if (cmd.id == CommandId::kShell) {
      PrintUsageError("already in a shell");
      status = 2;
      continue;
    }
    if (cmd.help || cmd.id == CommandId::kHelp) {
      std::string topic = cmd.id == CommandId::kHelp ? cmd.helpTopic : cmd.name;
      std::string help = topic.empty() ? ToolUsage() : CommandUsage(topic);
      if (help.empty()) {
        PrintUsageError("unknown command \"" + topic + "\"");
        status = 2;
        continue;
      }
      if (!m_options.json) std::fputs(help.c_str(), m_out);
      std::fflush(m_out);
      continue;
    }
    // A transcript-like echo of the command when reading from a file or pipe.
    if (!interactive && !m_options.json && IsPrintable(line)) {
      std::fprintf(m_out, "\nkelvane> %s\n", line.c_str());
    }
    status = Run(cmd) == 0 ? 0 : 1;
  }
  return status;
}

}  // namespace kdl::host
