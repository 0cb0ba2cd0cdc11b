// ND family (0x0100xxxx): ND configuration and per-user disk I/O figures.
#pragma once

#include <cstdint>

#include "protocol/PacketTable.h"

namespace PacketZVDiskless {

// One ND configuration value (4 bytes).
struct CNDConfigInfor {
  static constexpr uint32_t kWireSize = 4;
  uint32_t Word1 = 0;
  template <class V>
  int Fields(V& v) { return v.U32("word1", Word1); }
  KPKT_RECORD_OPS()
};

// Disk I/O figures of one user (44 bytes: eleven words).
struct CNDUserIOInfor {
  static constexpr uint32_t kWireSize = 44;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  uint32_t Word5 = 0;
  uint32_t Word6 = 0;
  uint32_t Word7 = 0;
  uint32_t Word8 = 0;
  uint32_t Word9 = 0;
  uint32_t Word10 = 0;
  uint32_t Word11 = 0;
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.U32("word5", Word5) || v.U32("word6", Word6) ||
           v.U32("word7", Word7) || v.U32("word8", Word8) || v.U32("word9", Word9) ||
           v.U32("word10", Word10) || v.U32("word11", Word11);
  }
  KPKT_RECORD_OPS()
};

// Disk I/O reply (44 + 44 per user bytes). Every field starts at
// zero, words 1 to 4 included.
class CPktNDAskDiskIOInforAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x81000002;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  TVarLengthField<CNDUserIOInfor> Users;
  CPktNDAskDiskIOInforAck() { Type = kCode; Length = Size(); }
  explicit CPktNDAskDiskIOInforAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.Array("users", Users);
  }
  KPKT_PACKET_OPS()
};

}  // namespace PacketZVDiskless

// ND family code table (10 codes).
#define KELVANE_ND_PACKETS(ROW)                                              \
  ROW(0x01000001, HEAD, 0, FIELDS)                                           \
  ROW(0x01000002, HEAD, 0, FIELDS)                                           \
  ROW(0x01000003, HEAD, 0, FIELDS)                                           \
  ROW(0x01000004, VLF, CNDConfigInfor, FIELDS)                               \
  ROW(0x01000005, HEAD, 0, FIELDS)                                           \
  ROW(0x81000001, VLF, CNDUserIOInfor, FIELDS)                               \
  ROW(CPktNDAskDiskIOInforAck::kCode, OWN, CPktNDAskDiskIOInforAck, FIELDS)  \
  ROW(0x81000003, VLF, CNDConfigInfor, FIELDS)                               \
  ROW(0x81000004, HEAD, 0, FIELDS)                                           \
  ROW(0x81000005, HEAD, 0, FIELDS)
