// Client family (0x0000xxxx): client boot, registration, login and disk I/O.
//
// MacAddress, Bitmap and disk data are raw bytes that never change with the
// stream's byte order. Classes that share one body layout are instances of
// one layout template, told apart by their type code.
#pragma once

#include <cstdint>

#include "protocol/PacketTable.h"
#include "protocol/ToolPackets.h"

namespace PacketZVDiskless {

// Size of a client hardware address.
constexpr uint32_t kMacAddressSize = 6;

// The client's own description inside a discover reply (106 bytes).
struct CClientDiscoverInfor {
  static constexpr uint32_t kWireSize = 106;
  char Text[64] = {};
  uint8_t MacAddress[kMacAddressSize] = {};
  uint32_t Param1 = 0;
  uint32_t Param2 = 0;
  uint32_t Param3 = 0;
  uint32_t Param4 = 0;
  uint32_t Param5 = 0;
  uint32_t Param6 = 0;
  uint32_t Param7 = 0;
  uint16_t Value1 = 0;
  uint16_t Value2 = 0;
  uint16_t Value3 = 0;
  uint16_t Value4 = 0;
  template <class V>
  int Fields(V& v) {
    return v.Text("Text", Text) || v.Raw("MacAddress", MacAddress) ||
           v.U32("Param1", Param1) || v.U32("Param2", Param2) || v.U32("Param3", Param3) ||
           v.U32("Param4", Param4) || v.U32("Param5", Param5) || v.U32("Param6", Param6) ||
           v.U32("Param7", Param7) || v.U16("Value1", Value1) || v.U16("Value2", Value2) ||
           v.U16("Value3", Value3) || v.U16("Value4", Value4);
  }
  KPKT_RECORD_OPS()
};

// One entry of a discover reply's list (14 bytes).
struct CClientDiscoverItem {
  static constexpr uint32_t kWireSize = 14;
  uint32_t Param1 = 0;
  uint16_t Param2 = 0;
  uint16_t Param3 = 0;
  uint8_t MacAddress[kMacAddressSize] = {};
  template <class V>
  int Fields(V& v) {
    return v.U32("Param1", Param1) || v.U16("Param2", Param2) || v.U16("Param3", Param3) ||
           v.Raw("MacAddress", MacAddress);
  }
  KPKT_RECORD_OPS()
};

// One entry of a configuration reply (68 bytes).
struct CClientConfigItem {
  static constexpr uint32_t kWireSize = 68;
  uint32_t Param1 = 0;
  char Text[64] = {};
  template <class V>
  int Fields(V& v) { return v.U32("Param1", Param1) || v.Text("Text", Text); }
  KPKT_RECORD_OPS()
};

// One entry of a disk-server report (268 bytes).
struct CReportDS2ClientItem {
  static constexpr uint32_t kWireSize = 268;
  char Text[260] = {};
  uint32_t Param1 = 0;
  uint32_t Param2 = 0;
  template <class V>
  int Fields(V& v) {
    return v.Text("Text", Text) || v.U32("Param1", Param1) || v.U32("Param2", Param2);
  }
  KPKT_RECORD_OPS()
};

// Hardware address and two numbers (38 bytes): discover requests.
template <uint32_t Code>
class TPktClientDiscoverLayout : public CPacketHead {
 public:
  static constexpr uint32_t kCode = Code;
  uint8_t MacAddress[kMacAddressSize] = {};
  uint32_t Param1 = 0;
  uint32_t Param2 = 0;
  TPktClientDiscoverLayout() { Type = kCode; Length = Size(); }
  explicit TPktClientDiscoverLayout(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.Raw("MacAddress", MacAddress) || v.U32("Param1", Param1) ||
           v.U32("Param2", Param2);
  }
  KPKT_PACKET_OPS()
};
using CPktClientDiscover = TPktClientDiscoverLayout<0x00000002>;
using CPktVdiskPacketDiscover = TPktClientDiscoverLayout<0x00000018>;

// Hardware address and a counted byte buffer (34 + n bytes).
template <uint32_t Code>
class TPktClientSetAssocLayout : public CPacketHead {
 public:
  static constexpr uint32_t kCode = Code;
  uint8_t MacAddress[kMacAddressSize] = {};
  CPktBuffer Data;
  TPktClientSetAssocLayout() { Type = kCode; Length = Size(); }
  explicit TPktClientSetAssocLayout(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.Raw("MacAddress", MacAddress) || v.Buffer("Data", Data);
  }
  KPKT_PACKET_OPS()
};
using CPktClientSetAssoc = TPktClientSetAssocLayout<0x00000003>;
using CPktClientRegAddrAck = TPktClientSetAssocLayout<0x80000009>;
using CPktAskErrorClientInforAck = TPktClientSetAssocLayout<0x8000000D>;

// The fixed part of a disk-I/O packet (38 bytes). On its own it is the read
// request and the write reply.
template <uint32_t Code>
class TPktDiskIOLayout : public CPacketHead {
 public:
  static constexpr uint32_t kCode = Code;
  static constexpr uint32_t kFixedSize = 38;
  uint32_t Param1 = 0;
  uint16_t Param2 = 0;
  uint32_t Param3 = 0;
  uint32_t Param4 = 0;
  TPktDiskIOLayout() { Type = kCode; Length = Size(); }
  explicit TPktDiskIOLayout(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("Param1", Param1) || v.U16("Param2", Param2) || v.U32("Param3", Param3) ||
           v.U32("Param4", Param4);
  }
  KPKT_PACKET_OPS()
};
using CPktReadDiskIO = TPktDiskIOLayout<0x00000005>;
using CPktWriteDiskIOAck = TPktDiskIOLayout<0x80000006>;

namespace client_detail {

// Decodes the fixed fields of a packet whose data runs from the end of its
// fixed part to the end of the message, and leaves the data in the stream.
// The data's length comes from the head's Length. A Length shorter than the
// fixed part, or one that promises more data than the message holds, is
// refused, so Reader always holds DataLength bytes at its position.
template <class P>
int UnpackWithTrailingData(P& p, CPktReadStream& r, uint32_t fixedSize) {
  UnpackVisitor v{r};
  if (p.Fields(v)) return -1;
  if (p.Length < fixedSize) return -1;
  uint32_t n = p.Length - fixedSize;
  if (n > r.Remaining()) return -1;
  p.Reader = &r;
  p.DataLength = n;
  return 0;
}

// Writes the head and the fixed fields, then DataLength bytes from Data.
template <class P>
int PackWithTrailingData(const P& p, CPktWriteStream& w, const uint8_t* data) {
  if (p.PackHead(w)) return -1;
  PackVisitor v{w};
  if (Mutable(p).Fields(v)) return -1;
  if (p.DataLength && !data) return -1;
  return w.WriteBytes(data, p.DataLength);
}

}  // namespace client_detail

// Disk read reply, the fixed part followed by the data read.
//
// On receipt the data is not copied: Reader is the decoding stream, left on
// the first data byte, and stays usable only while the receiver dispatches
// the packet. It is a pointer (null until decoded) so that a packet built for
// sending needs no stream. To send, set Data and DataLength.
class CPktReadDiskIOAck : public TPktDiskIOLayout<0x80000005> {
 public:
  CPktReadStream* Reader = nullptr;
  uint32_t DataLength = 0;
  const uint8_t* Data = nullptr;  // bytes to send; not owned

  CPktReadDiskIOAck() = default;
  explicit CPktReadDiskIOAck(const CPacketHead& h) : TPktDiskIOLayout(h) {}
  uint32_t Size() const override { return kFixedSize + DataLength; }
  int Unpack(CPktReadStream& r) override {
    return client_detail::UnpackWithTrailingData(*this, r, kFixedSize);
  }
  int Pack(CPktWriteStream& w) const override {
    return client_detail::PackWithTrailingData(*this, w, Data);
  }
};

// Disk write request, the fixed part followed by the data to
// write. Size (and so Length) counts the data, but Pack writes only the 38
// bytes of the fixed part: the sender puts the DataLength data bytes right
// after them in the same message. Reader as in CPktReadDiskIOAck.
class CPktWriteDiskIO : public TPktDiskIOLayout<0x00000006> {
 public:
  CPktReadStream* Reader = nullptr;
  uint32_t DataLength = 0;

  CPktWriteDiskIO() = default;
  explicit CPktWriteDiskIO(const CPacketHead& h) : TPktDiskIOLayout(h) {}
  uint32_t Size() const override { return kFixedSize + DataLength; }
  int Unpack(CPktReadStream& r) override {
    return client_detail::UnpackWithTrailingData(*this, r, kFixedSize);
  }
  int Pack(CPktWriteStream& w) const override {
    if (PackHead(w)) return -1;
    PackVisitor v{w};
    return Mutable(*this).Fields(v) ? -1 : 0;
  }
};

// Disk write with a 16-byte bitmap, then the data (54 + data
// bytes). Reader and Data as in CPktReadDiskIOAck.
class CPktWriteBitmapDiskIO : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x0000000C;
  static constexpr uint32_t kFixedSize = 54;
  uint32_t Param1 = 0;
  uint16_t Param2 = 0;
  uint32_t Param3 = 0;
  uint32_t Param4 = 0;
  uint8_t Bitmap[16] = {};
  CPktReadStream* Reader = nullptr;
  uint32_t DataLength = 0;
  const uint8_t* Data = nullptr;  // bytes to send; not owned

  CPktWriteBitmapDiskIO() { Type = kCode; Length = Size(); }
  explicit CPktWriteBitmapDiskIO(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("Param1", Param1) || v.U16("Param2", Param2) || v.U32("Param3", Param3) ||
           v.U32("Param4", Param4) || v.Raw("Bitmap", Bitmap);
  }
  uint32_t Size() const override { return kFixedSize + DataLength; }
  int Unpack(CPktReadStream& r) override {
    return client_detail::UnpackWithTrailingData(*this, r, kFixedSize);
  }
  int Pack(CPktWriteStream& w) const override {
    return client_detail::PackWithTrailingData(*this, w, Data);
  }
};

// Client login (36 bytes), three numbers.
class CPktClientLogin : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00000004;
  uint32_t Param1 = 0;
  uint32_t Param2 = 0;
  uint32_t Param3 = 0;
  CPktClientLogin() { Type = kCode; Length = Size(); }
  explicit CPktClientLogin(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("Param1", Param1) || v.U32("Param2", Param2) || v.U32("Param3", Param3);
  }
  KPKT_PACKET_OPS()
};

// Client login reply (41 bytes; the byte at 32 puts the last two
// numbers at odd offsets).
class CPktClientLoginAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80000004;
  uint32_t Param1 = 0;
  uint32_t Param2 = 0;
  uint8_t Flag = 0;
  uint32_t Param3 = 0;
  uint32_t Param4 = 0;
  CPktClientLoginAck() { Type = kCode; Length = Size(); }
  explicit CPktClientLoginAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("Param1", Param1) || v.U32("Param2", Param2) || v.U8("Flag", Flag) ||
           v.U32("Param3", Param3) || v.U32("Param4", Param4);
  }
  KPKT_PACKET_OPS()
};

// Discover reply (150 + 14 per item bytes).
class CPktClientDiscoverAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80000002;
  uint32_t Param1 = 0;
  CClientDiscoverInfor Client;
  uint32_t Param2 = 0;
  uint32_t Param3 = 0;
  uint32_t Param4 = 0;
  TVarLengthField<CClientDiscoverItem> Items;
  CPktClientDiscoverAck() { Type = kCode; Length = Size(); }
  explicit CPktClientDiscoverAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("Param1", Param1) || v.Record("Client", Client) || v.U32("Param2", Param2) ||
           v.U32("Param3", Param3) || v.U32("Param4", Param4) || v.Array("Items", Items);
  }
  KPKT_PACKET_OPS()
};

// Address registration (34 bytes).
class CPktClientRegAddr : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00000009;
  uint8_t MacAddress[kMacAddressSize] = {};
  uint32_t Param1 = 0;
  CPktClientRegAddr() { Type = kCode; Length = Size(); }
  explicit CPktClientRegAddr(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.Raw("MacAddress", MacAddress) || v.U32("Param1", Param1);
  }
  KPKT_PACKET_OPS()
};

// Configuration request (39 bytes; a leading byte puts the rest
// at odd offsets).
class CPkClientAskConfigInfor : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x0000000A;
  uint8_t Flag = 0;
  uint8_t MacAddress[kMacAddressSize] = {};
  uint32_t Param1 = 0;
  uint32_t Param2 = 0;
  CPkClientAskConfigInfor() { Type = kCode; Length = Size(); }
  explicit CPkClientAskConfigInfor(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U8("Flag", Flag) || v.Raw("MacAddress", MacAddress) ||
           v.U32("Param1", Param1) || v.U32("Param2", Param2);
  }
  KPKT_PACKET_OPS()
};

// Configuration reply (46 + 68 per item bytes).
class CPkClientAskConfigInforAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x8000000A;
  uint8_t MacAddress[kMacAddressSize] = {};
  uint32_t Param1 = 0;
  uint32_t Param2 = 0;
  uint32_t Param3 = 0;
  TVarLengthField<CClientConfigItem> Items;
  CPkClientAskConfigInforAck() { Type = kCode; Length = Size(); }
  explicit CPkClientAskConfigInforAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.Raw("MacAddress", MacAddress) || v.U32("Param1", Param1) ||
           v.U32("Param2", Param2) || v.U32("Param3", Param3) || v.Array("Items", Items);
  }
  KPKT_PACKET_OPS()
};

// Registered-client lookup (94 bytes).
class CPktAskFindRegClientInfor : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x0000000B;
  uint8_t MacAddress[kMacAddressSize] = {};
  char Text[64] = {};
  CPktAskFindRegClientInfor() { Type = kCode; Length = Size(); }
  explicit CPktAskFindRegClientInfor(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.Raw("MacAddress", MacAddress) || v.Text("Text", Text);
  }
  KPKT_PACKET_OPS()
};

// Registered-client lookup reply (102 bytes).
class CPktAskFindRegClientInforAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x8000000B;
  uint8_t MacAddress[kMacAddressSize] = {};
  uint32_t Param1 = 0;
  uint32_t Param2 = 0;
  char Text[64] = {};
  CPktAskFindRegClientInforAck() { Type = kCode; Length = Size(); }
  explicit CPktAskFindRegClientInforAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.Raw("MacAddress", MacAddress) || v.U32("Param1", Param1) ||
           v.U32("Param2", Param2) || v.Text("Text", Text);
  }
  KPKT_PACKET_OPS()
};

// Error-client query (30 bytes), the hardware address alone.
class CPktAskErrorClientInfor : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x0000000D;
  uint8_t MacAddress[kMacAddressSize] = {};
  CPktAskErrorClientInfor() { Type = kCode; Length = Size(); }
  explicit CPktAskErrorClientInfor(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.Raw("MacAddress", MacAddress); }
  KPKT_PACKET_OPS()
};

// A log line reported by the client (28 + n bytes).
class CPktClientLogPrint : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00000010;
  CPktBuffer Data;
  CPktClientLogPrint() { Type = kCode; Length = Size(); }
  explicit CPktClientLogPrint(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.Buffer("Data", Data); }
  KPKT_PACKET_OPS()
};

// Reply carrying one number (28 bytes).
class CPktReportAskBarServerIDAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x8000000E;
  uint32_t Param1 = 0;
  CPktReportAskBarServerIDAck() { Type = kCode; Length = Size(); }
  explicit CPktReportAskBarServerIDAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.U32("Param1", Param1); }
  KPKT_PACKET_OPS()
};

// Disk-server report to a client (829 + 8 per pair + 268 per
// entry bytes). The three 255-byte texts leave everything after them at odd
// offsets.
class CPktReportDS2Client : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x0000000F;
  uint32_t Param1 = 0;
  uint32_t Param2 = 0;
  uint32_t Param3 = 0;
  uint32_t Param4 = 0;
  uint32_t Param5 = 0;
  uint32_t Param6 = 0;
  uint32_t Param7 = 0;
  char Text1[255] = {};
  char Text2[255] = {};
  char Text3[255] = {};
  uint32_t Param8 = 0;
  TVarLengthField<CPSetClientPowerBaseInfor> Pairs;
  TVarLengthField<CReportDS2ClientItem> Entries;
  CPktReportDS2Client() { Type = kCode; Length = Size(); }
  explicit CPktReportDS2Client(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("Param1", Param1) || v.U32("Param2", Param2) || v.U32("Param3", Param3) ||
           v.U32("Param4", Param4) || v.U32("Param5", Param5) || v.U32("Param6", Param6) ||
           v.U32("Param7", Param7) || v.Text("Text1", Text1) ||
           v.Text("Text2", Text2) || v.Text("Text3", Text3) ||
           v.U32("Param8", Param8) || v.Array("Pairs", Pairs) || v.Array("Entries", Entries);
  }
  KPKT_PACKET_OPS()
};

// The keep-alive this library sends.
using CPktClientKeepAlive = CSimplePacketHead<0x00000001>;
// The reply to a reported log line. One more request of the table below is
// built as this class and keeps the Type it was received with.
using CPktClientLogPrintAck = CSimplePacketHead<0x80000010>;

}  // namespace PacketZVDiskless

// Client family code table.
#define KELVANE_CLIENT_PACKETS(ROW)                                                    \
  ROW(CPktClientKeepAlive::kCode, HEAD, 0, FIELDS)                                     \
  ROW(CPktClientDiscover::kCode, OWN, CPktClientDiscover, FIELDS)                      \
  ROW(CPktClientSetAssoc::kCode, OWN, CPktClientSetAssoc, FIELDS)                      \
  ROW(CPktClientLogin::kCode, OWN, CPktClientLogin, FIELDS)                            \
  ROW(CPktReadDiskIO::kCode, OWN, CPktReadDiskIO, FIELDS)                              \
  ROW(CPktWriteDiskIO::kCode, OWN, CPktWriteDiskIO, DATA)                              \
  ROW(0x00000007, HEAD, 0, FIELDS)                                                     \
  ROW(0x00000008, HEAD, 0, FIELDS)                                                     \
  ROW(CPktClientRegAddr::kCode, OWN, CPktClientRegAddr, FIELDS)                        \
  ROW(CPkClientAskConfigInfor::kCode, OWN, CPkClientAskConfigInfor, FIELDS)            \
  ROW(CPktAskFindRegClientInfor::kCode, OWN, CPktAskFindRegClientInfor, FIELDS)        \
  ROW(CPktWriteBitmapDiskIO::kCode, OWN, CPktWriteBitmapDiskIO, DATA)                  \
  ROW(CPktAskErrorClientInfor::kCode, OWN, CPktAskErrorClientInfor, FIELDS)            \
  ROW(0x0000000E, HEAD, 0, FIELDS)                                                     \
  ROW(CPktReportDS2Client::kCode, OWN, CPktReportDS2Client, FIELDS)                    \
  ROW(CPktClientLogPrint::kCode, OWN, CPktClientLogPrint, FIELDS)                      \
  ROW(0x00000012, HEAD_AS, CPktClientLogPrintAck::kCode, FIELDS)                       \
  ROW(CPktVdiskPacketDiscover::kCode, OWN, CPktVdiskPacketDiscover, FIELDS)            \
  ROW(0x80000001, HEAD, 0, FIELDS)                                                     \
  ROW(CPktClientDiscoverAck::kCode, OWN, CPktClientDiscoverAck, FIELDS)                \
  ROW(0x80000003, HEAD, 0, FIELDS)                                                     \
  ROW(CPktClientLoginAck::kCode, OWN, CPktClientLoginAck, FIELDS)                      \
  ROW(CPktReadDiskIOAck::kCode, OWN, CPktReadDiskIOAck, DATA)                          \
  ROW(CPktWriteDiskIOAck::kCode, OWN, CPktWriteDiskIOAck, FIELDS)                      \
  ROW(0x80000007, HEAD, 0, FIELDS)                                                     \
  ROW(0x80000008, HEAD, 0, FIELDS)                                                     \
  ROW(CPktClientRegAddrAck::kCode, OWN, CPktClientRegAddrAck, FIELDS)                  \
  ROW(CPkClientAskConfigInforAck::kCode, OWN, CPkClientAskConfigInforAck, FIELDS)      \
  ROW(CPktAskFindRegClientInforAck::kCode, OWN, CPktAskFindRegClientInforAck, FIELDS)  \
  ROW(CPktAskErrorClientInforAck::kCode, OWN, CPktAskErrorClientInforAck, FIELDS)      \
  ROW(CPktReportAskBarServerIDAck::kCode, OWN, CPktReportAskBarServerIDAck, FIELDS)    \
  ROW(0x8000000F, HEAD, 0, FIELDS)                                                     \
  ROW(CPktClientLogPrintAck::kCode, HEAD, 0, FIELDS)
