#include "simulator/RequestKind.h"

#include "protocol/ClientPackets.h"
#include "protocol/ToolPackets.h"

namespace kdl::sim {
namespace {

using namespace PacketZVDiskless;

struct KindRow {
  RequestKind kind;
  const char* name;
  uint32_t code;
};

constexpr KindRow kRows[] = {
    {RequestKind::kDiscover, "discover", CPktToolDiscover::kCode},
    {RequestKind::kLogin, "login", CPktToolLogin::kCode},
    {RequestKind::kImages, "images", CPktToolQueryImgList::kCode},
    {RequestKind::kSnapshots, "snapshots", CPktToolQueryImgInfo::kCode},
    {RequestKind::kCreate, "create", CPktToolCreateImage::kCode},
    {RequestKind::kSelect, "select", CPktToolSelectImg::kCode},
    {RequestKind::kSetAdmin, "set-admin", CPktToolSetAdmin::kCode},
    {RequestKind::kCancelAdmin, "cancel-admin", CPktToolCancelAdmin::kCode},
    {RequestKind::kHeartbeat, "heartbeat", CPktClientKeepAlive::kCode},
};

}  // namespace

const char* RequestName(RequestKind kind) {
  for (const KindRow& row : kRows)
    if (row.kind == kind) return row.name;
  return "unknown";
}

bool ParseRequestName(const std::string& text, RequestKind* kind) {
  for (const KindRow& row : kRows) {
    if (text == row.name) {
      *kind = row.kind;
      return true;
    }
  }
  return false;
}

RequestKind RequestOfCode(uint32_t code) {
  for (const KindRow& row : kRows)
    if (row.code == code) return row.kind;
  return RequestKind::kUnknown;
}

}  // namespace kdl::sim
