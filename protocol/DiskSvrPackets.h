// Disk-server family (0x0003xxxx): disk-server login, access notice,
// synchronisation, server I/O information, temporary data path,
// administrator records and summary reports.
#pragma once

#include <cstdint>

#include "protocol/ConsolePackets.h"
#include "protocol/PacketTable.h"
#include "protocol/ToolPackets.h"

namespace PacketZVDiskless {

// Administrator record (12 bytes: three words).
struct CAdminDesc {
  static constexpr uint32_t kWireSize = 12;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3);
  }
  KPKT_RECORD_OPS()
};

// I/O figures of one disk-server item (68 bytes: seventeen words).
struct CSvrIORecordE {
  static constexpr uint32_t kWireSize = 68;
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
  uint32_t Word12 = 0;
  uint32_t Word13 = 0;
  uint32_t Word14 = 0;
  uint32_t Word15 = 0;
  uint32_t Word16 = 0;
  uint32_t Word17 = 0;
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.U32("word5", Word5) || v.U32("word6", Word6) ||
           v.U32("word7", Word7) || v.U32("word8", Word8) || v.U32("word9", Word9) ||
           v.U32("word10", Word10) || v.U32("word11", Word11) || v.U32("word12", Word12) ||
           v.U32("word13", Word13) || v.U32("word14", Word14) || v.U32("word15", Word15) ||
           v.U32("word16", Word16) || v.U32("word17", Word17);
  }
  KPKT_RECORD_OPS()
};

// Summary entry of two words (8 bytes).
struct CSummaryItemA {
  static constexpr uint32_t kWireSize = 8;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  template <class V>
  int Fields(V& v) { return v.U32("word1", Word1) || v.U32("word2", Word2); }
  KPKT_RECORD_OPS()
};

// Summary entry with a 260-byte text and two words (268 bytes).
struct CSummaryItemB {
  static constexpr uint32_t kWireSize = 268;
  char Bytes1[260] = {};
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  template <class V>
  int Fields(V& v) {
    return v.Text("bytes1", Bytes1) || v.U32("word1", Word1) || v.U32("word2", Word2);
  }
  KPKT_RECORD_OPS()
};

// Login entry (14 bytes): a word, two 16-bit words and six bytes that travel
// verbatim whatever the stream's byte order.
struct CDiskSvrLoginItemA {
  static constexpr uint32_t kWireSize = 14;
  uint32_t Word1 = 0;
  uint16_t Word2 = 0;
  uint16_t Word3 = 0;
  uint8_t Bytes1[6] = {};
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U16("word2", Word2) || v.U16("word3", Word3) ||
           v.Raw("bytes1", Bytes1);
  }
  KPKT_RECORD_OPS()
};

// Login entry (5 bytes): a word and a byte.
struct CDiskSvrLoginItemB {
  static constexpr uint32_t kWireSize = 5;
  uint32_t Word1 = 0;
  uint8_t Byte1 = 0;
  template <class V>
  int Fields(V& v) { return v.U32("word1", Word1) || v.U8("byte1", Byte1); }
  KPKT_RECORD_OPS()
};

// Login entry (20 bytes: five words).
struct CDiskSvrLoginItemC {
  static constexpr uint32_t kWireSize = 20;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  uint32_t Word5 = 0;
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.U32("word5", Word5);
  }
  KPKT_RECORD_OPS()
};

// The middle block of a disk-server login: four words and two counted arrays
// (24 + 5 per B entry + 20 per C entry bytes).
struct CDiskSvrLoginDetail {
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  TVarLengthField<CDiskSvrLoginItemB> ItemsB;
  TVarLengthField<CDiskSvrLoginItemC> ItemsC;
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.Array("itemsB", ItemsB) || v.Array("itemsC", ItemsC);
  }
  KPKT_RECORD_OPS()
};

// Disk-server login (120 + 14n + 5m + 20k bytes).
class CPktDiskSvrLogin : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00030001;
  TVarLengthField<CDiskSvrLoginItemA> ItemsA;
  char Bytes1[64] = {};
  CDiskSvrLoginDetail Detail;
  uint32_t Word1 = 0;
  CPktDiskSvrLogin() { Type = kCode; Length = Size(); }
  explicit CPktDiskSvrLogin(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.Array("itemsA", ItemsA) || v.Text("bytes1", Bytes1) ||
           v.Record("detail", Detail) || v.U32("word1", Word1);
  }
  KPKT_PACKET_OPS()
};

// Access notice (25 bytes: one byte).
class CPktDiskSvrNotifyAccess : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00030002;
  uint8_t Byte1 = 0;
  CPktDiskSvrNotifyAccess() { Type = kCode; Length = Size(); }
  explicit CPktDiskSvrNotifyAccess(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.U8("byte1", Byte1); }
  KPKT_PACKET_OPS()
};

// Synchronisation (36 bytes). The words start at zero rather than
// unset.
class CPktDiskSvrSync : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00030003;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  CPktDiskSvrSync() { Type = kCode; Length = Size(); }
  explicit CPktDiskSvrSync(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3);
  }
  KPKT_PACKET_OPS()
};

// Synchronisation state (32 bytes). The words start at zero
// rather than unset.
class CPktDiskSvrSynchronousState : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00030004;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  CPktDiskSvrSynchronousState() { Type = kCode; Length = Size(); }
  explicit CPktDiskSvrSynchronousState(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.U32("word1", Word1) || v.U32("word2", Word2); }
  KPKT_PACKET_OPS()
};

// Server I/O information (52 + 68b + 60a bytes). Words 1 to 4
// start at zero like the rest.
class CPktSvrIOInformation : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00030006;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  uint32_t Word5 = 0;
  TVarLengthField<CSvrIORecordE> RecordsE;
  TVarLengthField<CSvrIORecordA> RecordsA;
  CPktSvrIOInformation() { Type = kCode; Length = Size(); }
  explicit CPktSvrIOInformation(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.U32("word5", Word5) || v.Array("recordsE", RecordsE) ||
           v.Array("recordsA", RecordsA);
  }
  KPKT_PACKET_OPS()
};

// Sets the image server's temporary data path (50 bytes).
class CPktSetImageSererTempDataPath : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00030008;
  char Bytes1[26] = {};
  CPktSetImageSererTempDataPath() { Type = kCode; Length = Size(); }
  explicit CPktSetImageSererTempDataPath(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.Text("bytes1", Bytes1); }
  KPKT_PACKET_OPS()
};

// Summary report (817 + 8n + 268m bytes). The three 255-byte
// texts leave word 5 and the arrays at odd offsets (word 5 at 805).
class CPktSummaryInfomation : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00030106;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  char Bytes1[255] = {};
  char Bytes2[255] = {};
  char Bytes3[255] = {};
  uint32_t Word5 = 0;
  TVarLengthField<CSummaryItemA> ItemsA;
  TVarLengthField<CSummaryItemB> ItemsB;
  CPktSummaryInfomation() { Type = kCode; Length = Size(); }
  explicit CPktSummaryInfomation(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.Text("bytes1", Bytes1) ||
           v.Text("bytes2", Bytes2) || v.Text("bytes3", Bytes3) ||
           v.U32("word5", Word5) || v.Array("itemsA", ItemsA) || v.Array("itemsB", ItemsB);
  }
  KPKT_PACKET_OPS()
};

// Disk-server data reply (291 + 268m bytes).
class CPktReportAskDSDataAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80030105;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  char Bytes1[255] = {};
  TVarLengthField<CSummaryItemB> ItemsB;
  CPktReportAskDSDataAck() { Type = kCode; Length = Size(); }
  explicit CPktReportAskDSDataAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.Text("bytes1", Bytes1) ||
           v.Array("itemsB", ItemsB);
  }
  KPKT_PACKET_OPS()
};

}  // namespace PacketZVDiskless

// Disk-server family code table (28 codes; operation 5 is not used).
#define KELVANE_DISKSVR_PACKETS(ROW)                                                     \
  ROW(CPktDiskSvrLogin::kCode, OWN, CPktDiskSvrLogin, FIELDS)                            \
  ROW(CPktDiskSvrNotifyAccess::kCode, OWN, CPktDiskSvrNotifyAccess, FIELDS)              \
  ROW(CPktDiskSvrSync::kCode, OWN, CPktDiskSvrSync, FIELDS)                              \
  ROW(CPktDiskSvrSynchronousState::kCode, OWN, CPktDiskSvrSynchronousState, FIELDS)      \
  ROW(CPktSvrIOInformation::kCode, OWN, CPktSvrIOInformation, FIELDS)                    \
  ROW(0x00030007, HEAD, 0, FIELDS)                                                       \
  ROW(CPktSetImageSererTempDataPath::kCode, OWN, CPktSetImageSererTempDataPath, FIELDS)  \
  ROW(0x00030100, VLF, CAdminDesc, FIELDS)                                               \
  ROW(0x00030101, VLF, CAdminDesc, FIELDS)                                               \
  ROW(0x00030102, VLF, CAdminDesc, FIELDS)                                               \
  ROW(0x00030103, VLF, CPCancelAdministratorBaseInfor, FIELDS)                           \
  ROW(0x00030104, HEAD, 0, FIELDS)                                                       \
  ROW(0x00030105, HEAD, 0, FIELDS)                                                       \
  ROW(CPktSummaryInfomation::kCode, OWN, CPktSummaryInfomation, FIELDS)                  \
  ROW(0x80030001, HEAD, 0, FIELDS)                                                       \
  ROW(0x80030002, HEAD, 0, FIELDS)                                                       \
  ROW(0x80030003, HEAD, 0, FIELDS)                                                       \
  ROW(0x80030004, HEAD, 0, FIELDS)                                                       \
  ROW(0x80030006, HEAD, 0, FIELDS)                                                       \
  ROW(0x80030007, VLF, CDiskServerTempPathInfor, FIELDS)                                 \
  ROW(0x80030008, HEAD, 0, FIELDS)                                                       \
  ROW(0x80030100, VLF, CAdminDesc, FIELDS)                                               \
  ROW(0x80030101, VLF, CAdminDesc, FIELDS)                                               \
  ROW(0x80030102, VLF, CAdminDesc, FIELDS)                                               \
  ROW(0x80030103, VLF, CPCancelAdministratorBaseInfor, FIELDS)                           \
  ROW(0x80030104, VLF, CAdminDesc, FIELDS)                                               \
  ROW(CPktReportAskDSDataAck::kCode, OWN, CPktReportAskDSDataAck, FIELDS)                \
  ROW(0x80030106, HEAD, 0, FIELDS)
