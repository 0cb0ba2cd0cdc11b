#include "protocol/PacketBytes.h"

#include <cstdlib>
#include <new>

namespace PacketZVDiskless {
namespace {

uint32_t SetLength(CPacketHead& packet) {
  packet.Length = packet.Size();
  return packet.Length;
}

}  // namespace

CPackedPacket::CPackedPacket(CPacketHead& packet)
    : m_nSize(SetLength(packet)),
      m_writer(std::calloc(m_nSize ? m_nSize : 1, 1), m_nSize, /*netOrder=*/false,
               /*owner=*/true) {
  m_bPacked = m_writer.m_pData != nullptr && packet.Pack(m_writer) == 0;
}

std::vector<uint8_t> PacketBytes(CPacketHead& packet) {
  const CPackedPacket packed(packet);
  if (packed.Data() == nullptr) throw std::bad_alloc();
  if (!packed.Packed()) return {};
  return std::vector<uint8_t>(packed.Data(), packed.Data() + packed.Size());
}

}  // namespace PacketZVDiskless
