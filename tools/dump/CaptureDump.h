// kelvane-dump --pcap and --interface: the protocol's packets in a capture
// file, a capture read from a pipe, or live traffic.
#pragma once

#include <iosfwd>

#include "tools/dump/DumpArgs.h"
#include "tools/dump/PacketPrinter.h"

namespace kdl::dump {

// Whether this build reads and makes captures (it needs libpcap).
bool CaptureSupported();

// Reads the capture o.pcap (pcap or pcapng; "-" or a pipe is read as it
// comes) or captures live on o.iface, and hands every packet of the
// protocol to `printer`: the UDP datagrams to and from the discovery port,
// and the TCP streams of the tool service, reassembled in sequence order and
// cut into packets by their Length. A stream is the protocol's once a
// segment of it starts with a plausible packet head; the service's ports
// are those that discovery replies announce plus o.ports (a file is read
// twice, so that a reply counts for the whole file), and with neither every
// TCP port. A live capture keeps only discovery and the service's ports
// (8000 while none is known) and follows each announced port. It stops
// after o.count packets (0: never), at SIGINT or SIGTERM, or at the end of
// the input. Notes (ports found, where it captures) go to `err`. Returns the
// exit status: 2 when the input cannot be read as a capture or capturing is
// refused, else the printer's status.
int DumpCapture(const DumpOptions& o, PacketPrinter& printer, std::ostream& err);

}  // namespace kdl::dump
