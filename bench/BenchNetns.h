// A private network for the discovery benchmark: the process moves into a
// network namespace of its own, where a broadcast reaches nobody else.
#pragma once

#include <string>

namespace kdl::bench {

// Inside the namespace: loopback up and a veth pair, both ends up (so the
// local-address rule finds an operational interface), each with an address.
struct PrivateNetwork {
  const char* devA = "kbench0";
  const char* ipA = "10.77.0.1";
  const char* devB = "kbench1";
  const char* ipB = "10.77.0.2";
};

// Moves the calling process into a new network namespace and builds the
// network above. Call before any thread starts: threads made earlier stay
// outside. Needs root and the ip tool. On failure returns false with the
// reason in `why`; the process may then already be in an empty namespace,
// so the caller exits rather than going on.
bool EnterPrivateNetwork(const PrivateNetwork& net, std::string& why);

}  // namespace kdl::bench
