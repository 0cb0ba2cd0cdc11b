#include "tools/host/Failure.h"

#include <cstdio>

namespace kdl::host {
namespace {

// "TcpClosed hLink:5; m_hTcpLink:5.": the link in use was closed (a line for
// another, older link does not end a request).
bool ClosesCurrentLink(const std::string& line) {
  const size_t at = line.find("TcpClosed hLink:");
  unsigned link = 0, current = 0;
  return at != std::string::npos &&
         std::sscanf(line.c_str() + at, kdl::logtext::kTcpClosed, &link, &current) == 2 &&
         link == current;
}

// The text of an Error or Warning line ("[time]|[thread]|[Error]|text"), or "".
std::string ProblemText(const std::string& line) {
  for (const char* level : {"|[Error]|", "|[Warning]|"}) {
    const size_t at = line.find(level);
    if (at != std::string::npos) return line.substr(at + std::string(level).size());
  }
  return "";
}

}  // namespace

Failure ClassifyNoAnswer(const std::vector<std::string>& lines, double seconds, bool closed) {
  Failure f;
  for (const std::string& line : lines) {
    if (line.find(kdl::logtext::kOvertime) != std::string::npos) {
      f.kind = FailureKind::kTimeout;
      return f;
    }
    closed = closed || ClosesCurrentLink(line);
  }
  if (closed) {
    f.kind = FailureKind::kClosed;
  } else if (seconds >= kReplyWaitSeconds - 0.1) {
    f.kind = FailureKind::kTimeout;
  } else {
    f.kind = FailureKind::kLocal;
    for (const std::string& line : lines) {
      const std::string text = ProblemText(line);
      if (!text.empty()) f.detail = text;
    }
  }
  return f;
}

const char* FailureName(FailureKind kind) {
  switch (kind) {
    case FailureKind::kLocal:
      return "local";
    case FailureKind::kTimeout:
      return "timeout";
    case FailureKind::kClosed:
      return "closed";
    default:
      return "";
  }
}

std::string ResultMeaning(int result, const Failure& failure) {
  if (result == 0) return "ok";
  if (result != 1) return "server error code " + std::to_string(result);
  switch (failure.kind) {
    case FailureKind::kTimeout:
      return "no reply within 3 s";
    case FailureKind::kClosed:
      return "the server closed the link";
    case FailureKind::kLocal:
      return failure.detail.empty() ? "local failure" : "local failure: " + failure.detail;
    default:
      return "local failure or no reply";
  }
}

}  // namespace kdl::host
