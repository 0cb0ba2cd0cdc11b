#include "tools/host/Failure.h"

#include <cstdio>
#include <cstring>

namespace kdl::host {
namespace {

// The text of a console line ("[time]|[thread]|[Level]|text"), and its level.
std::string TextOf(const std::string& line, std::string* level = nullptr) {
  size_t at = 0;
  for (int bar = 0; bar < 3; ++bar) {
    at = line.find('|', at);
    if (at == std::string::npos) return "";
    ++at;
  }
  if (level) *level = line.substr(0, at);
  return line.substr(at);
}

bool EndsWith(const std::string& s, const char* end) {
  const size_t n = std::strlen(end);
  return s.size() >= n && s.compare(s.size() - n, n, end) == 0;
}

// True when `text` is all of a line written with `format`, whose two
// conversions take unsigned numbers.
bool IsLineOf(const std::string& text, const char* format, unsigned* a, unsigned* b) {
  int end = -1;
  const std::string whole = std::string(format) + "%n";
  return std::sscanf(text.c_str(), whole.c_str(), a, b, &end) == 2 &&
         end == static_cast<int>(text.size());
}

// "TcpClosed hLink:5; m_hTcpLink:5.": the link in use was closed (a line for
// another, older link does not end a request).
bool ClosesCurrentLink(const std::string& text) {
  unsigned link = 0, current = 0;
  return IsLineOf(text, kdl::logtext::kTcpClosed, &link, &current) && link == current;
}

bool IsOwedClose(const std::string& text) {
  unsigned type = 0, link = 0;
  return IsLineOf(text, kdl::logtext::kOwedLinkClosed, &type, &link);
}

bool IsProtocolError(const std::string& text) {
  return text.find(" " KELVANE_LOG_ERR_PROTOCOL " ") != std::string::npos;
}

// The text of an Error or Warning line, or "".
std::string ProblemText(const std::string& line) {
  std::string level;
  const std::string text = TextOf(line, &level);
  const bool problem = EndsWith(level, "|[Error]|") || EndsWith(level, "|[Warning]|");
  return problem ? text : "";
}

}  // namespace

Failure ClassifyNoAnswer(const std::vector<std::string>& lines, double seconds, bool closed) {
  Failure f;
  bool timedOut = false, protocol = false;
  for (const std::string& line : lines) {
    const std::string text = TextOf(line);
    timedOut = timedOut || EndsWith(text, kdl::logtext::kOvertime);
    f.linkEnded = f.linkEnded || IsOwedClose(text);
    protocol = protocol || IsProtocolError(text);
    closed = closed || ClosesCurrentLink(text);
  }
  if (timedOut) {
    f.kind = FailureKind::kTimeout;
  } else if (protocol) {
    f.kind = FailureKind::kProtocol;
  } else if (closed) {
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

CloseCause ClassifyClose(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    const std::string text = TextOf(line);
    if (IsProtocolError(text)) return CloseCause::kProtocol;
    if (IsOwedClose(text)) return CloseCause::kOwed;
  }
  return CloseCause::kServer;
}

std::string CloseText(CloseCause cause) {
  switch (cause) {
    case CloseCause::kProtocol:
      return "the library closed the link: the server sent a packet head with a Length "
             "below 24 or above 16 MiB";
    case CloseCause::kOwed:
      return "the library closed the link: it still owed a reply of that kind after another "
             "time-out";
    default:
      return "the server closed the link";
  }
}

const char* FailureName(FailureKind kind) {
  switch (kind) {
    case FailureKind::kLocal:
      return "local";
    case FailureKind::kTimeout:
      return "timeout";
    case FailureKind::kClosed:
      return "closed";
    case FailureKind::kProtocol:
      return "protocol";
    default:
      return "";
  }
}

std::string ResultMeaning(int result, const Failure& failure) {
  if (result == 0) return "ok";
  if (result != 1) return "server error code " + std::to_string(result);
  switch (failure.kind) {
    case FailureKind::kTimeout:
      return failure.linkEnded ? "no reply within 3 s; " + CloseText(CloseCause::kOwed)
                               : "no reply within 3 s";
    case FailureKind::kClosed:
      return CloseText(CloseCause::kServer) +
             (failure.unsent ? " before the request could be sent" : "");
    case FailureKind::kProtocol:
      return CloseText(CloseCause::kProtocol);
    case FailureKind::kLocal:
      return failure.detail.empty() ? "local failure" : "local failure: " + failure.detail;
    default:
      return "local failure or no reply";
  }
}

}  // namespace kdl::host
