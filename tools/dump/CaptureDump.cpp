#include "tools/dump/CaptureDump.h"

#include <ostream>

#include "tools/dump/DumpCommand.h"

#if KELVANE_HAVE_PCAP

#include <pcap/pcap.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "describe/PacketDescribe.h"
#include "protocol/PacketFactory.h"
#include "protocol/PacketFramer.h"
#include "protocol/ToolPackets.h"
#include "simulator/ServerConfig.h"
#include "tools/dump/FrameDecode.h"
#include "tools/dump/TcpReassembly.h"
#include "util/IPv4Text.h"

namespace kdl::dump {
namespace {

using describe::PacketClassName;
using PacketZVDiskless::CPacketFramer;
using PacketZVDiskless::kDiscoverPort;

bool LinkOf(int dlt, LinkKind* kind) {
  switch (dlt) {
    case DLT_EN10MB:
      *kind = LinkKind::kEthernet;
      return true;
    case DLT_LINUX_SLL:
      *kind = LinkKind::kLinuxSll;
      return true;
    case DLT_LINUX_SLL2:
      *kind = LinkKind::kLinuxSll2;
      return true;
    case DLT_RAW:
    case DLT_IPV4:
      *kind = LinkKind::kRawIp;
      return true;
    case DLT_NULL:
    case DLT_LOOP:
      *kind = LinkKind::kNull;
      return true;
    default:
      return false;
  }
}

// One record of the capture.
struct Frame {
  uint64_t number = 0;  // 1-based, as Wireshark counts
  int64_t seconds = 0;
  uint32_t micros = 0;
  const uint8_t* data = nullptr;
  size_t caplen = 0, len = 0;
};

// Live capture: bytes kept of each frame, and how long a read waits for
// one before it looks at the stop flag again.
constexpr int kLiveSnapLength = 262144;
constexpr int kLivePollMs = 100;

// Set by SIGINT and SIGTERM while a capture is followed; the live capture
// is also woken (pcap_breakloop may be called from a signal handler).
volatile std::sig_atomic_t g_stop = 0;
pcap_t* volatile g_live = nullptr;

void OnStop(int) {
  g_stop = 1;
  if (g_live) pcap_breakloop(g_live);
}

// A capture read record by record through libpcap: a file, standard input
// ("-") or a live interface.
class CaptureSource {
 public:
  // kIdle: a live capture saw no frame within kLivePollMs.
  enum class Read { kFrame, kEnd, kError, kIdle };

  ~CaptureSource() {
    if (g_live == m_p) g_live = nullptr;
    if (m_p) pcap_close(m_p);
  }

  bool OpenFile(const std::string& path, std::string* why) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    m_p = pcap_open_offline(path.c_str(), errbuf);
    const std::string name = path == "-" ? "standard input" : path;
    if (!m_p) {
      *why = "cannot read " + name + " as a capture: " + errbuf;
      return false;
    }
    return CheckLink(name, why);
  }

  // False with the reason; *denied tells a missing right to capture.
  bool OpenLive(const std::string& iface, bool* denied, std::string* why) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    m_p = pcap_create(iface.c_str(), errbuf);
    if (!m_p) {
      *why = "cannot capture on " + iface + ": " + errbuf;
      return false;
    }
    m_bLive = true;
    pcap_set_snaplen(m_p, kLiveSnapLength);
    pcap_set_immediate_mode(m_p, 1);  // each frame as it comes, as tcpdump -i shows them
    pcap_set_timeout(m_p, kLivePollMs);
    const int rc = pcap_activate(m_p);
    if (rc < 0) {
      const std::string detail = pcap_geterr(m_p);
      *denied = rc == PCAP_ERROR_PERM_DENIED;
      if (*denied)
        *why = "no permission to capture on " + iface +
               " (capturing needs root, or the capabilities CAP_NET_RAW and CAP_NET_ADMIN): " +
               detail;
      else if (rc == PCAP_ERROR_NO_SUCH_DEVICE)
        *why = "no interface " + iface + ": " + detail;
      else
        *why = "cannot capture on " + iface + ": " + detail;
      return false;
    }
    g_live = m_p;
    return CheckLink(iface, why);
  }

  // Keeps only the frames that `expression` (BPF) matches.
  bool SetFilter(const std::string& expression, std::string* why) {
    bpf_program program;
    if (pcap_compile(m_p, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
      *why = "cannot compile the filter \"" + expression + "\": " + pcap_geterr(m_p);
      return false;
    }
    const bool set = pcap_setfilter(m_p, &program) == 0;
    if (!set) *why = "cannot set the filter \"" + expression + "\": " + pcap_geterr(m_p);
    pcap_freecode(&program);
    return set;
  }

  LinkKind Link() const { return m_Link; }

  Read Next(Frame* f, std::string* why) {
    pcap_pkthdr* h = nullptr;
    const u_char* data = nullptr;
    int rc = pcap_next_ex(m_p, &h, &data);
    if (rc == 0 && m_bLive) return Read::kIdle;
    if (rc == PCAP_ERROR_BREAK) return Read::kEnd;
    if (rc != 1) {
      *why = pcap_geterr(m_p);
      return Read::kError;
    }
    f->number = ++m_nFrames;
    f->seconds = h->ts.tv_sec;
    f->micros = static_cast<uint32_t>(h->ts.tv_usec);
    f->data = data;
    f->caplen = h->caplen;
    f->len = h->len;
    return Read::kFrame;
  }

  // Frames of a live capture that the kernel dropped (no room to queue them).
  unsigned Dropped() {
    pcap_stat st{};
    return m_bLive && pcap_stats(m_p, &st) == 0 ? st.ps_drop : 0;
  }

 private:
  bool CheckLink(const std::string& name, std::string* why) {
    if (LinkOf(pcap_datalink(m_p), &m_Link)) return true;
    *why = name + ": frames of link type " + std::to_string(pcap_datalink(m_p)) +
           " are not read (Ethernet, Linux cooked, raw IP and loopback are)";
    return false;
  }

  pcap_t* m_p = nullptr;
  bool m_bLive = false;
  LinkKind m_Link = LinkKind::kEthernet;
  uint64_t m_nFrames = 0;
};

PacketOrigin OriginOf(const Frame& f, const IpSegment& seg, const char* direction) {
  PacketOrigin o;
  o.captured = true;
  o.frame = f.number;
  o.seconds = f.seconds;
  o.micros = f.micros;
  o.transport = seg.tcp ? "tcp" : "udp";
  o.src = util::IPv4Text(seg.src);
  o.dst = util::IPv4Text(seg.dst);
  o.sport = seg.sport;
  o.dport = seg.dport;
  o.direction = direction;
  return o;
}

// One direction of a TCP connection: its bytes in order, cut into packets.
class TcpFlow : public StreamSink {
 public:
  // kUndecided: the stream is the protocol's once a captured segment starts
  // with a plausible packet head (within its first kDecideWithin bytes), as
  // the dissector's heuristic claims a stream; it is ignored until then.
  enum class Kind { kProtocol, kUndecided, kIgnored };
  static constexpr uint64_t kDecideWithin = 1u << 20;

  TcpFlow(Kind kind, bool netOrder, PacketPrinter& printer)
      : m_Kind(kind),
        m_bNetOrder(netOrder),
        m_Framer(PacketZVDiskless::kMaxPacketSize, netOrder),
        m_Printer(printer) {}

  void Add(const IpSegment& seg, const PacketOrigin& origin) {
    if (m_Kind == Kind::kIgnored) return;  // not reassembled: nothing is kept for it
    m_Origin = origin;
    if (seg.missing && m_Kind == Kind::kProtocol)
      Report(std::to_string(seg.missing) + " bytes of this segment were cut off by the "
             "capture's snap length");
    m_Tcp.Add(seg.seq, seg.syn, seg.payload, seg.size, *this);
  }

  // The capture has ended: bytes held beyond gaps, and a packet left open.
  void Finish() {
    m_Tcp.Finish(*this);
    if (m_Kind == Kind::kProtocol && !m_bLost && m_Framer.Pending() > 0) {
      Report("stream ends mid-packet: the packet at stream byte " +
             std::to_string(m_Framer.PendingOffset()) + PendingText() + " was not captured whole");
    }
  }

  const TcpDirection& Tcp() const { return m_Tcp; }

 private:
  void Bytes(uint64_t offset, const uint8_t* p, size_t n, bool segmentStart) override {
    if (m_Kind == Kind::kIgnored) return;
    if (m_Kind == Kind::kUndecided) {
      if (!Claim(offset, p, n, segmentStart)) return;
    } else if (m_bLost) {
      if (!segmentStart || !PlausibleHead(p, n)) return;
      m_bLost = false;
      m_Framer.Restart(offset);
      m_Framer.Append(p, n);
    } else {
      m_Framer.Append(p, n);
    }
    CutPackets();
  }

  // An undecided stream: collects a head that starts at a segment's start
  // and claims the stream when it is plausible. True once claimed.
  bool Claim(uint64_t offset, const uint8_t* p, size_t n, bool segmentStart) {
    if (offset >= kDecideWithin) {
      m_Kind = Kind::kIgnored;
      m_Framer.Restart(0);
      return false;
    }
    if (m_Framer.Pending() == 0) {
      if (!segmentStart) return false;
      m_Framer.Restart(offset);
    }
    m_Framer.Append(p, n);
    if (m_Framer.Pending() < PacketZVDiskless::kPacketHeadSize) return false;  // not whole yet
    if (!PlausibleHead(m_Framer.PendingData(), m_Framer.Pending())) {
      m_Framer.Restart(0);
      return false;
    }
    m_Kind = Kind::kProtocol;
    return true;
  }

  void Gap(uint64_t missing) override {
    if (m_Kind == Kind::kUndecided) m_Framer.Restart(0);  // a head begun is not whole
    if (m_Kind != Kind::kProtocol) return;
    if (!m_bLost)
      Report(std::to_string(missing) + " bytes of the stream were not captured after stream byte " +
             std::to_string(m_Framer.PendingOffset() + m_Framer.Pending()) +
             (m_Framer.Pending() ? ", inside the packet at stream byte " +
                                       std::to_string(m_Framer.PendingOffset()) + PendingText()
                                 : std::string()) +
             "; decoding goes on at the next segment that starts with a packet head");
    m_bLost = true;
    m_Framer.Restart(0);
  }

  // Whether `p` starts with what looks like a packet: a whole head whose
  // Type is in the packet tables and whose Length can frame it.
  bool PlausibleHead(const uint8_t* p, size_t n) const {
    PacketZVDiskless::CPacketHead head;
    PacketZVDiskless::CPktReadStream r(
        p, static_cast<uint32_t>(std::min<size_t>(n, PacketZVDiskless::kPacketHeadSize)),
        m_bNetOrder);
    return head.UnpackHead(r) == 0 && PacketClassName(head.Type) != nullptr &&
           m_Framer.Frames(head.Length);
  }

  void CutPackets() {
    const uint8_t* packet = nullptr;
    uint32_t size = 0;
    for (;;) {
      CPacketFramer::Result r = m_Framer.Next(&packet, &size);
      if (r == CPacketFramer::Result::kNeedMore) return;
      if (r == CPacketFramer::Result::kBadLength) {
        Report("the head at stream byte " + std::to_string(m_Framer.PendingOffset()) +
               " has Length " + std::to_string(m_Framer.PendingLength()) +
               ", which cannot frame a packet; decoding goes on at the next segment that starts "
               "with a packet head");
        m_bLost = true;
        m_Framer.Restart(0);
        return;
      }
      m_Printer.Packet(packet, size, m_Origin);
    }
  }

  std::string PendingText() const {
    uint32_t length = m_Framer.PendingLength();
    return length ? " (Length " + std::to_string(length) + ", " +
                        std::to_string(m_Framer.Pending()) + " bytes captured)"
                  : "";
  }

  void Report(const std::string& message) { m_Printer.Problem(message, m_Origin); }

  Kind m_Kind;
  bool m_bNetOrder;
  bool m_bLost = false;  // after a gap: waiting for a segment that starts a packet
  TcpDirection m_Tcp;
  CPacketFramer m_Framer;
  PacketPrinter& m_Printer;
  PacketOrigin m_Origin;  // of the segment being added
};

// Both ends of one direction of a TCP connection.
struct FlowKey {
  uint32_t src, dst;
  uint16_t sport, dport;
  bool operator<(const FlowKey& o) const {
    return std::tie(src, dst, sport, dport) < std::tie(o.src, o.dst, o.sport, o.dport);
  }
  FlowKey Reverse() const { return {dst, src, dport, sport}; }
};

// The two passes over a capture: the first learns the service ports from
// discovery replies, the second decodes.
class CaptureDecoder {
 public:
  CaptureDecoder(const DumpOptions& o, PacketPrinter& printer, std::ostream& err)
      : m_Options(o), m_Printer(printer), m_Err(err), m_Ports(o.ports.begin(), o.ports.end()) {}

  // A discovery reply announces the TCP port of the service: true when it
  // names a new one.
  bool Learn(const Frame& f, const IpSegment& seg) {
    if (seg.tcp || seg.sport != kDiscoverPort) return false;
    PacketZVDiskless::CPktReadStream r(seg.payload, static_cast<uint32_t>(seg.size),
                                       m_Options.netOrder);
    std::unique_ptr<PacketZVDiskless::CPacketHead> p(PacketZVDiskless::CreatePacket(r));
    const auto* ack = dynamic_cast<const PacketZVDiskless::CPktToolDiscoverAck*>(p.get());
    const PacketZVDiskless::CPDiscoverAckBaseInfor* first = ack ? ack->m_Field.GetAt(0) : nullptr;
    if (!first) return false;
    uint16_t port = static_cast<uint16_t>(first->TcpPort & 0xffff);
    if (!m_Ports.insert(port).second) return false;
    m_Err << "kelvane-dump: tool service on TCP port " << port << " (discovery reply from "
          << util::IPv4Text(seg.src) << " in frame " << f.number << ")\n";
    return true;
  }

  // Before the packets of a file read twice: how the streams are found.
  void AnnouncePorts() {
    if (!m_Options.ports.empty() || !m_Ports.empty()) return;
    m_Err << "kelvane-dump: no discovery reply and no --port: reading every TCP stream that "
             "starts with a packet head\n";
  }

  const std::set<uint16_t>& Ports() const { return m_Ports; }

  // Hands the protocol's packets in the frame to the printer.
  void Decode(const Frame& f, const IpSegment& seg) {
    if (!seg.tcp) {
      if (seg.sport != kDiscoverPort && seg.dport != kDiscoverPort) return;
      PacketOrigin origin =
          OriginOf(f, seg, seg.dport == kDiscoverPort ? "to server" : "from server");
      if (seg.missing)
        m_Printer.Problem("datagram cut short by the capture's snap length", origin);
      else
        m_Printer.Packet(seg.payload, seg.size, origin);
      return;
    }
    FlowKey key{seg.src, seg.dst, seg.sport, seg.dport};
    if (seg.syn && !seg.ack) NewConnection(key, seg);
    TcpFlow* flow = FlowOf(key);
    if (flow) flow->Add(seg, OriginOf(f, seg, Direction(key)));
  }

  void Finish() {
    for (auto& entry : m_Flows) entry.second->Finish();
  }

  void Failure(const Frame& last, const std::string& why) {
    PacketOrigin o;
    o.captured = true;
    o.frame = last.number + 1;
    o.seconds = last.seconds;
    o.micros = last.micros;
    m_Printer.Problem("the capture file ends inside a record: " + why, o);
  }

 private:
  bool Served(uint16_t port) const { return m_Ports.count(port) != 0; }

  // Which way a direction runs: by the service's port, or else by the SYN
  // that opened the connection.
  const char* Direction(const FlowKey& key) const {
    if (!m_Ports.empty())
      return Served(key.dport) ? "to server" : Served(key.sport) ? "from server" : "";
    if (m_Opened.count(key)) return "to server";
    if (m_Opened.count(key.Reverse())) return "from server";
    return "";
  }

  // A SYN opens a connection: it tells which end is the server, and a SYN
  // with a new sequence number on a used pair of ends starts afresh.
  void NewConnection(const FlowKey& key, const IpSegment& seg) {
    m_Opened.insert(key);
    auto it = m_Flows.find(key);
    if (it == m_Flows.end() || !it->second->Tcp().Started() ||
        it->second->Tcp().Base() == seg.seq + 1)
      return;
    for (const FlowKey& k : {key, key.Reverse()}) {
      auto old = m_Flows.find(k);
      if (old == m_Flows.end()) continue;
      old->second->Finish();
      m_Flows.erase(old);
    }
  }

  // A stream on a service port, or on any port while none is known, is
  // the protocol's once it shows a plausible head.
  TcpFlow* FlowOf(const FlowKey& key) {
    auto it = m_Flows.find(key);
    if (it != m_Flows.end()) return it->second.get();
    TcpFlow::Kind kind = TcpFlow::Kind::kUndecided;
    if (!m_Ports.empty() && !Served(key.sport) && !Served(key.dport))
      kind = TcpFlow::Kind::kIgnored;
    auto flow = std::make_unique<TcpFlow>(kind, m_Options.netOrder, m_Printer);
    return m_Flows.emplace(key, std::move(flow)).first->second.get();
  }

  const DumpOptions& m_Options;
  PacketPrinter& m_Printer;
  std::ostream& m_Err;
  std::set<uint16_t> m_Ports;
  std::map<FlowKey, std::unique_ptr<TcpFlow>> m_Flows;
  std::set<FlowKey> m_Opened;  // directions that sent a SYN: client to server
};

// How a capture read ended.
enum class Ending { kEnd, kStopped, kFailed };

// Stops the capture at SIGINT and SIGTERM while it lives.
class StopOnSignals {
 public:
  StopOnSignals() {
    g_stop = 0;
    m_int = std::signal(SIGINT, OnStop);
    m_term = std::signal(SIGTERM, OnStop);
  }
  ~StopOnSignals() {
    g_stop = 0;
    std::signal(SIGINT, m_int);
    std::signal(SIGTERM, m_term);
  }
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

 private:
  void (*m_int)(int);
  void (*m_term)(int);
};

// Reads `source` to its end, or until the printer showed its limit of
// packets, a signal came or the output failed. Each frame teaches ports
// when `learn` and is decoded when `decode`; `newPort` runs after a new
// port was learnt. `flushEach`: the output is written after every frame, as
// the traffic passes.
Ending ReadFrames(CaptureSource& source, CaptureDecoder& decoder, PacketPrinter& printer,
                  bool learn, bool decode, bool flushEach, const std::function<void()>& newPort) {
  std::string why;
  Frame f, last;
  for (;;) {
    if (g_stop || (decode && printer.Full())) return Ending::kStopped;
    if (flushEach && !printer.Flush()) return Ending::kStopped;
    const CaptureSource::Read r = source.Next(&f, &why);
    if (r == CaptureSource::Read::kIdle) continue;
    if (r == CaptureSource::Read::kEnd) return g_stop ? Ending::kStopped : Ending::kEnd;
    if (r == CaptureSource::Read::kError) {
      if (decode) decoder.Failure(last, why);
      return Ending::kFailed;
    }
    last = f;
    IpSegment seg;
    if (DecodeFrame(source.Link(), f.data, f.caplen, f.len, &seg) != FrameResult::kSegment)
      continue;
    if (learn && decoder.Learn(f, seg) && newPort) newPort();
    if (decode) decoder.Decode(f, seg);
  }
}

// The filter of a live capture: discovery, and TCP on the service ports
// known (the simulator's default port when none is).
std::string LiveFilter(const std::set<uint16_t>& ports) {
  std::string filter = "udp port " + std::to_string(kDiscoverPort);
  if (ports.empty()) filter += " or tcp port " + std::to_string(sim::ServerConfig().tcpPort);
  for (uint16_t port : ports) filter += " or tcp port " + std::to_string(port);
  return filter;
}

int Summary(const DumpOptions& o, PacketPrinter& printer, std::ostream& err, unsigned dropped) {
  err << "kelvane-dump: " << printer.Decoded() << " packets decoded";
  if (!o.types.empty()) err << ", " << printer.Shown() << " of them shown";
  if (dropped) err << "; the kernel dropped " << dropped << " frames";
  err << "\n";
  return printer.Status();
}

// A capture file: one pass to learn the ports from discovery replies, one
// to decode.
int DumpFileTwice(const DumpOptions& o, PacketPrinter& printer, std::ostream& err) {
  CaptureDecoder decoder(o, printer, err);
  Ending ending = Ending::kEnd;
  for (int pass = 0; pass < 2 && ending != Ending::kStopped; ++pass) {
    CaptureSource file;
    std::string why;
    if (!file.OpenFile(o.pcap, &why)) {
      err << "kelvane-dump: " << why << "\n";
      return kDumpBadInput;
    }
    if (pass == 1) decoder.AnnouncePorts();
    ending = ReadFrames(file, decoder, printer, pass == 0, pass == 1, false, nullptr);
  }
  if (ending != Ending::kStopped) decoder.Finish();
  return Summary(o, printer, err, 0);
}

// A capture that can be read once only (a pipe, standard input) or that
// goes on (an interface): decoded frame by frame, the service ports learnt
// on the way.
int DumpOnce(const DumpOptions& o, PacketPrinter& printer, std::ostream& err) {
  CaptureDecoder decoder(o, printer, err);
  CaptureSource source;
  std::string why;
  bool denied = false;
  const bool live = !o.iface.empty();
  StopOnSignals stopper;
  const bool opened = live ? source.OpenLive(o.iface, &denied, &why) &&
                                 source.SetFilter(LiveFilter(decoder.Ports()), &why)
                           : source.OpenFile(o.pcap, &why);
  if (!opened) {
    err << "kelvane-dump: " << why << "\n";
    return kDumpBadInput;
  }
  if (o.ports.empty())
    err << "kelvane-dump: no --port: reading the TCP streams that start with a packet head, "
           "on the ports that discovery replies announce once one is seen\n";
  if (live) err << "kelvane-dump: capturing on " << o.iface << " (" << LiveFilter(decoder.Ports())
                << "); Ctrl-C ends\n" << std::flush;
  std::function<void()> newPort;
  if (live) newPort = [&] {
    std::string failed;
    if (!source.SetFilter(LiveFilter(decoder.Ports()), &failed))
      err << "kelvane-dump: " << failed << "\n";
  };
  const Ending ending = ReadFrames(source, decoder, printer, true, true, true, newPort);
  if (ending != Ending::kStopped) decoder.Finish();
  return Summary(o, printer, err, source.Dropped());
}

}  // namespace

bool CaptureSupported() { return true; }

int DumpCapture(const DumpOptions& o, PacketPrinter& printer, std::ostream& err) {
  printer.SetLimit(o.count);
  std::error_code ec;
  if (o.iface.empty() && o.pcap != "-" && std::filesystem::is_regular_file(o.pcap, ec))
    return DumpFileTwice(o, printer, err);
  return DumpOnce(o, printer, err);
}

}  // namespace kdl::dump

#else  // no libpcap

namespace kdl::dump {

bool CaptureSupported() { return false; }

int DumpCapture(const DumpOptions& o, PacketPrinter&, std::ostream& err) {
  err << "kelvane-dump: " << (o.iface.empty() ? "--pcap" : "--interface")
      << " is not available in this build: it was built without libpcap (the Windows build "
         "has none). Capture and read the traffic with the Linux kelvane-dump, or in Wireshark "
         "with the kelvane.lua dissector.\n";
  return kDumpBadInput;
}

}  // namespace kdl::dump

#endif  // KELVANE_HAVE_PCAP
