// kelvane-dump --pcap: the protocol's packets in a capture file.
#pragma once

#include <iosfwd>

#include "tools/dump/DumpArgs.h"
#include "tools/dump/PacketPrinter.h"

namespace kdl::dump {

// Whether this build reads capture files (it needs libpcap).
bool CaptureSupported();

// Reads the capture file o.pcap (pcap or pcapng) and hands every packet of
// the protocol to `printer`: the UDP datagrams to and from the discovery
// port, and the TCP streams of the tool service, reassembled in sequence
// order and cut into packets by their Length. The service's ports are those
// that discovery replies in the capture announce plus o.ports; with neither,
// every TCP stream that starts with a plausible packet head. Notes (ports
// found, frames skipped) go to `err`. Returns the exit status: 2 when the
// file cannot be read as a capture, else the printer's status.
int DumpCapture(const DumpOptions& o, PacketPrinter& printer, std::ostream& err);

}  // namespace kdl::dump
