// Settings of one simulator run: addresses, the login reply's numbers, the
// limits and the fault modes (kelvane-server reads them from its command
// line, tools/server/ServerArgs.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/ToolPackets.h"
#include "simulator/RequestKind.h"

namespace kdl::sim {

// What the simulator does to the reply of one kind of request.
struct FaultPlan {
  bool noReply = false;      // answer nothing
  uint32_t delayMs = 0;      // answer after this many milliseconds
  bool forceErr = false;     // answer with errCode instead of the outcome
  uint32_t errCode = 0;
  bool unknownType = false;  // send a frame of an unknown type code instead
  bool badLength = false;    // write a head Length that disagrees with the bytes
  bool lengthRelative = false;
  int64_t lengthValue = 0;   // absolute Length, or added to the true size
};

// Faults for one request of a kind only: the nth since the start (from 1).
struct NthFault {
  RequestKind kind = RequestKind::kUnknown;
  uint32_t nth = 0;
  FaultPlan plan;
};

// Everything a run can set.
struct ServerConfig {
  std::string imagesFile;
  std::string readyFile;                  // written once both sockets listen
  std::string bindAddress = "0.0.0.0";
  uint16_t tcpPort = PacketZVDiskless::kToolServicePort;
  uint16_t udpPort = PacketZVDiskless::kDiscoverPort;
  uint16_t announcePort = 0;              // the port replies name; 0: tcpPort
  std::string imageRoot = "/srv/kelvane/images";
  uint32_t clientType = 1;
  uint32_t managerEnable = 1;
  uint32_t extInfo = 0;
  uint32_t closeAfter = 0;                // 0: never
  uint32_t unknownCode = 0x00FE0001;      // a family no packet table knows
  uint32_t maxFrameLength = 1u << 20;     // longer requests close the link
  // Limits that keep hostile or broken clients from taking the simulator down.
  uint32_t maxImages = 10000;             // creates beyond it are refused
  uint32_t maxConnections = 256;          // further TCP links are closed at once
  uint32_t maxQueuedBytes = 4u << 20;     // unsent replies of one link; beyond: closed
  uint32_t idleCloseMs = 0;               // close a link silent this long; 0: never
  bool tagReplies = false;                // mark each TCP reply (ReplyTag.h)
  FaultPlan faults[kRequestKindCount];    // for every request of a kind
  std::vector<NthFault> nthFaults;

  const FaultPlan& Fault(RequestKind k) const { return faults[static_cast<int>(k)]; }
  FaultPlan& Fault(RequestKind k) { return faults[static_cast<int>(k)]; }
  // The faults of the `nth` request of kind `k`: those of every request of
  // the kind with those of that one laid over them.
  FaultPlan FaultFor(RequestKind k, uint32_t nth) const;
};

}  // namespace kdl::sim
