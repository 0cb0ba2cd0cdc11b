#include "protocol/PacketFactory.h"

#include <memory>
#include <new>

#include "protocol/AllPackets.h"

namespace PacketZVDiskless {
namespace {

// One compiled switch over every code of every family.
CPacketHead* NewPacket(const CPacketHead& head) {
#define KPKT_FACTORY_CASE(code, KIND, arg, TAIL) \
  case code:                                     \
    return new (std::nothrow) KPKT_TYPE(code, KIND, arg)(head);
  switch (head.Type) {
    KELVANE_ALL_PACKETS(KPKT_FACTORY_CASE)
    default:
      return nullptr;
  }
#undef KPKT_FACTORY_CASE
}

}  // namespace

CPacketHead* CreatePacket(CPktReadStream& stream) {
  CPacketHead head;
  if (head.UnpackHead(stream)) return nullptr;
  std::unique_ptr<CPacketHead> packet(NewPacket(head));
  if (!packet || packet->Unpack(stream)) return nullptr;
  return packet.release();
}

}  // namespace PacketZVDiskless
