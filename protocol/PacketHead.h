// The 24-byte head that starts every packet, and the base class of all
// packet classes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/PktStream.h"

namespace PacketZVDiskless {

constexpr uint32_t kPacketHeadSize = 24;

// Bit 31 of a type code marks a reply; a reply carries its request's code
// with that bit set.
constexpr uint32_t kReplyFlag = 0x80000000u;
constexpr uint32_t ReplyCodeOf(uint32_t requestCode) { return requestCode | kReplyFlag; }

// Base of every packet: six head words, and the virtual encode/decode
// contract that each packet class fulfils.
//
//  - Size() is the whole packet on the wire, head included.
//  - Unpack() reads the body only: the factory has already read the head.
//  - Pack() writes the head, then the body; -1 at the first failing field.
class CPacketHead {
 public:
  uint32_t Reserved0 = 0;
  uint32_t Type = 0;
  uint32_t Length = 0;
  uint32_t Reserved3 = 0;
  uint32_t ErrCode = 0;
  uint32_t Reserved5 = 0;

  CPacketHead() = default;
  CPacketHead(const CPacketHead& head) = default;  // copies all six words
  CPacketHead& operator=(const CPacketHead&) = default;
  virtual ~CPacketHead() = default;

  virtual uint32_t Size() const { return kPacketHeadSize; }

  virtual int Unpack(CPktReadStream& r) {
    if (r.Remaining() < kPacketHeadSize) return -1;
    r.ReadU32(Reserved0);
    r.ReadU32(Type);
    r.ReadU32(Length);
    r.ReadU32(Reserved3);
    r.ReadU32(ErrCode);
    r.ReadU32(Reserved5);
    return 0;
  }

  virtual int Pack(CPktWriteStream& w) const {
    if (w.Remaining() < kPacketHeadSize) return -1;
    w.WriteU32(Reserved0);
    w.WriteU32(Type);
    w.WriteU32(Length);
    w.WriteU32(Reserved3);
    w.WriteU32(ErrCode);
    w.WriteU32(Reserved5);
    return 0;
  }

  // Head words only, whatever the dynamic type (used by the factory).
  int UnpackHead(CPktReadStream& r) { return CPacketHead::Unpack(r); }
  int PackHead(CPktWriteStream& w) const { return CPacketHead::Pack(w); }
};

}  // namespace PacketZVDiskless
