#include "tools/server/ServerConfig.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tools/server/ImageStore.h"

namespace kdl::sim {
namespace {

// Splits "a,b,c" into request kinds.
bool ParseKindList(const std::string& text, std::vector<RequestKind>* kinds, std::string* error) {
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    std::string name = text.substr(start, comma == std::string::npos ? comma : comma - start);
    RequestKind k;
    if (!ParseRequestName(name, &k)) {
      *error = "unknown request \"" + name + "\"";
      return false;
    }
    kinds->push_back(k);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// Splits "REQ=VALUE".
bool SplitAssignment(const std::string& text, RequestKind* kind, std::string* value,
                     std::string* error) {
  size_t eq = text.find('=');
  if (eq == std::string::npos) {
    *error = "expected REQUEST=VALUE, got \"" + text + "\"";
    return false;
  }
  if (!ParseRequestName(text.substr(0, eq), kind)) {
    *error = "unknown request \"" + text.substr(0, eq) + "\"";
    return false;
  }
  *value = text.substr(eq + 1);
  return true;
}

bool ParsePort(const std::string& text, uint16_t* out) {
  uint32_t v;
  if (!ParseU32(text, &v) || v > 65535) return false;
  *out = static_cast<uint16_t>(v);
  return true;
}

}  // namespace

bool ParseU32(const std::string& text, uint32_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno || *end || v > 0xFFFFFFFFull) return false;
  // strtoull with base 0 takes a leading 0 as octal; refuse that surprise.
  if (text.size() > 1 && text[0] == '0' && text[1] != 'x' && text[1] != 'X') return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

std::string ServerUsage() {
  const ServerConfig d;
  char unknownCode[16];
  std::snprintf(unknownCode, sizeof unknownCode, "0x%08X", d.unknownCode);
  return "usage: kelvane-server [options]\n"
         "\n"
         "Answers the tool family of the diskless server protocol: discovery on UDP,\n"
         "login, image list, image information, create, select, set and cancel\n"
         "administrator and keep-alives on TCP. Logs every request to stdout.\n"
         "\n"
         "options:\n"
         "  --images FILE          images and snapshots to serve (JSON)\n"
         "  --port N               TCP port (default " + std::to_string(d.tcpPort) +
         "; 0 picks a free port)\n"
         "  --bind ADDR            TCP address to listen on (default " + d.bindAddress + ")\n"
         "  --udp-port N           discovery port on 0.0.0.0 (default " +
         std::to_string(d.udpPort) + "; 0 picks one)\n"
         "  --image-root DIR       folder that select paths are built in\n"
         "                         (default " + d.imageRoot + ")\n"
         "  --client-type N        login reply: ClientType (default " +
         std::to_string(d.clientType) + ")\n"
         "  --manager-enable N     login reply: ManagerEnable (default " +
         std::to_string(d.managerEnable) + ")\n"
         "  --ext-info N           login reply: ExtInfo (default " + std::to_string(d.extInfo) +
         ")\n"
         "\n"
         "limits (a TCP link must log in before any request but discovery and login):\n"
         "  --max-images N         refuse creates once N images exist (default " +
         std::to_string(d.maxImages) + ")\n"
         "  --max-connections N    close further TCP links at once (default " +
         std::to_string(d.maxConnections) + ")\n"
         "  --max-queued-bytes N   close a link whose unsent replies exceed N bytes\n"
         "                         (default " + std::to_string(d.maxQueuedBytes) + ")\n"
         "  --idle-close MS        close a link that sent nothing for MS milliseconds\n"
         "                         (default " + std::to_string(d.idleCloseMs) + ": never)\n"
         "\n"
         "fault modes (REQ is discover, login, images, snapshots, create, select,\n"
         "set-admin, cancel-admin or heartbeat; REQS a comma-separated list):\n"
         "  --no-reply REQS        never answer these requests\n"
         "  --delay REQ=MS         answer REQ after MS milliseconds\n"
         "  --fail REQ=CODE        answer REQ with ErrCode CODE\n"
         "  --close-after N        close each TCP link after serving N requests\n"
         "  --bad-length REQ=LEN   answer REQ with head Length LEN; +N or -N is\n"
         "                         relative to the true size\n"
         "  --unknown-type REQS    answer with a frame of an unknown type code instead\n"
         "  --unknown-code CODE    that type code (default " + unknownCode + ")\n"
         "\n"
         "result codes: " + std::to_string(kErrUnknownImage) + " unknown image id, " +
         std::to_string(kErrNotLoggedIn) + " not logged in, " +
         std::to_string(kErrImageExists) + " image name taken,\n" +
         "  " + std::to_string(kErrInvalidRequest) + " invalid request, " +
         std::to_string(kErrTooManyImages) + " image limit reached\n";
}

namespace {

// The limit options; *known is false for any other option. A link or queue
// limit of 0 would refuse everything and is taken as a mistake.
bool ApplyLimitOption(const std::string& opt, const std::string& value, ServerConfig* config,
                      bool* known) {
  *known = true;
  if (opt == "--max-images") return ParseU32(value, &config->maxImages);
  if (opt == "--idle-close") return ParseU32(value, &config->idleCloseMs);
  uint32_t* limit = opt == "--max-connections"    ? &config->maxConnections
                    : opt == "--max-queued-bytes" ? &config->maxQueuedBytes
                                                  : nullptr;
  *known = limit != nullptr;
  return !limit || (ParseU32(value, limit) && *limit > 0);
}

// The fault options: --no-reply, --unknown-type, --delay, --fail and
// --bad-length. False when `value` is not good for `opt`.
bool ApplyFaultOption(const std::string& opt, const std::string& value, ServerConfig* config,
                      std::string* why) {
  if (opt == "--no-reply" || opt == "--unknown-type") {
    std::vector<RequestKind> kinds;
    const bool good = ParseKindList(value, &kinds, why);
    for (RequestKind k : kinds) {
      if (opt == "--no-reply")
        config->Fault(k).noReply = true;
      else
        config->Fault(k).unknownType = true;
    }
    return good;
  }
  RequestKind k;
  std::string v;
  if (!SplitAssignment(value, &k, &v, why)) return false;
  FaultPlan& f = config->Fault(k);
  if (opt == "--delay") return ParseU32(v, &f.delayMs);
  if (opt == "--fail") {
    f.forceErr = ParseU32(v, &f.errCode);
    return f.forceErr;
  }
  const bool relative = !v.empty() && (v[0] == '+' || v[0] == '-');
  uint32_t n;
  const bool good = ParseU32(relative ? v.substr(1) : v, &n);
  f.badLength = good;
  f.lengthRelative = relative;
  f.lengthValue = (relative && v[0] == '-') ? -int64_t(n) : int64_t(n);
  return good;
}

// One option with its value. False with `why` (or a bad value) on a value
// the option does not take; *known tells whether the option exists.
bool ApplyOption(const std::string& opt, const std::string& value, ServerConfig* config,
                 std::string* why, bool* known) {
  *known = true;
  if (opt == "--images") {
    config->imagesFile = value;
  } else if (opt == "--bind") {
    config->bindAddress = value;
  } else if (opt == "--port") {
    return ParsePort(value, &config->tcpPort);
  } else if (opt == "--udp-port") {
    return ParsePort(value, &config->udpPort);
  } else if (opt == "--image-root") {
    config->imageRoot = value;
  } else if (opt == "--client-type") {
    return ParseU32(value, &config->clientType);
  } else if (opt == "--manager-enable") {
    return ParseU32(value, &config->managerEnable);
  } else if (opt == "--ext-info") {
    return ParseU32(value, &config->extInfo);
  } else if (opt == "--close-after") {
    return ParseU32(value, &config->closeAfter);
  } else if (opt == "--unknown-code") {
    return ParseU32(value, &config->unknownCode);
  } else if (opt == "--no-reply" || opt == "--unknown-type" || opt == "--delay" ||
             opt == "--fail" || opt == "--bad-length") {
    return ApplyFaultOption(opt, value, config, why);
  } else {
    return ApplyLimitOption(opt, value, config, known);
  }
  return true;
}

}  // namespace

ParseOutcome ParseServerArgs(const std::vector<std::string>& args,
                             const std::string& defaultImages, ServerConfig* config) {
  ParseOutcome out;
  config->imagesFile = defaultImages;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& opt = args[i];
    if (opt == "--help" || opt == "-h") {
      out.help = true;
      out.ok = true;
      return out;
    }
    if (i + 1 >= args.size() || opt.rfind("--", 0) != 0) {
      out.error = opt.rfind("--", 0) == 0 ? opt + " needs a value" : "unexpected \"" + opt + "\"";
      return out;
    }
    const std::string& value = args[++i];
    std::string why;
    bool known = true;
    const bool good = ApplyOption(opt, value, config, &why, &known);
    if (!known) {
      out.error = "unknown option " + opt;
      return out;
    }
    if (!good) {
      out.error = why.empty() ? "bad value \"" + value + "\" for " + opt : opt + ": " + why;
      return out;
    }
  }
  out.ok = true;
  return out;
}

}  // namespace kdl::sim
