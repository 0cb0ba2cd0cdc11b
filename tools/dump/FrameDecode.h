// Finding the IPv4 UDP datagram or TCP segment inside a captured frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdl::dump {

// The link layers a capture may record frames in.
enum class LinkKind {
  kEthernet,  // Ethernet II, with 802.1Q tags
  kLinuxSll,  // Linux "cooked" capture (tcpdump -i any), version 1
  kLinuxSll2, // the same, version 2
  kRawIp,     // the IP header first
  kNull,      // BSD loopback: a 4-byte address family in host order
};

// What a frame carries, as far as the capture holds it.
struct IpSegment {
  uint32_t src = 0, dst = 0;  // IPv4 addresses, first octet most significant
  uint16_t sport = 0, dport = 0;
  bool tcp = false;           // else UDP
  uint32_t seq = 0;           // TCP only
  bool syn = false, ack = false;
  const uint8_t* payload = nullptr;
  size_t size = 0;            // payload bytes held by the capture
  size_t missing = 0;         // payload bytes the snap length cut off
};

enum class FrameResult {
  kSegment,   // *seg is filled
  kOther,     // not IPv4 TCP or UDP (ARP, IPv6, ICMP, ...)
  kFragment,  // a piece of a fragmented IPv4 datagram (not reassembled)
  kDamaged,   // headers cut short or inconsistent
};

// Decodes the frame `p` (caplen bytes captured of a frame that was origlen
// bytes long). seg->payload points into `p`.
FrameResult DecodeFrame(LinkKind link, const uint8_t* p, size_t caplen, size_t origlen,
                        IpSegment* seg);

}  // namespace kdl::dump
