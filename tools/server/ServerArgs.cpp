#include "tools/server/ServerArgs.h"

#include <asio/ip/address_v4.hpp>
#include <cstdio>

#include "simulator/ImageStore.h"
#include "tools/cli/ToolArgs.h"

namespace kdl::sim {
namespace {

using kdl::cli::ParseU32;

[[noreturn]] void Refuse(const std::string& option, const std::string& why) {
  throw CLI::ValidationError(option, why);
}

// "select" or "select@2": the request kind and, for @N, which one (else 0).
void ParseTarget(const std::string& option, const std::string& text, RequestKind* kind,
                 uint32_t* nth) {
  const size_t at = text.find('@');
  const std::string name = text.substr(0, at);
  if (!ParseRequestName(name, kind)) Refuse(option, "unknown request \"" + name + "\"");
  *nth = 0;
  if (at != std::string::npos && (!ParseU32(text.substr(at + 1), nth) || *nth == 0))
    Refuse(option, "\"" + text + "\": @N counts requests from 1");
}

// The plan that a fault option for `nth` (0: every request) changes.
FaultPlan& PlanOf(ServerConfig* config, RequestKind kind, uint32_t nth) {
  if (nth == 0) return config->Fault(kind);
  for (NthFault& f : config->nthFaults)
    if (f.kind == kind && f.nth == nth) return f.plan;
  config->nthFaults.push_back(NthFault{kind, nth, FaultPlan()});
  return config->nthFaults.back().plan;
}

// --no-reply and --unknown-type: "REQ,REQ,...".
void ApplyKindList(const std::string& option, const std::string& text, ServerConfig* config) {
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    RequestKind kind;
    uint32_t nth;
    ParseTarget(option, text.substr(start, comma == std::string::npos ? comma : comma - start),
                &kind, &nth);
    FaultPlan& plan = PlanOf(config, kind, nth);
    (option == "--no-reply" ? plan.noReply : plan.unknownType) = true;
    if (comma == std::string::npos) return;
    start = comma + 1;
  }
}

// --delay, --fail and --bad-length: "REQ=VALUE".
void ApplyAssignment(const std::string& option, const std::string& text, ServerConfig* config) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos) Refuse(option, "expected REQUEST=VALUE, got \"" + text + "\"");
  RequestKind kind;
  uint32_t nth;
  ParseTarget(option, text.substr(0, eq), &kind, &nth);
  FaultPlan& f = PlanOf(config, kind, nth);
  const std::string v = text.substr(eq + 1);
  const bool relative = option == "--bad-length" && !v.empty() && (v[0] == '+' || v[0] == '-');
  uint32_t n = 0;
  if (!ParseU32(relative ? v.substr(1) : v, &n))
    Refuse(option, "\"" + v + "\" is no number from 0 to 4294967295 (decimal or 0x hex)");
  if (option == "--delay") {
    f.delayMs = n;
  } else if (option == "--fail") {
    if (n == kErrHostsOwn)
      Refuse(option, "\"" + text + "\": a host cannot tell result " +
                         std::to_string(kErrHostsOwn) +
                         " from its library's own failure; choose another code");
    f.forceErr = true;
    f.errCode = n;
  } else {
    f.badLength = true;
    f.lengthRelative = relative;
    f.lengthValue = relative && v[0] == '-' ? -int64_t(n) : int64_t(n);
  }
}

std::string Hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

std::string Footer() {
  return "REQ is discover, login, images, snapshots, create, select, set-admin, cancel-admin "
         "or heartbeat, with @N for the Nth request of that kind only (counted from 1 since "
         "the start, over all links): --fail select@2=5 fails the second select. REQS is a "
         "comma-separated list of them. The fault options may be given more than once.\n\n"
         "Result codes it answers with: " +
         std::to_string(kErrUnknownImage) + " unknown image id, " +
         std::to_string(kErrNotLoggedIn) + " not logged in, " +
         std::to_string(kErrImageExists) + " image name taken, " +
         std::to_string(kErrInvalidRequest) + " invalid request, " +
         std::to_string(kErrTooManyImages) + " image limit reached.\n\n"
         "Exit status: 0 after SIGINT, SIGTERM or SIGHUP (it stops cleanly), 1 when it cannot "
         "listen or its output or ready file cannot be written, 2 for a usage error or a bad "
         "images file.";
}

// The options of the listening sockets, the images and the login reply.
void AddServiceOptions(CLI::App& app, ServerConfig* c) {
  using kdl::cli::AddNumber;
  const ServerConfig d;
  app.add_option("--images", c->imagesFile, "Images and snapshots to serve (JSON)")
      ->type_name("FILE");
  AddNumber(&app, "--port", &c->tcpPort,
            "TCP port (default " + std::to_string(d.tcpPort) + "; 0 picks a free port)");
  app.add_option("--bind", c->bindAddress,
                 "TCP address to listen on, an IPv4 address (default " + d.bindAddress + ")")
      ->type_name("ADDR")
      ->check([](const std::string& text) {
        asio::error_code ec;
        asio::ip::make_address_v4(text, ec);
        return ec ? "must be an IPv4 address such as 127.0.0.1, not \"" + text + "\""
                  : std::string();
      });
  AddNumber(&app, "--udp-port", &c->udpPort,
            "Discovery port on 0.0.0.0 (default " + std::to_string(d.udpPort) + "; 0 picks one)");
  AddNumber(&app, "--announce-port", &c->announcePort,
            "TCP port that discovery and image-list replies name, e.g. a proxy's "
            "(default 0: the simulator's own)");
  app.add_option("--image-root", c->imageRoot,
                 "Folder that select paths are built in (default " + d.imageRoot + ")")
      ->type_name("DIR");
  app.add_option("--ready-file", c->readyFile,
                 "Once both sockets listen, write tcp_port=N and udp_port=N lines to PATH "
                 "(removed when it stops)")->type_name("PATH");
  AddNumber(&app, "--client-type", &c->clientType,
            "Login reply: ClientType (default " + std::to_string(d.clientType) + ")");
  AddNumber(&app, "--manager-enable", &c->managerEnable,
            "Login reply: ManagerEnable (default " + std::to_string(d.managerEnable) + ")");
  AddNumber(&app, "--ext-info", &c->extInfo,
            "Login reply: ExtInfo (default " + std::to_string(d.extInfo) + ")");
}

// The limits that keep hostile or broken clients from taking the simulator
// down. A link or queue limit of 0 would refuse everything: a usage error.
void AddLimitOptions(CLI::App& app, ServerConfig* c) {
  using kdl::cli::AddNumber;
  const ServerConfig d;
  const auto positive = [](const std::string& option, uint32_t* target) {
    return [option, target](uint32_t v) {
      if (v == 0) Refuse(option, "must be at least 1");
      *target = v;
    };
  };
  AddNumber(&app, "--max-images", &c->maxImages,
            "Refuse creates once N images exist (default " + std::to_string(d.maxImages) + ")")
      ->group("Limits");
  kdl::cli::AddNumberTo(&app, "--max-connections", positive("--max-connections", &c->maxConnections),
                        "Close further TCP links at once (default " +
                            std::to_string(d.maxConnections) + ")",
                        UINT32_MAX)->group("Limits");
  kdl::cli::AddNumberTo(&app, "--max-queued-bytes",
                        positive("--max-queued-bytes", &c->maxQueuedBytes),
                        "Close a link whose unsent replies exceed N bytes (default " +
                            std::to_string(d.maxQueuedBytes) + ")",
                        UINT32_MAX)->group("Limits");
  AddNumber(&app, "--idle-close", &c->idleCloseMs,
            "Close a link that sent nothing for MS milliseconds (default 0: never)")
      ->type_name("MS")
      ->group("Limits");
}

void AddFaultOptions(CLI::App& app, ServerConfig* c) {
  using kdl::cli::AddRepeated;
  const ServerConfig d;
  for (const char* name : {"--no-reply", "--unknown-type"}) {
    const std::string option = name;
    AddRepeated(&app, option, [option, c](const std::string& v) { ApplyKindList(option, v, c); },
                option == "--no-reply"
                    ? "Never answer these requests"
                    : "Answer these with a frame of an unknown type code instead")
        ->type_name("REQS")
        ->group("Fault modes");
  }
  const struct {
    const char* name;
    const char* value;
    const char* help;
  } kAssignments[] = {
      {"--delay", "REQ=MS", "Answer REQ after MS milliseconds"},
      {"--fail", "REQ=CODE", "Answer REQ with ErrCode CODE (not 1, a host's own failure)"},
      {"--bad-length", "REQ=LEN",
       "Answer REQ with head Length LEN; +N or -N is relative to the true size"},
  };
  for (const auto& a : kAssignments) {
    const std::string option = a.name;
    AddRepeated(&app, option, [option, c](const std::string& v) { ApplyAssignment(option, v, c); },
                a.help)
        ->type_name(a.value)
        ->group("Fault modes");
  }
  kdl::cli::AddNumber(&app, "--close-after", &c->closeAfter,
                      "Close each TCP link after serving N requests")->group("Fault modes");
  app.add_flag("--tag-replies", c->tagReplies,
               "Mark every TCP reply with the request it answers: its result code and "
               "records carry the session of the link's last login name and the "
               "request's serial since (for kelvane-soak)")->group("Fault modes");
  kdl::cli::AddNumber(&app, "--unknown-code", &c->unknownCode,
                      "The type code of --unknown-type (default " + Hex32(d.unknownCode) + ")")
      ->type_name("CODE")
      ->group("Fault modes");
}

}  // namespace

kdl::cli::ParseResult ParseServerArgs(const std::vector<std::string>& args,
                                      const std::string& defaultImages, ServerConfig* config) {
  *config = ServerConfig();
  config->imagesFile = defaultImages;
  CLI::App app;
  kdl::cli::SetUpApp(app, "kelvane-server",
                     "Simulates the tool service of the diskless server: discovery on UDP; "
                     "login, image list, image information, create, select, set and cancel "
                     "administrator and keep-alives on TCP, where a link must log in before "
                     "any other request. Writes one line per event to stdout, each with its "
                     "local time.");
  app.footer(Footer());
  AddServiceOptions(app, config);
  AddLimitOptions(app, config);
  AddFaultOptions(app, config);
  return kdl::cli::ParseArgs(app, args);
}

}  // namespace kdl::sim
