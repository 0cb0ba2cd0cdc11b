// Tool family (0x0002xxxx): discovery, tool login, image list, image
// information with snapshots, create and select image, administrator mode.
// Also the records that console and disk-server packets borrow from it.
#pragma once

#include <cstdint>
#include <cstring>

#include "protocol/PacketTable.h"

namespace PacketZVDiskless {

// The UDP port that servers answer discovery requests on.
constexpr uint16_t kDiscoverPort = 800;
// The TCP port of a server's tool service unless it is set otherwise (its
// discovery reply names the port in use).
constexpr uint16_t kToolServicePort = 8000;

// Discover reply record: the low 16 bits of TcpPort are the server's TCP port.
struct CPDiscoverAckBaseInfor {
  static constexpr uint32_t kWireSize = 4;
  uint32_t TcpPort = 0;
  template <class V>
  int Fields(V& v) { return v.U32("TcpPort", TcpPort); }
  KPKT_RECORD_OPS()
};

// One disk image: identifier, name and two numbers.
struct CPImageBaseInfor {
  static constexpr uint32_t kWireSize = 272;
  uint32_t ImageId = 0;
  char Name[260] = {};
  uint32_t Param1 = 0;
  uint32_t Param2 = 0;
  template <class V>
  int Fields(V& v) {
    return v.U32("ImageId", ImageId) || v.Text("Name", Name) ||
           v.U32("Param1", Param1) || v.U32("Param2", Param2);
  }
  KPKT_RECORD_OPS()
};

// Set-administrator record.
struct CPSetClientPowerBaseInfor {
  static constexpr uint32_t kWireSize = 8;
  uint32_t Param1 = 0;
  uint32_t Param2 = 0;
  template <class V>
  int Fields(V& v) { return v.U32("Param1", Param1) || v.U32("Param2", Param2); }
  KPKT_RECORD_OPS()
};

// Cancel-administrator record: two flags widened to 32 bits and a text.
struct CPCancelAdministratorBaseInfor {
  static constexpr uint32_t kWireSize = 276;
  uint32_t Param1 = 0;
  uint32_t Param2 = 0;
  uint32_t Param3 = 0;
  uint32_t Param4 = 0;
  char Text[260] = {};
  template <class V>
  int Fields(V& v) {
    return v.U32("Param1", Param1) || v.U32("Param2", Param2) ||
           v.U32("Param3", Param3) || v.U32("Param4", Param4) ||
           v.Text("Text", Text);
  }
  KPKT_RECORD_OPS()
};

// One snapshot of an image. Time is six little-endian 16-bit values (year,
// month, day, hour, minute, second) that travel as raw bytes, unaffected by
// the stream's byte order.
struct CImgSnapshotInfo {
  static constexpr uint32_t kWireSize = 100;
  static constexpr bool kDefaultIsZero = true;  // every member has an initialiser
  uint32_t SnapshotId = 0;
  uint32_t Param2 = 0;
  uint32_t Param3 = 0;
  uint32_t Param4 = 0;
  uint32_t Param5 = 0;
  uint32_t Param6 = 0;
  char Text[64] = {};
  uint8_t Time[kDateTimeSize] = {};

  // Value i (0 = year .. 5 = second) of Time.
  uint16_t TimeField(int i) const { return DateTimePart(Time, i); }
  void SetTimeField(int i, uint16_t v) { SetDateTimePart(Time, i, v); }

  template <class V>
  int Fields(V& v) {
    return v.U32("SnapshotId", SnapshotId) || v.U32("Param2", Param2) ||
           v.U32("Param3", Param3) || v.U32("Param4", Param4) ||
           v.U32("Param5", Param5) || v.U32("Param6", Param6) ||
           v.Text("Text", Text) || v.DateTime("Time", Time);
  }
  KPKT_RECORD_OPS()
};

// One image with its snapshot records (352 + 100 per snapshot bytes).
class CImgInfoEx {
 public:
  static constexpr bool kDefaultIsZero = true;  // every member has an initialiser
  uint32_t ImageId = 0;
  uint32_t Param2 = 0;
  uint32_t Param3 = 0;
  char Text1[64] = {};
  uint32_t Param4 = 0;
  char Text2[260];
  uint32_t Param5 = 0;
  uint32_t Param6 = 0;
  TVarLengthField<CImgSnapshotInfo> Snapshots;

  // Zero-filled like the other members; the long text through the
  // library's memset, which keeps a decode's many default records cheap.
  CImgInfoEx() { ZeroLongBlock(Text2, sizeof(Text2)); }
  virtual ~CImgInfoEx() = default;
  template <class V>
  int Fields(V& v) {
    return v.U32("ImageId", ImageId) || v.U32("Param2", Param2) ||
           v.U32("Param3", Param3) || v.Text("Text1", Text1) ||
           v.U32("Param4", Param4) || v.Text("Text2", Text2) ||
           v.U32("Param5", Param5) || v.U32("Param6", Param6) ||
           v.Array("Snapshots", Snapshots);
  }
  KPKT_RECORD_VIRTUAL_OPS()
};

// Tool login request (56 bytes).
class CPktToolLogin : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00020001;
  char ToolName[32] = {};
  CPktToolLogin() { Type = kCode; Length = Size(); }
  explicit CPktToolLogin(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.Text("ToolName", ToolName); }
  KPKT_PACKET_OPS()
};

// Tool login reply (36 bytes).
class CPktToolLoginAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80020001;
  uint32_t ClientType = 0;
  uint32_t ManagerEnable = 0;
  uint32_t ExtInfo = 0;
  CPktToolLoginAck() { Type = kCode; Length = Size(); }
  explicit CPktToolLoginAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.U32("ClientType", ClientType) || v.U32("ManagerEnable", ManagerEnable) ||
           v.U32("ExtInfo", ExtInfo);
  }
  KPKT_PACKET_OPS()
};

// Select-image request (32 bytes).
class CPktToolSelectImg : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x00020005;
  uint32_t Param = 0;
  uint32_t ImageId = 0;
  CPktToolSelectImg() { Type = kCode; Length = Size(); }
  explicit CPktToolSelectImg(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.U32("Param", Param) || v.U32("ImageId", ImageId); }
  KPKT_PACKET_OPS()
};

// Select-image reply (281 bytes: a success byte and a path).
class CPktToolSelectImgAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80020005;
  uint8_t bSucc = 0;
  char Path[256] = {};
  CPktToolSelectImgAck() { Type = kCode; Length = Size(); }
  explicit CPktToolSelectImgAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) { return v.U8("bSucc", bSucc) || v.Text("Path", Path); }
  KPKT_PACKET_OPS()
};

// Image-list reply (36 + 272 per image bytes).
class CPktToolQueryImgInfoListAck : public CPacketHead {
 public:
  static constexpr uint32_t kCode = 0x80020006;
  uint32_t ServerIP = 0;
  uint32_t ServerPort = 0;
  TVarLengthField<CPImageBaseInfor> Images;
  CPktToolQueryImgInfoListAck() { Type = kCode; Length = Size(); }
  explicit CPktToolQueryImgInfoListAck(const CPacketHead& h) : CPacketHead(h) {}
  template <class V>
  int Fields(V& v) {
    return v.IPv4("ServerIP", ServerIP) || v.U32("ServerPort", ServerPort) ||
           v.Array("Images", Images);
  }
  KPKT_PACKET_OPS()
};

// The template instances of the family, named for the code they send or
// receive. The image-list request has its own instance for sending; a
// received one is built as the image-info request's instance.
using CPktToolDiscover = CSimplePacketHead<0x00020000>;
using CPktToolQueryImgInfo = CSimplePacketHead<0x00020002>;
using CPktToolQueryImgList = CSimplePacketHead<0x00020006>;
using CPktToolSetAdmin =
    CSimpleVLFPacketHead<TVarLengthField<CPSetClientPowerBaseInfor>, 0x00020003>;
using CPktToolCancelAdmin =
    CSimpleVLFPacketHead<TVarLengthField<CPCancelAdministratorBaseInfor>, 0x00020004>;
using CPktToolCreateImage = CSimpleVLFPacketHead<TVarLengthField<CPImageBaseInfor>, 0x00020009>;
using CPktToolDiscoverAck =
    CSimpleVLFPacketHead<TVarLengthField<CPDiscoverAckBaseInfor>, 0x80020000>;
using CPktToolQueryImgInfoAck = CSimpleVLFPacketHead<TVarLengthField<CImgInfoEx>, 0x80020002>;
// Replies that carry only the result, in the head's ErrCode.
using CPktToolSetAdminAck = CSimplePacketHead<0x80020003>;
using CPktToolCancelAdminAck = CSimplePacketHead<0x80020004>;
using CPktToolCreateImageAck = CSimplePacketHead<0x80020009>;

}  // namespace PacketZVDiskless

// Tool family code table.
#define KELVANE_TOOL_PACKETS(ROW)                                                    \
  ROW(CPktToolDiscover::kCode, HEAD, 0, FIELDS)                                      \
  ROW(CPktToolLogin::kCode, OWN, CPktToolLogin, FIELDS)                              \
  ROW(CPktToolQueryImgInfo::kCode, HEAD, 0, FIELDS)                                  \
  ROW(CPktToolSetAdmin::kCode, VLF, CPSetClientPowerBaseInfor, FIELDS)               \
  ROW(CPktToolCancelAdmin::kCode, VLF, CPCancelAdministratorBaseInfor, FIELDS)       \
  ROW(CPktToolSelectImg::kCode, OWN, CPktToolSelectImg, FIELDS)                      \
  ROW(CPktToolQueryImgList::kCode, HEAD_AS, CPktToolQueryImgInfo::kCode, FIELDS)     \
  ROW(CPktToolCreateImage::kCode, VLF, CPImageBaseInfor, FIELDS)                     \
  ROW(CPktToolDiscoverAck::kCode, VLF, CPDiscoverAckBaseInfor, FIELDS)               \
  ROW(CPktToolLoginAck::kCode, OWN, CPktToolLoginAck, FIELDS)                        \
  ROW(CPktToolQueryImgInfoAck::kCode, VLF, CImgInfoEx, FIELDS)                       \
  ROW(CPktToolSetAdminAck::kCode, HEAD, 0, FIELDS)                                   \
  ROW(CPktToolCancelAdminAck::kCode, HEAD, 0, FIELDS)                                \
  ROW(CPktToolSelectImgAck::kCode, OWN, CPktToolSelectImgAck, FIELDS)                \
  ROW(CPktToolQueryImgInfoListAck::kCode, OWN, CPktToolQueryImgInfoListAck, FIELDS)  \
  ROW(CPktToolCreateImageAck::kCode, HEAD, 0, FIELDS)
