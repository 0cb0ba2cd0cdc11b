// Writes the seeds of the stream fuzz targets from one session: the requests
// a host sends, built with the library's packet classes as the network
// manager builds them, and the simulator's replies to them over the example
// images, in the input layout of fuzz/FuzzStream.h.
//
//   make_session_corpus RECEIVE_DIR SERVER_DIR
//
// RECEIVE_DIR gets one seed per request (flags = the request type, the
// bytes its reply) and two with no request in flight; SERVER_DIR the
// request stream logged in, cut into pieces and without the login, and a
// discovery datagram.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "client/KelvaneDll.h"
#include "fuzz/FuzzStream.h"
#include "protocol/ClientPackets.h"
#include "protocol/PacketBytes.h"
#include "protocol/ToolPackets.h"
#include "simulator/RequestHandler.h"

namespace {

using namespace PacketZVDiskless;
using Bytes = std::vector<uint8_t>;
using kdl::fuzz::CStreamInput;

// The request of each KELVANE_ASK_* type (index 1 to 9).
std::vector<Bytes> Requests(uint32_t imageId) {
  std::vector<Bytes> r(KELVANE_ASK_HEARTBEAT + 1);
  CPktToolDiscover discover;
  r[KELVANE_ASK_DISCOVER] = PacketBytes(discover);
  CPktToolLogin login;
  std::strcpy(login.ToolName, "kelvane");
  r[KELVANE_ASK_LOGIN] = PacketBytes(login);
  CPktToolQueryImgList list;
  r[KELVANE_ASK_IMAGE_LIST] = PacketBytes(list);
  CPktToolQueryImgInfo info;
  r[KELVANE_ASK_IMAGE_INFO] = PacketBytes(info);
  CPktToolCreateImage create;
  create.m_Field.SetCount(1);
  std::strcpy(create.m_Field.GetAt(0)->Name, "fresh");
  create.m_Field.GetAt(0)->Param1 = 1;
  r[KELVANE_ASK_CREATE_IMAGE] = PacketBytes(create);
  CPktToolSelectImg select;
  select.ImageId = imageId;
  r[KELVANE_ASK_SELECT_IMAGE] = PacketBytes(select);
  CPktToolSetAdmin setAdmin;
  setAdmin.m_Field.SetCount(1);
  setAdmin.m_Field.GetAt(0)->Param2 = 1;
  r[KELVANE_ASK_SET_ADMIN] = PacketBytes(setAdmin);
  CPktToolCancelAdmin cancel;
  cancel.m_Field.SetCount(1);
  cancel.m_Field.GetAt(0)->Param3 = 1;
  std::strcpy(cancel.m_Field.GetAt(0)->Text, "done");
  r[KELVANE_ASK_CANCEL_ADMIN] = PacketBytes(cancel);
  CPktClientKeepAlive keepAlive;
  r[KELVANE_ASK_HEARTBEAT] = PacketBytes(keepAlive);
  return r;
}

Bytes Joined(const std::vector<Bytes>& parts, size_t from) {
  Bytes out;
  for (size_t i = from; i < parts.size(); ++i) out.insert(out.end(), parts[i].begin(), parts[i].end());
  return out;
}

bool Write(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (f) return true;
  std::fprintf(stderr, "make_session_corpus: cannot write %s\n", path.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_session_corpus RECEIVE_DIR SERVER_DIR\n");
    return 2;
  }
  const std::string receiveDir = argv[1], serverDir = argv[2];
  kdl::sim::ImageStore store;
  std::string error;
  if (!store.LoadFile(KELVANE_EXAMPLE_IMAGES, &error) || store.Images().empty()) {
    std::fprintf(stderr, "make_session_corpus: %s\n", error.c_str());
    return 1;
  }
  const std::vector<Bytes> requests = Requests(store.Images()[0].id);
  kdl::sim::ServerConfig config;
  kdl::sim::CRequestHandler handler(store, config);
  kdl::sim::PeerContext ctx;
  ctx.peer = "10.77.0.2:40000";
  ctx.serverIp = 0x0A4D0001;
  ctx.tcpPort = config.tcpPort;
  ctx.loggedIn = true;

  bool ok = true;
  Bytes tcpReplies;
  for (uint32_t type = KELVANE_ASK_DISCOVER; type <= KELVANE_ASK_HEARTBEAT; ++type) {
    ctx.udp = type == KELVANE_ASK_DISCOVER;
    const Bytes& request = requests[type];
    const Bytes reply = handler.Handle(request.data(), request.size(), ctx).bytes;
    if (request.empty() || (reply.empty() && type != KELVANE_ASK_HEARTBEAT)) {
      std::fprintf(stderr, "make_session_corpus: no request or reply of type %u\n", type);
      return 1;
    }
    if (!ctx.udp) tcpReplies.insert(tcpReplies.end(), reply.begin(), reply.end());
    if (!reply.empty())
      ok &= Write(receiveDir + "/ask-" + std::to_string(type),
                  CStreamInput::Make(static_cast<uint8_t>(type), {}, reply));
    if (ctx.udp) ok &= Write(receiveDir + "/unasked-udp", CStreamInput::Make(10, {}, reply));
  }
  ok &= Write(receiveDir + "/unasked-tcp", CStreamInput::Make(0, {5, 60, 200}, tcpReplies));

  const Bytes session = Joined(requests, KELVANE_ASK_LOGIN);
  ok &= Write(serverDir + "/session", CStreamInput::Make(0, {}, session));
  ok &= Write(serverDir + "/session-pieces", CStreamInput::Make(0, {3, 40, 200}, session));
  ok &= Write(serverDir + "/no-login", CStreamInput::Make(0, {}, Joined(requests, KELVANE_ASK_IMAGE_LIST)));
  ok &= Write(serverDir + "/discover", CStreamInput::Make(1, {}, requests[KELVANE_ASK_DISCOVER]));
  std::printf("session seeds written to %s and %s\n", receiveDir.c_str(), serverDir.c_str());
  return ok ? 0 : 1;
}
