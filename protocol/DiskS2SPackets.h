// Disk-server-to-server family (0x0004xxxx): version information and the
// reading of version data between disk servers.
#pragma once

#include <cstdint>

#include "protocol/PacketTable.h"

namespace PacketZVDiskless {

// One version entry (1,084 bytes): seven words, a 16-byte value and four
// 260-byte texts.
struct CS2SVersionRecord {
  static constexpr uint32_t kWireSize = 1084;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  uint32_t Word5 = 0;
  uint32_t Word6 = 0;
  uint32_t Word7 = 0;
  uint8_t Bytes1[16] = {};
  char Bytes2[260] = {};
  char Bytes3[260] = {};
  char Bytes4[260] = {};
  char Bytes5[260] = {};
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.U32("word5", Word5) || v.U32("word6", Word6) ||
           v.U32("word7", Word7) || v.Raw("bytes1", Bytes1) ||
           v.Text("bytes2", Bytes2) || v.Text("bytes3", Bytes3) ||
           v.Text("bytes4", Bytes4) || v.Text("bytes5", Bytes5);
  }
  KPKT_RECORD_OPS()
};

// Asks for version information (28 bytes). The word starts at
// zero rather than unset.
class CPktDiskS2SGetVersionInfor : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00040001;
  uint32_t Word1 = 0;
  CPktDiskS2SGetVersionInfor() { Type = kCode; Length = Size(); }
  explicit CPktDiskS2SGetVersionInfor(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.U32("word1", Word1); }
  KPKT_PACKET_OPS()
};

// Asks for a piece of version data (296 bytes). Fields start at
// zero rather than unset.
class CPktDiskS2SReadVersionData : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00040002;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  char Bytes1[260] = {};
  CPktDiskS2SReadVersionData() { Type = kCode; Length = Size(); }
  explicit CPktDiskS2SReadVersionData(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.Text("bytes1", Bytes1);
  }
  KPKT_PACKET_OPS()
};

// Version information (596 + 1,084 per record bytes). Words 1,
// 3 and 4 and the byte fields start at zero like the rest.
class CPktDiskS2SVersionInforAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80040001;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  uint32_t Word4 = 0;
  uint32_t Word5 = 0;
  uint32_t Word6 = 0;
  uint32_t Word7 = 0;
  uint32_t Word8 = 0;
  uint8_t Bytes1[16] = {};
  char Bytes2[260] = {};
  char Bytes3[260] = {};
  TVarLengthField<CS2SVersionRecord> Records;
  CPktDiskS2SVersionInforAck() { Type = kCode; Length = Size(); }
  explicit CPktDiskS2SVersionInforAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.U32("word4", Word4) || v.U32("word5", Word5) || v.U32("word6", Word6) ||
           v.U32("word7", Word7) || v.U32("word8", Word8) || v.Raw("bytes1", Bytes1) ||
           v.Text("bytes2", Bytes2) || v.Text("bytes3", Bytes3) ||
           v.Array("records", Records);
  }
  KPKT_PACKET_OPS()
};

// A piece of version data (300 + DataLength bytes).
//
// A received packet does not copy its data: Unpack reads up to and including
// DataLength, checks that the stream still holds that many bytes, remembers
// the stream in Reader and leaves its position on the first data byte. The
// consumer takes the bytes from Reader (ReadData) while the stream it handed
// to the factory is still alive. An outgoing packet sends DataLength bytes
// from Data, which the packet does not own.
class CPktDiskS2SReadVersionDataAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80040002;
  static constexpr uint32_t kFixedSize = 300;
  uint32_t Word1 = 0;
  uint32_t Word2 = 0;
  uint32_t Word3 = 0;
  char Bytes1[260] = {};
  uint32_t DataLength = 0;
  const uint8_t* Data = nullptr;  // not owned; read by Pack only
  // The stream this packet was decoded from; null until then. A pointer, not
  // a reference: a reference member could not be default constructed for a
  // packet that is built for sending.
  CPktReadStream* Reader = nullptr;

  CPktDiskS2SReadVersionDataAck() { Type = kCode; Length = Size(); }
  explicit CPktDiskS2SReadVersionDataAck(const CPacketHead& h) : CPacketHead(h) {}

  // Wire fields up to and including the data length (the data is not one).
  template <class V>
  int Fields(V& v) {
    return v.U32("word1", Word1) || v.U32("word2", Word2) || v.U32("word3", Word3) ||
           v.Text("bytes1", Bytes1) || v.U32("dataLength", DataLength);
  }

  uint32_t Size() const override { return kFixedSize + DataLength; }

  int Unpack(CPktReadStream& r) override {
    UnpackVisitor v{r};
    if (Fields(v)) return -1;
    // A length the message cannot hold would send the consumer past its end.
    if (r.Remaining() < DataLength) return -1;
    Reader = &r;
    return 0;
  }

  int Pack(CPktWriteStream& w) const override {
    if (PackHead(w)) return -1;
    PackVisitor v{w};
    if (Mutable(*this).Fields(v)) return -1;
    if (DataLength == 0) return 0;
    if (!Data) return -1;
    return w.WriteBytes(Data, DataLength);
  }

  // Copies the DataLength data bytes of a received packet from Reader into
  // `dst`, advancing the stream. Returns 0, or -1 when the packet was not
  // received or the bytes are no longer in the stream.
  int ReadData(void* dst) {
    if (!Reader) return -1;
    return Reader->ReadBytes(dst, DataLength);
  }
};

}  // namespace PacketZVDiskless

// Disk-server-to-server family code table (4 codes).
#define KELVANE_DISKS2S_PACKETS(ROW)                                                   \
  ROW(CPktDiskS2SGetVersionInfor::kCode, OWN, CPktDiskS2SGetVersionInfor, FIELDS)      \
  ROW(CPktDiskS2SReadVersionData::kCode, OWN, CPktDiskS2SReadVersionData, FIELDS)      \
  ROW(CPktDiskS2SVersionInforAck::kCode, OWN, CPktDiskS2SVersionInforAck, FIELDS)      \
  ROW(CPktDiskS2SReadVersionDataAck::kCode, OWN, CPktDiskS2SReadVersionDataAck, DATA)
