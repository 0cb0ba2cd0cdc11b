// PnP family (0x0005xxxx): device information, file information and file
// data of the PnP service.
#pragma once

#include <cstdint>

#include "protocol/PacketTable.h"

namespace PacketZVDiskless {

// One system file of a PnP server: a counted buffer (4 + length bytes).
// Variable size, so an array of these sums the records' own sizes.
class PnPServerSysFile {
 public:
  CPktBuffer File;
  template <class V>
  int Fields(V& v) { return v.Buffer("file", File); }
  KPKT_RECORD_VIRTUAL_OPS()
};

// One PnP server: two counted buffers and its system files
// (12 + both lengths + the files' sizes).
class PnPServerInformation {
 public:
  CPktBuffer Buffer1;
  CPktBuffer Buffer2;
  TVarLengthField<PnPServerSysFile> Files;
  template <class V>
  int Fields(V& v) {
    return v.Buffer("buffer1", Buffer1) || v.Buffer("buffer2", Buffer2) ||
           v.Array("files", Files);
  }
  KPKT_RECORD_VIRTUAL_OPS()
};

// Asks for device information (44 bytes): one u32, eight u16.
class CPktPNPGetDeviceInfor : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00050001;
  uint32_t Word1 = 0;
  uint16_t Word2 = 0;
  uint16_t Word3 = 0;
  uint16_t Word4 = 0;
  uint16_t Word5 = 0;
  uint16_t Word6 = 0;
  uint16_t Word7 = 0;
  uint16_t Word8 = 0;
  uint16_t Word9 = 0;
  CPktPNPGetDeviceInfor() { Type = kCode; Length = Size(); }
  explicit CPktPNPGetDeviceInfor(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U16("word2", Word2) || v.U16("word3", Word3) ||
           v.U16("word4", Word4) || v.U16("word5", Word5) || v.U16("word6", Word6) ||
           v.U16("word7", Word7) || v.U16("word8", Word8) || v.U16("word9", Word9);
  }
  KPKT_PACKET_OPS()
};

// Asks for a file's information (88 bytes).
class CPktPNPGetFileInfor : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00050002;
  char Bytes1[64] = {};
  CPktPNPGetFileInfor() { Type = kCode; Length = Size(); }
  explicit CPktPNPGetFileInfor(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.Text("bytes1", Bytes1); }
  KPKT_PACKET_OPS()
};

// Asks for a piece of a file (96 bytes).
class CPktPNPReadFileData : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00050003;
  char Bytes1[64] = {};
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  CPktPNPReadFileData() { Type = kCode; Length = Size(); }
  explicit CPktPNPReadFileData(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.Text("bytes1", Bytes1) || v.U32("word1", Word1) || v.U32("word2", Word2);
  }
  KPKT_PACKET_OPS()
};

// Device information: a counted buffer, the system files and the
// PnP servers (36 + buffer length + the records' sizes).
class CPktPNPGetDeviceInforAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80050001;
  CPktBuffer Buffer1;
  TVarLengthField<PnPServerSysFile> SysFiles;
  TVarLengthField<PnPServerInformation> Servers;
  CPktPNPGetDeviceInforAck() { Type = kCode; Length = Size(); }
  explicit CPktPNPGetDeviceInforAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.Buffer("buffer1", Buffer1) || v.Array("sysFiles", SysFiles) ||
           v.Array("servers", Servers);
  }
  KPKT_PACKET_OPS()
};

// A file's information (92 bytes).
class CPktPNPGetFileInforAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80050002;
  char Bytes1[64] = {};
  uint32_t Word1 = 0;
  CPktPNPGetFileInforAck() { Type = kCode; Length = Size(); }
  explicit CPktPNPGetFileInforAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.Text("bytes1", Bytes1) || v.U32("word1", Word1); }
  KPKT_PACKET_OPS()
};

// A piece of a file (96 + DataLength bytes).
//
// DataLength itself is not sent: a receiver learns it only from the head's
// Length less 96. Unpack therefore reads nothing; a received packet keeps
// every field at zero and its body stays unread in the stream, where the
// consumer finds it. Pack sends the fields and then DataLength bytes from
// Data, which the packet does not own.
class CPktPNPReadFileDataAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80050003;
  static constexpr uint32_t kFixedSize = 96;
  char Bytes1[64] = {};
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t DataLength = 0;        // not on the wire
  const uint8_t* Data = nullptr;  // not owned; read by Pack only

  CPktPNPReadFileDataAck() { Type = kCode; Length = Size(); }
  explicit CPktPNPReadFileDataAck(const CPacketHead& h) : CPacketHead(h) {}

  // Wire fields before the data.
  template <class V>
  int Fields(V& v) {
    return v.Text("bytes1", Bytes1) || v.U32("word1", Word1) || v.U32("word2", Word2);
  }

  uint32_t Size() const override { return kFixedSize + DataLength; }
  int Unpack(CPktReadStream&) override { return 0; }
  int Pack(CPktWriteStream& w) const override {
    if (PackHead(w)) return -1;
    PackVisitor v{w};
    if (Mutable(*this).Fields(v)) return -1;
    if (DataLength == 0) return 0;
    if (!Data) return -1;
    return w.WriteBytes(Data, DataLength);
  }
};

}  // namespace PacketZVDiskless

// PnP family code table (6 codes).
#define KELVANE_PNP_PACKETS(ROW)                                               \
  ROW(CPktPNPGetDeviceInfor::kCode, OWN, CPktPNPGetDeviceInfor, FIELDS)        \
  ROW(CPktPNPGetFileInfor::kCode, OWN, CPktPNPGetFileInfor, FIELDS)            \
  ROW(CPktPNPReadFileData::kCode, OWN, CPktPNPReadFileData, FIELDS)            \
  ROW(CPktPNPGetDeviceInforAck::kCode, OWN, CPktPNPGetDeviceInforAck, FIELDS)  \
  ROW(CPktPNPGetFileInforAck::kCode, OWN, CPktPNPGetFileInforAck, FIELDS)      \
  ROW(CPktPNPReadFileDataAck::kCode, OWN, CPktPNPReadFileDataAck, DATA)
