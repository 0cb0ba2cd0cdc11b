// The requests of the tool family as the simulator and its options name them.
#pragma once

#include <cstdint>
#include <string>

namespace kdl::sim {

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

// "discover", "login", ... ("unknown" for kUnknown).
const char* RequestName(RequestKind kind);
// Accepts the names RequestName gives; false for anything else.
bool ParseRequestName(const std::string& text, RequestKind* kind);
// The request a type code asks for; kUnknown for codes the simulator does not serve.
RequestKind RequestOfCode(uint32_t code);

}  // namespace kdl::sim
