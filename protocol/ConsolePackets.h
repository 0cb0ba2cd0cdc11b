// Console family (0x0001xxxx): console login and control-server discovery,
// and the records the console exchanges with the servers: disk-server cache
// and temporary paths, server I/O, CS servers, snapshots, images, client
// groups and client configuration.
//
// The meaning of most numbers and byte fields is the servers'; they are
// named by position (Word1.., Bytes1..) and carried unchanged. Byte fields
// are fixed arrays copied verbatim, with no terminator added or required.
#pragma once

#include <cstdint>

#include "protocol/PacketTable.h"
#include "protocol/ToolPackets.h"

namespace PacketZVDiskless {

// Disk-server cache settings (20 bytes: five words). Its operations are
// virtual; it has no virtual destructor, as it is only ever destroyed as
// itself (by its array).
struct DiskServerCacheInfor {
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
  KPKT_RECORD_VIRTUAL_OPS()
};

// A disk server's temporary data paths (264 bytes). Virtual operations, as
// DiskServerCacheInfor.
struct CDiskServerTempPathInfor {
  static constexpr uint32_t kWireSize = 264;
  uint32_t Word1 = 0;
  char Bytes1[104] = {};
  char Bytes2[104] = {};
  char Bytes3[26] = {};
  char Bytes4[26] = {};
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.Text("bytes1", Bytes1) ||
           v.Text("bytes2", Bytes2) || v.Text("bytes3", Bytes3) ||
           v.Text("bytes4", Bytes4);
  }
  KPKT_RECORD_VIRTUAL_OPS()
};

// Server I/O configuration (52 bytes: five words and a 32-byte field).
struct CServerConfigIOInfor {
  static constexpr uint32_t kWireSize = 52;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  uint32_t Word5 = 0;
  char Bytes1[32] = {};
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.U32("word5", Word5) || v.Text("bytes1", Bytes1);
  }
  KPKT_RECORD_OPS()
};

// One CS server (292 bytes: four words, a path-sized field, four words).
// Virtual operations, as DiskServerCacheInfor.
struct CCSServerBaseInfo {
  static constexpr uint32_t kWireSize = 292;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  char Bytes1[260] = {};
  uint32_t Word5 = 0;
  uint32_t Word6 = 0;
  uint32_t Word7 = 0;
  uint32_t Word8 = 0;
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.Text("bytes1", Bytes1) || v.U32("word5", Word5) ||
           v.U32("word6", Word6) || v.U32("word7", Word7) || v.U32("word8", Word8);
  }
  KPKT_RECORD_VIRTUAL_OPS()
};

// One snapshot operation (268 bytes).
struct CPSetSnapshotBaseInfor {
  static constexpr uint32_t kWireSize = 268;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  char Bytes1[260] = {};
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.Text("bytes1", Bytes1);
  }
  KPKT_RECORD_OPS()
};

// One client group (524 bytes).
struct CPClientGroupInfo {
  static constexpr uint32_t kWireSize = 524;
  uint32_t Word1 = 0;
  char Bytes1[260] = {};
  char Bytes2[260] = {};
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.Text("bytes1", Bytes1) ||
           v.Text("bytes2", Bytes2);
  }
  KPKT_RECORD_OPS()
};

// One client's configuration (134 bytes: a 64-byte field, sixteen words and
// a six-byte field the size of a hardware address, shown as hex). It has a
// virtual destructor and plain operations.
class CPClientConfigInformation {
 public:
  static constexpr uint32_t kWireSize = 134;
  char Bytes1[64] = {};
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
  uint8_t Bytes2[6] = {};
  virtual ~CPClientConfigInformation() = default;
  template <class V>
  int Fields(V& v) {
    return v.Text("bytes1", Bytes1) ||
           v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.U32("word5", Word5) || v.U32("word6", Word6) ||
           v.U32("word7", Word7) || v.U32("word8", Word8) || v.U32("word9", Word9) ||
           v.U32("word10", Word10) || v.U32("word11", Word11) || v.U32("word12", Word12) ||
           v.U32("word13", Word13) || v.U32("word14", Word14) || v.U32("word15", Word15) ||
           v.U32("word16", Word16) || v.Raw("bytes2", Bytes2);
  }
  KPKT_RECORD_OPS()
};

// PnP memory record (280 bytes), carried by the family's PnP memory reply;
// a record despite its name. Words 4 and 5 travel swapped: word 5 at offset
// 12, word 4 at offset 16. Virtual operations, as DiskServerCacheInfor.
struct CPktSimpleRequestPNPMemoryAck {
  static constexpr uint32_t kWireSize = 280;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  uint32_t Word5 = 0;
  char Bytes1[260] = {};
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word5", Word5) || v.U32("word4", Word4) || v.Text("bytes1", Bytes1);
  }
  KPKT_RECORD_VIRTUAL_OPS()
};

// Server I/O figures, first kind (60 bytes: fifteen words).
struct CSvrIORecordA {
  static constexpr uint32_t kWireSize = 60;
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
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.U32("word5", Word5) || v.U32("word6", Word6) ||
           v.U32("word7", Word7) || v.U32("word8", Word8) || v.U32("word9", Word9) ||
           v.U32("word10", Word10) || v.U32("word11", Word11) || v.U32("word12", Word12) ||
           v.U32("word13", Word13) || v.U32("word14", Word14) || v.U32("word15", Word15);
  }
  KPKT_RECORD_OPS()
};

// Server I/O figures, second kind (72 bytes: eighteen words).
struct CSvrIORecordB {
  static constexpr uint32_t kWireSize = 72;
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
  uint32_t Word18 = 0;
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.U32("word5", Word5) || v.U32("word6", Word6) ||
           v.U32("word7", Word7) || v.U32("word8", Word8) || v.U32("word9", Word9) ||
           v.U32("word10", Word10) || v.U32("word11", Word11) || v.U32("word12", Word12) ||
           v.U32("word13", Word13) || v.U32("word14", Word14) || v.U32("word15", Word15) ||
           v.U32("word16", Word16) || v.U32("word17", Word17) || v.U32("word18", Word18);
  }
  KPKT_RECORD_OPS()
};

// Server I/O figures, third kind (48 bytes: twelve words).
struct CSvrIORecordC {
  static constexpr uint32_t kWireSize = 48;
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
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.U32("word5", Word5) || v.U32("word6", Word6) ||
           v.U32("word7", Word7) || v.U32("word8", Word8) || v.U32("word9", Word9) ||
           v.U32("word10", Word10) || v.U32("word11", Word11) || v.U32("word12", Word12);
  }
  KPKT_RECORD_OPS()
};

// Server I/O figures, fourth kind (28 bytes: seven words).
struct CSvrIORecordD {
  static constexpr uint32_t kWireSize = 28;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  uint32_t Word5 = 0;
  uint32_t Word6 = 0;
  uint32_t Word7 = 0;
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.U32("word5", Word5) || v.U32("word6", Word6) ||
           v.U32("word7", Word7);
  }
  KPKT_RECORD_OPS()
};

// One four-byte entry of a counted list of numbers.
struct CU32ValueInfo {
  static constexpr uint32_t kWireSize = 4;
  uint32_t Value = 0;
  template <class V>
  int Fields(V& v) { return v.U32("value", Value); }
  KPKT_RECORD_OPS()
};

// Console login (56 bytes).
class CPktConsoleLogin : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00010002;
  char Bytes1[32] = {};
  CPktConsoleLogin() { Type = kCode; Length = Size(); }
  explicit CPktConsoleLogin(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.Text("bytes1", Bytes1); }
  KPKT_PACKET_OPS()
};

// Console login reply (38 bytes; a 16-bit word puts the three
// 32-bit words at offsets 26, 30 and 34).
class CPktConsoleLoginAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80010002;
  uint16_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  CPktConsoleLoginAck() { Type = kCode; Length = Size(); }
  explicit CPktConsoleLoginAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U16("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4);
  }
  KPKT_PACKET_OPS()
};

// Control-server discovery reply (32 + 4n bytes): a word, then
// a counted list of numbers.
class CPktConsoleDiscoverCtrlServerAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80010001;
  uint32_t Word1 = 0;
  TVarLengthField<CU32ValueInfo> Values;
  CPktConsoleDiscoverCtrlServerAck() { Type = kCode; Length = Size(); }
  explicit CPktConsoleDiscoverCtrlServerAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.U32("word1", Word1) || v.Array("values", Values); }
  KPKT_PACKET_OPS()
};

// Server I/O reply (40 + 60a + 72b + 48c + 28d bytes): four
// counted arrays, one per kind of I/O record.
class CPktServerIOInformationAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x8001000B;
  TVarLengthField<CSvrIORecordA> RecordsA;
  TVarLengthField<CSvrIORecordB> RecordsB;
  TVarLengthField<CSvrIORecordC> RecordsC;
  TVarLengthField<CSvrIORecordD> RecordsD;
  CPktServerIOInformationAck() { Type = kCode; Length = Size(); }
  explicit CPktServerIOInformationAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.Array("recordsA", RecordsA) || v.Array("recordsB", RecordsB) ||
           v.Array("recordsC", RecordsC) || v.Array("recordsD", RecordsD);
  }
  KPKT_PACKET_OPS()
};

// Two words (32 bytes): the layout of the server-prohibit request and of
// the image deletion request.
template <uint32_t Code>
class TPktConsoleTwoWordsLayout : public CPacketHead {
 public:
  static constexpr uint32_t kCode = Code;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  TPktConsoleTwoWordsLayout() { Type = kCode; Length = Size(); }
  explicit TPktConsoleTwoWordsLayout(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.U32("word1", Word1) || v.U32("word2", Word2); }
  KPKT_PACKET_OPS()
};
using CPktAskProhibitServer = TPktConsoleTwoWordsLayout<0x00010010>;
using CPktDeleteImageBaseInfor = TPktConsoleTwoWordsLayout<0x00010303>;

// Image import request (808 bytes): a word and three
// path-sized fields.
class CPktAskImportImage : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00010305;
  uint32_t Word1 = 0;
  char Bytes1[260] = {};
  char Bytes2[260] = {};
  char Bytes3[260] = {};
  CPktAskImportImage() { Type = kCode; Length = Size(); }
  explicit CPktAskImportImage(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.Text("bytes1", Bytes1) ||
           v.Text("bytes2", Bytes2) || v.Text("bytes3", Bytes3);
  }
  KPKT_PACKET_OPS()
};

// Changes the configuration of clients (32 + 134n bytes).
class CPktModifySingleClient : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00010504;
  uint32_t Word1 = 0;
  TVarLengthField<CPClientConfigInformation> Clients;
  CPktModifySingleClient() { Type = kCode; Length = Size(); }
  explicit CPktModifySingleClient(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.U32("word1", Word1) || v.Array("clients", Clients); }
  KPKT_PACKET_OPS()
};

// VIP user check reply (36 bytes).
class CPktCheckVIPUserAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80010012;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  CPktCheckVIPUserAck() { Type = kCode; Length = Size(); }
  explicit CPktCheckVIPUserAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3);
  }
  KPKT_PACKET_OPS()
};

}  // namespace PacketZVDiskless

// Console family code table.
#define KELVANE_CONSOLE_PACKETS(ROW)                                                           \
  ROW(0x00010001, HEAD, 0, FIELDS)                                                             \
  ROW(CPktConsoleLogin::kCode, OWN, CPktConsoleLogin, FIELDS)                                  \
  ROW(0x00010003, HEAD, 0, FIELDS)                                                             \
  ROW(0x00010004, VLF, DiskServerCacheInfor, FIELDS)                                           \
  ROW(0x00010005, VLF, DiskServerCacheInfor, FIELDS)                                           \
  ROW(0x00010007, VLF, CPSetClientPowerBaseInfor, FIELDS)                                      \
  ROW(0x00010008, VLF, CPCancelAdministratorBaseInfor, FIELDS)                                 \
  ROW(0x00010009, VLF, CDiskServerTempPathInfor, FIELDS)                                       \
  ROW(0x0001000A, VLF, CDiskServerTempPathInfor, FIELDS)                                       \
  ROW(0x0001000B, HEAD, 0, FIELDS)                                                             \
  ROW(0x0001000C, HEAD, 0, FIELDS)                                                             \
  ROW(0x0001000D, VLF, CServerConfigIOInfor, FIELDS)                                           \
  ROW(0x0001000E, VLF, CCSServerBaseInfo, FIELDS)                                              \
  ROW(0x0001000F, VLF, CCSServerBaseInfo, FIELDS)                                              \
  ROW(CPktAskProhibitServer::kCode, OWN, CPktAskProhibitServer, FIELDS)                        \
  ROW(0x00010011, HEAD, 0, FIELDS)                                                             \
  ROW(0x00010012, HEAD, 0, FIELDS)                                                             \
  ROW(0x00010013, HEAD, 0, FIELDS)                                                             \
  ROW(0x00010014, HEAD, 0, FIELDS)                                                             \
  ROW(0x00010201, VLF, CPSetSnapshotBaseInfor, FIELDS)                                         \
  ROW(0x00010202, VLF, CPSetSnapshotBaseInfor, FIELDS)                                         \
  ROW(0x00010203, VLF, CPSetSnapshotBaseInfor, FIELDS)                                         \
  ROW(0x00010204, VLF, CPSetSnapshotBaseInfor, FIELDS)                                         \
  ROW(0x00010301, HEAD, 0, FIELDS)                                                             \
  ROW(0x00010302, VLF, CPImageBaseInfor, FIELDS)                                               \
  ROW(CPktDeleteImageBaseInfor::kCode, OWN, CPktDeleteImageBaseInfor, FIELDS)                  \
  ROW(0x00010304, VLF, CPImageBaseInfor, FIELDS)                                               \
  ROW(CPktAskImportImage::kCode, OWN, CPktAskImportImage, FIELDS)                              \
  ROW(0x00010401, HEAD, 0, FIELDS)                                                             \
  ROW(0x00010402, VLF, CPClientGroupInfo, FIELDS)                                              \
  ROW(0x00010403, VLF, CPClientGroupInfo, FIELDS)                                              \
  ROW(0x00010501, HEAD, 0, FIELDS)                                                             \
  ROW(0x00010502, VLF, CPClientConfigInformation, FIELDS)                                      \
  ROW(0x00010503, VLF, CPClientConfigInformation, FIELDS)                                      \
  ROW(CPktModifySingleClient::kCode, OWN, CPktModifySingleClient, FIELDS)                      \
  ROW(CPktConsoleDiscoverCtrlServerAck::kCode, OWN, CPktConsoleDiscoverCtrlServerAck, FIELDS)  \
  ROW(CPktConsoleLoginAck::kCode, OWN, CPktConsoleLoginAck, FIELDS)                            \
  ROW(0x80010003, VLF, CCSServerBaseInfo, FIELDS)                                              \
  ROW(0x80010004, VLF, DiskServerCacheInfor, FIELDS)                                           \
  ROW(0x80010005, VLF, DiskServerCacheInfor, FIELDS)                                           \
  ROW(0x80010007, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010008, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010009, VLF, CDiskServerTempPathInfor, FIELDS)                                       \
  ROW(0x8001000A, VLF, CDiskServerTempPathInfor, FIELDS)                                       \
  ROW(CPktServerIOInformationAck::kCode, OWN, CPktServerIOInformationAck, FIELDS)              \
  ROW(0x8001000C, VLF, CServerConfigIOInfor, FIELDS)                                           \
  ROW(0x8001000D, HEAD, 0, FIELDS)                                                             \
  ROW(0x8001000E, HEAD, 0, FIELDS)                                                             \
  ROW(0x8001000F, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010010, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010011, HEAD, 0, FIELDS)                                                             \
  ROW(CPktCheckVIPUserAck::kCode, OWN, CPktCheckVIPUserAck, FIELDS)                            \
  ROW(0x80010013, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010014, VLF, CPktSimpleRequestPNPMemoryAck, FIELDS)                                  \
  ROW(0x80010201, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010202, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010203, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010204, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010301, VLF, CImgInfoEx, FIELDS)                                                     \
  ROW(0x80010302, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010303, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010304, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010305, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010401, VLF, CPClientGroupInfo, FIELDS)                                              \
  ROW(0x80010402, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010403, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010501, VLF, CPClientConfigInformation, FIELDS)                                      \
  ROW(0x80010502, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010503, HEAD, 0, FIELDS)                                                             \
  ROW(0x80010504, HEAD, 0, FIELDS)
