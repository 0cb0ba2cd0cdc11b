// Local-tools family (0x0006xxxx): the local tools' view of the servers of
// this machine.
#pragma once

#include <cstdint>

#include "protocol/ConsolePackets.h"
#include "protocol/PacketTable.h"

namespace PacketZVDiskless {

// Sets the server address (28 bytes).
class CPktLocalToolsSetServerIP : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00060003;
  uint32_t Word1 = 0;
  CPktLocalToolsSetServerIP() { Type = kCode; Length = Size(); }
  explicit CPktLocalToolsSetServerIP(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.U32("word1", Word1); }
  KPKT_PACKET_OPS()
};

// State of the local server (32 bytes).
class CPktLocalToolsGetLocalServerStateAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80060002;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  CPktLocalToolsGetLocalServerStateAck() { Type = kCode; Length = Size(); }
  explicit CPktLocalToolsGetLocalServerStateAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.U32("word1", Word1) || v.U32("word2", Word2); }
  KPKT_PACKET_OPS()
};

}  // namespace PacketZVDiskless

// Local-tools family code table (6 codes).
#define KELVANE_LOCALTOOLS_PACKETS(ROW)                                                                \
  ROW(0x00060001, HEAD, 0, FIELDS)                                                                     \
  ROW(0x00060002, HEAD, 0, FIELDS)                                                                     \
  ROW(CPktLocalToolsSetServerIP::kCode, OWN, CPktLocalToolsSetServerIP, FIELDS)                        \
  ROW(0x80060001, VLF, CCSServerBaseInfo, FIELDS)                                                      \
  ROW(CPktLocalToolsGetLocalServerStateAck::kCode, OWN, CPktLocalToolsGetLocalServerStateAck, FIELDS)  \
  ROW(0x80060003, HEAD, 0, FIELDS)
