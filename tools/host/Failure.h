// What a request that returned 1 ran into. The library returns 1 for every
// kind of no-answer; the tool tells them apart by the time the request took
// and by what the library logged meanwhile (the texts of client/LogTexts.h).
#pragma once

#include <string>
#include <vector>

#include "client/LogTexts.h"

namespace kdl::host {

enum class FailureKind {
  kNone,
  kLocal,    // failed at once on this machine: no link, connection refused, ...
  kTimeout,  // no reply within the library's 3 s wait
  kClosed,   // the server closed the link while the request waited
};

struct Failure {
  FailureKind kind = FailureKind::kNone;
  std::string detail;  // for kLocal: the library's last Error or Warning text
};

// The library's wait for a reply, in seconds; a request that took nearly
// that long without a reply timed out.
constexpr double kReplyWaitSeconds = kReplyWaitMs / 1000.0;

// Classifies a result of 1 from the library's console lines printed during
// the request, the seconds it took and whether the close callback fired.
Failure ClassifyNoAnswer(const std::vector<std::string>& lines, double seconds, bool closed);

// "local", "timeout", "closed" ("" for kNone): the JSON's "failure".
const char* FailureName(FailureKind kind);

// Why a step failed, for the message: "ok", "no reply within 3 s", "local
// failure: <detail>", "the server closed the link", "server error code N".
std::string ResultMeaning(int result, const Failure& failure);

}  // namespace kdl::host
