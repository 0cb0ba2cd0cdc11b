#include "tools/dump/FrameDecode.h"

#include <cstring>

namespace kdl::dump {
namespace {

constexpr uint16_t kEtherIPv4 = 0x0800;
constexpr uint16_t kEtherVlan = 0x8100;
constexpr uint16_t kEtherQinQ = 0x88a8;
constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Offset of the IPv4 header in the frame, or -1 when the frame carries no
// IPv4 (or is too short to tell).
long IPv4Offset(LinkKind link, const uint8_t* p, size_t n) {
  switch (link) {
    case LinkKind::kEthernet: {
      size_t at = 12;
      while (n >= at + 2 && (Be16(p + at) == kEtherVlan || Be16(p + at) == kEtherQinQ)) at += 4;
      return n >= at + 2 && Be16(p + at) == kEtherIPv4 ? static_cast<long>(at + 2) : -1;
    }
    case LinkKind::kLinuxSll:  // protocol type at 14, header of 16 bytes
      return n >= 16 && Be16(p + 14) == kEtherIPv4 ? 16 : -1;
    case LinkKind::kLinuxSll2:  // protocol type first, header of 20 bytes
      return n >= 20 && Be16(p) == kEtherIPv4 ? 20 : -1;
    case LinkKind::kRawIp:
      return n >= 1 && (p[0] >> 4) == 4 ? 0 : -1;
    case LinkKind::kNull: {
      if (n < 4) return -1;
      uint32_t family;
      std::memcpy(&family, p, 4);
      // AF_INET is 2 everywhere; the word is in the capturing host's order.
      return family == 2 || family == 0x02000000 ? 4 : -1;
    }
  }
  return -1;
}

}  // namespace

FrameResult DecodeFrame(LinkKind link, const uint8_t* p, size_t caplen, size_t origlen,
                        IpSegment* seg) {
  long ipAt = IPv4Offset(link, p, caplen);
  if (ipAt < 0) return FrameResult::kOther;
  const uint8_t* ip = p + ipAt;
  size_t held = caplen - static_cast<size_t>(ipAt);
  if (held < 20) return FrameResult::kDamaged;
  if ((ip[0] >> 4) != 4) return FrameResult::kOther;
  size_t ihl = size_t(ip[0] & 15) * 4;
  size_t total = Be16(ip + 2);
  // A sender's segmentation offload leaves 0 in outgoing super-frames.
  if (total == 0 && origlen > static_cast<size_t>(ipAt)) total = origlen - static_cast<size_t>(ipAt);
  if (ihl < 20 || total < ihl || held < ihl) return FrameResult::kDamaged;
  if (ip[9] != kProtoTcp && ip[9] != kProtoUdp) return FrameResult::kOther;
  if ((Be16(ip + 6) & 0x3fff) != 0) return FrameResult::kFragment;  // MF set or an offset
  // The frame was origlen long; what the IP datagram holds beyond the
  // capture was cut off by the snap length (link padding is not payload).
  size_t origIp = origlen > static_cast<size_t>(ipAt) ? origlen - static_cast<size_t>(ipAt) : 0;
  if (origIp < total) return FrameResult::kDamaged;
  size_t inCapture = held < total ? held : total;

  seg->src = Be32(ip + 12);
  seg->dst = Be32(ip + 16);
  seg->tcp = ip[9] == kProtoTcp;
  const uint8_t* l4 = ip + ihl;
  size_t l4held = inCapture - ihl, l4total = total - ihl;
  size_t headLen = 8;
  if (seg->tcp) {
    if (l4held < 20) return FrameResult::kDamaged;
    headLen = size_t(l4[12] >> 4) * 4;
    seg->seq = Be32(l4 + 4);
    seg->syn = (l4[13] & 0x02) != 0;
    seg->ack = (l4[13] & 0x10) != 0;
  } else if (l4held >= 8 && Be16(l4 + 4) >= 8 && Be16(l4 + 4) <= l4total) {
    l4total = Be16(l4 + 4);  // the UDP length, when it fits the datagram
  }
  if (l4held < headLen || l4total < headLen || headLen < 8) return FrameResult::kDamaged;
  seg->sport = Be16(l4);
  seg->dport = Be16(l4 + 2);
  seg->payload = l4 + headLen;
  size_t payloadHeld = (l4held < l4total ? l4held : l4total) - headLen;
  seg->size = payloadHeld;
  seg->missing = l4total - headLen - payloadHeld;
  return FrameResult::kSegment;
}

}  // namespace kdl::dump
