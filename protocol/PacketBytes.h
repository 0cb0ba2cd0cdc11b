// A packet packed for sending, the one way every sender of the protocol packs
// it: Length set to Size(), then Size() bytes, zero-filled first, written by
// the packet's Pack in little-endian order.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/PacketHead.h"

namespace PacketZVDiskless {

// The bytes lie in a buffer that the writer owns (its m_bOwner is set), and
// nothing throws: a sender that runs out of memory only has nothing to send.
class CPackedPacket {
 public:
  // Sets packet.Length to packet.Size() and packs the packet.
  explicit CPackedPacket(CPacketHead& packet);
  CPackedPacket(const CPackedPacket&) = delete;
  CPackedPacket& operator=(const CPackedPacket&) = delete;

  // False when the buffer could not be allocated or Pack failed: then there
  // is nothing to send.
  bool Packed() const { return m_bPacked; }
  // All Size() bytes, also when Pack wrote fewer (the rest stay zero).
  const uint8_t* Data() const { return m_writer.m_pData; }
  uint32_t Size() const { return m_writer.m_nSize; }
  // The bytes Pack wrote: Size(), except for a packet whose sender appends
  // data after its fixed part (CPktWriteDiskIO).
  uint32_t Written() const { return m_writer.m_nPos; }

 private:
  uint32_t m_nSize;  // before m_writer, which is built with it
  CPktWriteStream m_writer;
  bool m_bPacked = false;
};

// The same bytes as a vector; empty when Pack fails. Throws std::bad_alloc
// when no memory is left.
std::vector<uint8_t> PacketBytes(CPacketHead& packet);

}  // namespace PacketZVDiskless
