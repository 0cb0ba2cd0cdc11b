// What a request that returned 1 ran into, and who closed a link. The
// library returns 1 for every kind of no-answer; the tool tells them apart
// by the time the request took and by what the library logged meanwhile
// (the texts of client/LogTexts.h).
#pragma once

#include <string>
#include <vector>

#include "client/LogTexts.h"

namespace kdl::host {

enum class FailureKind {
  kNone,
  kLocal,     // failed at once on this machine: no link, connection refused, ...
  kTimeout,   // no reply within the library's 3 s wait
  kClosed,    // the server closed the link while the request waited
  kProtocol,  // the library closed the link: the server sent bytes that are no packet
};

// Who ended a TCP link, as far as the library's lines tell.
enum class CloseCause {
  kServer,    // the server closed or reset it
  kProtocol,  // the library, after bytes that cannot be a packet head
  kOwed,      // the library, after a time-out on a link that still owed a reply
};

struct Failure {
  FailureKind kind = FailureKind::kNone;
  std::string detail;  // for kLocal: the library's last Error or Warning text
  // For kTimeout: the library ended the link after the time-out; its close
  // callback follows on a transport thread, just after the request returned.
  bool linkEnded = false;
  bool unsent = false;  // for kClosed: the link was gone before the request was sent
};

// The library's wait for a reply, in seconds; a request that took nearly
// that long without a reply timed out.
constexpr double kReplyWaitSeconds = kReplyWaitMs / 1000.0;

// True when the link closed under the request: the server or the library
// closed it while the request waited.
inline bool LinkClosedUnder(const Failure& f) {
  return f.kind == FailureKind::kClosed || f.kind == FailureKind::kProtocol || f.linkEnded;
}

// Classifies a result of 1 from the library's console lines printed during
// the request, the seconds it took and whether the close callback fired.
Failure ClassifyNoAnswer(const std::vector<std::string>& lines, double seconds, bool closed);

// Who closed the link that closed while `lines` were printed.
CloseCause ClassifyClose(const std::vector<std::string>& lines);

// "the server closed the link", "the library closed the link: ...".
std::string CloseText(CloseCause cause);

// "local", "timeout", "closed", "protocol" ("" for kNone): the JSON's "failure".
const char* FailureName(FailureKind kind);

// Why a step failed, for the message: "ok", "no reply within 3 s", "local
// failure: <detail>", "the server closed the link", "server error code N",
// ...
std::string ResultMeaning(int result, const Failure& failure);

}  // namespace kdl::host
