#include "tools/server/RequestKind.h"

namespace kelvane_sim {
namespace {

struct KindRow {
  RequestKind kind;
  const char* name;
  uint32_t code;
};

constexpr KindRow kRows[] = {
    {RequestKind::kDiscover, "discover", kCodeDiscover},
    {RequestKind::kLogin, "login", kCodeLogin},
    {RequestKind::kImages, "images", kCodeImageList},
    {RequestKind::kSnapshots, "snapshots", kCodeImageInfo},
    {RequestKind::kCreate, "create", kCodeCreate},
    {RequestKind::kSelect, "select", kCodeSelect},
    {RequestKind::kSetAdmin, "set-admin", kCodeSetAdmin},
    {RequestKind::kCancelAdmin, "cancel-admin", kCodeCancelAdmin},
    {RequestKind::kHeartbeat, "heartbeat", kCodeKeepAlive},
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

}  // namespace kelvane_sim
