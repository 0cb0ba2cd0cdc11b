#include "BasePlatform/NetHandler2.h"

#include <cstdio>
#include <cstring>

#include "client/LogTexts.h"
#include "log/LogWriter.h"
#include "protocol/PacketFactory.h"
#include "util/IPv4Text.h"

using PacketZVDiskless::CPacketHead;
using PacketZVDiskless::CPktReadStream;

namespace {

// Source name and fixed line numbers under which these reports are logged;
// log readers key on them.
constexpr const char* kSource = "BasePlatform/NetHandler2";
constexpr int kLineTcpUnknown = 259;
constexpr int kLineTcpLenInvalid = 272;
constexpr int kLineTcpErrProtocol = 289;
constexpr int kLineUdpUnknown = 301;
constexpr int kLineUdpLenInvalid = 317;
constexpr int kLineDumpHex = 348;

// Depth of event callbacks on this thread (a callback may run another).
thread_local int t_nCallbackDepth = 0;

}  // namespace

namespace kdl::netevent {

bool InsideEventCallback() { return t_nCallbackDepth > 0; }

CEventCallbackScope::CEventCallbackScope() { ++t_nCallbackDepth; }

CEventCallbackScope::~CEventCallbackScope() { --t_nCallbackDepth; }

}  // namespace kdl::netevent

template <class Packet>
void CNetProtocolEvent<Packet>::OnTcpRecvUnkownPacket(uint32_t link, const uint8_t* data,
                                                      uint32_t size) {
  if (!m_limitTcpUnknown.Admit(kSource, kLineTcpUnknown, "OnTcpRecvUnkownPacket")) return;
  KLOG_LINE(kSource, kLineTcpUnknown, LOG_WARNING,
            "CNetProtocolEvent Link[%04x] OnTcpRecvUnkownPacket PktSize=%d.", link,
            static_cast<int>(size));
  DumpHex(data, size);
}

template <class Packet>
void CNetProtocolEvent<Packet>::OnUdpRecvUnkownPacket(uint32_t endpoint, const uint8_t* data,
                                                      uint32_t size, const char* senderIP,
                                                      uint16_t senderPort) {
  if (!m_limitUdpUnknown.Admit(kSource, kLineUdpUnknown, "OnUdpRecvUnkownPacket")) return;
  KLOG_LINE(kSource, kLineUdpUnknown, LOG_WARNING,
            "CNetProtocolEvent Link[%04x] OnUdpRecvUnkownPacket PktSize=%d DstIP:Port=%s:%d.",
            endpoint, static_cast<int>(size), senderIP ? senderIP : "",
            static_cast<int>(senderPort));
  DumpHex(data, size);
}

template <class Packet>
void CNetProtocolEvent<Packet>::OnTcpErrProtocol(uint32_t link) {
  uint32_t address = 0;
  uint32_t port = 0;
  TcpGetLinkAddr(link, 2, &address, &port);
  char text[kdl::util::kIPv4TextSize];
  kdl::util::FormatIPv4(address, text);
  KLOG_LINE(kSource, kLineTcpErrProtocol, LOG_ERROR,
            kdl::logtext::kTcpErrProtocol, link, text,
            static_cast<int>(port & 0xFFFF));
}

template <class Packet>
typename CNetProtocolEvent<Packet>::RecvOutcome CNetProtocolEvent<Packet>::Decode(
    CPktReadStream& reader, uint32_t size, TCountedPtr<Packet>* packet) {
  CPacketHead* raw = PacketZVDiskless::CreatePacket(reader);
  if (!raw) return RecvOutcome::kUnknown;
  // From here on the packet is released on every way out.
  *packet = TCountedPtr<Packet>(raw);
  if (!*packet) return RecvOutcome::kDropped;  // no memory for the count; the packet is gone
  // A packet whose Unpack leaves its body in the stream decodes from the head
  // alone; one shorter than its own fixed part is cut short like any other.
  if ((*packet)->Size() > size) return RecvOutcome::kUnknown;
  return (*packet)->Length == size ? RecvOutcome::kAccepted : RecvOutcome::kBadLength;
}

template <class Packet>
void CNetProtocolEvent<Packet>::OnTcpRecv(uint32_t link, const uint8_t* data, uint32_t size) {
  // The reader outlives the dispatch: a packet may read its data from it.
  CPktReadStream reader(data, size, NetOrder());
  TCountedPtr<Packet> packet;
  switch (Decode(reader, size, &packet)) {
    case RecvOutcome::kUnknown:
      OnTcpRecvUnkownPacket(link, data, size);
      return;
    case RecvOutcome::kDropped:
      return;
    case RecvOutcome::kBadLength:
      if (!m_limitTcpLength.Admit(kSource, kLineTcpLenInvalid, "LenInvalid")) return;
      KLOG_LINE(kSource, kLineTcpLenInvalid, LOG_ERROR,
                "CNetProtocolEvent Link[%04x] LenInvalid Failed PktLen=%d cbSize=%d.", link,
                static_cast<int>(packet->Length), static_cast<int>(size));
      DumpHex(data, size);
      return;
    case RecvOutcome::kAccepted:
      OnTcpRecvPacket(link, packet);
      return;
  }
}

template <class Packet>
void CNetProtocolEvent<Packet>::OnUdpRecv(uint32_t endpoint, const uint8_t* data, uint32_t size,
                                          const char* senderIP, uint16_t senderPort) {
  if (!senderIP) senderIP = "";
  CPktReadStream reader(data, size, NetOrder());
  TCountedPtr<Packet> packet;
  switch (Decode(reader, size, &packet)) {
    case RecvOutcome::kUnknown:
      OnUdpRecvUnkownPacket(endpoint, data, size, senderIP, senderPort);
      return;
    case RecvOutcome::kDropped:
      return;
    case RecvOutcome::kBadLength:
      if (!m_limitUdpLength.Admit(kSource, kLineUdpLenInvalid, "LenInvalid")) return;
      KLOG_LINE(kSource, kLineUdpLenInvalid, LOG_ERROR,
                "CNetProtocolEvent Link[%04x] LenInvalid Failed PktLen=%d cbSize=%d "
                "DstIP:Port=%s:%d.",
                endpoint, static_cast<int>(packet->Length), static_cast<int>(size), senderIP,
                static_cast<int>(senderPort));
      DumpHex(data, size);
      return;
    case RecvOutcome::kAccepted:
      OnUdpRecvPacket(endpoint, packet, senderIP, senderPort);
      return;
  }
}

template <class Packet>
size_t CNetProtocolEvent<Packet>::FormatHexDump(const void* data, uint32_t size, char* out) {
  static const char kDigits[] = "0123456789ABCDEF";
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  std::memset(out, 0, kHexDumpBufferSize);
  if (!bytes) return 0;
  size_t len = 0;
  int lines = 0;
  for (uint32_t i = 0; i < size; ++i) {
    if (i % 32 == 0) {
      out[len++] = '\n';
      if (++lines > 9) break;  // the line feed stays
    } else if (i % 8 == 0) {
      out[len++] = ' ';
    }
    out[len++] = kDigits[bytes[i] >> 4];
    out[len++] = kDigits[bytes[i] & 0x0F];
    out[len++] = ' ';
    if (len >= 1020) break;
  }
  return len;
}

template <class Packet>
void CNetProtocolEvent<Packet>::DumpHex(const void* data, uint32_t size) {
  char text[kHexDumpBufferSize];
  FormatHexDump(data, size, text);
  // Passed as an argument, so the text is never read as a format.
  KLOG_LINE(kSource, kLineDumpHex, LOG_INFO, "%s", text);
}

template class CNetProtocolEvent<CPacketHead>;
