#include "simulator/ServerConfig.h"

namespace kdl::sim {
namespace {

void Overlay(const FaultPlan& from, FaultPlan* to) {
  to->noReply = to->noReply || from.noReply;
  to->unknownType = to->unknownType || from.unknownType;
  if (from.delayMs) to->delayMs = from.delayMs;
  if (from.forceErr) {
    to->forceErr = true;
    to->errCode = from.errCode;
  }
  if (from.badLength) {
    to->badLength = true;
    to->lengthRelative = from.lengthRelative;
    to->lengthValue = from.lengthValue;
  }
}

}  // namespace

FaultPlan ServerConfig::FaultFor(RequestKind k, uint32_t nth) const {
  FaultPlan plan = Fault(k);
  for (const NthFault& f : nthFaults)
    if (f.kind == k && f.nth == nth) Overlay(f.plan, &plan);
  return plan;
}

}  // namespace kdl::sim
