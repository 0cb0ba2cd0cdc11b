#include "tools/server/ServerConfig.h"

#include <cerrno>
#include <cstdlib>

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
  return "usage: kelvane-server [options]\n"
         "\n"
         "Answers the tool family of the diskless server protocol: discovery on UDP,\n"
         "login, image list, image information, create, select, set and cancel\n"
         "administrator and keep-alives on TCP. Logs every request to stdout.\n"
         "\n"
         "options:\n"
         "  --images FILE          images and snapshots to serve (JSON)\n"
         "  --port N               TCP port (default 8000; 0 picks a free port)\n"
         "  --bind ADDR            TCP address to listen on (default 0.0.0.0)\n"
         "  --udp-port N           discovery port on 0.0.0.0 (default 800; 0 picks one)\n"
         "  --image-root DIR       folder that select paths are built in\n"
         "                         (default /srv/kelvane/images)\n"
         "  --client-type N        login reply: ClientType (default 1)\n"
         "  --manager-enable N     login reply: ManagerEnable (default 1)\n"
         "  --ext-info N           login reply: ExtInfo (default 0)\n"
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
         "  --unknown-code CODE    that type code (default 0x00FE0001)\n"
         "\n"
         "result codes: 3 unknown image id, 17 image name taken, 22 invalid request\n";
}

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
    bool good = true;
    std::string why;
    if (opt == "--images") {
      config->imagesFile = value;
    } else if (opt == "--bind") {
      config->bindAddress = value;
    } else if (opt == "--port") {
      good = ParsePort(value, &config->tcpPort);
    } else if (opt == "--udp-port") {
      good = ParsePort(value, &config->udpPort);
    } else if (opt == "--image-root") {
      config->imageRoot = value;
    } else if (opt == "--client-type") {
      good = ParseU32(value, &config->clientType);
    } else if (opt == "--manager-enable") {
      good = ParseU32(value, &config->managerEnable);
    } else if (opt == "--ext-info") {
      good = ParseU32(value, &config->extInfo);
    } else if (opt == "--close-after") {
      good = ParseU32(value, &config->closeAfter);
    } else if (opt == "--unknown-code") {
      good = ParseU32(value, &config->unknownCode);
    } else if (opt == "--no-reply" || opt == "--unknown-type") {
      std::vector<RequestKind> kinds;
      good = ParseKindList(value, &kinds, &why);
      for (RequestKind k : kinds) {
        if (opt == "--no-reply")
          config->Fault(k).noReply = true;
        else
          config->Fault(k).unknownType = true;
      }
    } else if (opt == "--delay" || opt == "--fail" || opt == "--bad-length") {
      RequestKind k;
      std::string v;
      good = SplitAssignment(value, &k, &v, &why);
      if (good && opt == "--delay") {
        good = ParseU32(v, &config->Fault(k).delayMs);
      } else if (good && opt == "--fail") {
        good = ParseU32(v, &config->Fault(k).errCode);
        config->Fault(k).forceErr = good;
      } else if (good) {
        FaultPlan& f = config->Fault(k);
        bool relative = !v.empty() && (v[0] == '+' || v[0] == '-');
        uint32_t n;
        good = ParseU32(relative ? v.substr(1) : v, &n);
        f.badLength = good;
        f.lengthRelative = relative;
        f.lengthValue = (relative && v[0] == '-') ? -int64_t(n) : int64_t(n);
      }
    } else {
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
