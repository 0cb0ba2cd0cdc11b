// The requests of the tool family as the simulator and its options name them.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane_sim {

// One kind per request the simulator answers; the names are those of the
// host tool's commands.
enum class RequestKind {
  kDiscover,
  kLogin,
  kImages,
  kSnapshots,
  kCreate,
  kSelect,
  kSetAdmin,
  kCancelAdmin,
  kHeartbeat,
  kUnknown,
};
constexpr int kRequestKindCount = static_cast<int>(RequestKind::kUnknown) + 1;

// Type codes of the requests and of their replies.
enum : uint32_t {
  kCodeDiscover = 0x00020000,
  kCodeLogin = 0x00020001,
  kCodeImageInfo = 0x00020002,
  kCodeSetAdmin = 0x00020003,
  kCodeCancelAdmin = 0x00020004,
  kCodeSelect = 0x00020005,
  kCodeImageList = 0x00020006,
  kCodeCreate = 0x00020009,
  kCodeKeepAlive = 0x00000001,
  kReplyBit = 0x80000000,
};

// "discover", "login", ... ("unknown" for kUnknown).
const char* RequestName(RequestKind kind);
// Accepts the names RequestName gives; false for anything else.
bool ParseRequestName(const std::string& text, RequestKind* kind);
// The request a type code asks for; kUnknown for codes the simulator does not serve.
RequestKind RequestOfCode(uint32_t code);

}  // namespace kelvane_sim
