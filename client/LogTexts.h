// What programs outside the library rely on: the texts of the log lines
// that tell how a request ended, and the reply wait. The host tool kelvane
// (tools/host/Failure.cpp) reads these lines in the library's console output
// to tell a time-out from a closed link, and a link the server closed from
// one the library closed itself; it and the soak host time requests against
// the wait. The library writes these lines only through the constants below,
// so a text changed here changes for its readers too.
#pragma once

#include <cstdint>

// How long a request waits for its reply, in milliseconds.
constexpr uint32_t kReplyWaitMs = 3000;

// The end of every request's time-out line.
#define KELVANE_LOG_OVERTIME "Overtime."
// The mark of the event handler's protocol-error line.
#define KELVANE_LOG_ERR_PROTOCOL "OnTcpErrProtocol"

namespace kdl::logtext {

// Error lines of the requests that waited 3000 ms for no reply.
constexpr char kOvertime[] = KELVANE_LOG_OVERTIME;
constexpr char kWaitDiscover[] = "Wait Discover Server Pack " KELVANE_LOG_OVERTIME;
constexpr char kWaitLogin[] = "Wait Login Server Pack " KELVANE_LOG_OVERTIME;
constexpr char kWaitImageList[] = "Wait Query Image List Pack " KELVANE_LOG_OVERTIME;
constexpr char kWaitImageInfo[] = "Wait Query Image Info Pack " KELVANE_LOG_OVERTIME;
constexpr char kWaitCreate[] = "Wait Create Image Pack " KELVANE_LOG_OVERTIME;
constexpr char kWaitSelect[] = "Wait Select Image Pack " KELVANE_LOG_OVERTIME;
constexpr char kWaitSetAdmin[] = "Wait Set Admin Pack " KELVANE_LOG_OVERTIME;
constexpr char kWaitCancelAdmin[] = "Wait Cancel Admin Pack " KELVANE_LOG_OVERTIME;

// Info line of a closed TCP link: the link that closed and the link in use
// (equal when the link in use closed; an older link's close ends nothing).
constexpr char kTcpClosed[] = "TcpClosed hLink:%u; m_hTcpLink:%u.";

// Warning line of a link the library closed itself: a request timed out
// while its link still owed a reply of the same type (reply type, link).
constexpr char kOwedLinkClosed[] =
    "Reply type:0x%08X still owed on link %u after another time-out; link closed.";

// Error line of the event handler when the transport met bytes that cannot
// be a packet head (a Length below 24 or above 16 MiB) and ends the link:
// the link, the remote address and port.
constexpr char kTcpErrProtocol[] =
    "CNetProtocolEvent Link[%04x] " KELVANE_LOG_ERR_PROTOCOL " RemoteIP:Port=%s:%d.";

}  // namespace kdl::logtext
