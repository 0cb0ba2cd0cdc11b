// Decode/encode helpers shared by the server-side family tests.
#pragma once

#include <cstdint>
#include <memory>

#include <gtest/gtest.h>

#include "protocol/PacketFactory.h"
#include "protocol/PacketHead.h"
#include "tests/protocol/TestBytes.h"

namespace kdl::test {

// A packet decoded by the factory together with the bytes and the stream it
// was read from (some packets keep pointing into them).
struct Decoded {
  Bytes wire;
  std::unique_ptr<PacketZVDiskless::CPktReadStream> stream;
  std::unique_ptr<PacketZVDiskless::CPacketHead> packet;

  template <class T>
  T* As() const { return dynamic_cast<T*>(packet.get()); }
};

inline Decoded DecodeWire(const Bytes& wire, bool netOrder = false) {
  Decoded d;
  d.wire = wire;
  d.stream = std::make_unique<PacketZVDiskless::CPktReadStream>(
      d.wire.data(), static_cast<uint32_t>(d.wire.size()), netOrder);
  d.packet.reset(PacketZVDiskless::CreatePacket(*d.stream));
  return d;
}

// Packs into a buffer of exactly Size() bytes; empty when Pack fails or
// leaves part of the buffer unwritten.
inline Bytes PackWire(const PacketZVDiskless::CPacketHead& p, bool netOrder = false) {
  Bytes out(p.Size(), 0xEE);
  PacketZVDiskless::CPktWriteStream w(out.data(), static_cast<uint32_t>(out.size()), netOrder);
  if (p.Pack(w) != 0 || w.m_nPos != out.size()) return Bytes();
  return out;
}

// Decodes `wire` as T, checks that the whole message was read, that Size()
// is the message length, and that packing gives the same bytes back.
// Returns the decoded message (null packet on failure, already reported).
template <class T>
Decoded ExpectRoundTrip(const Bytes& wire, bool netOrder = false) {
  Decoded d = DecodeWire(wire, netOrder);
  T* p = d.As<T>();
  EXPECT_NE(p, nullptr) << "message did not decode as the expected class";
  if (!p) {
    d.packet.reset();
    return d;
  }
  EXPECT_EQ(d.stream->m_nPos, wire.size());
  EXPECT_EQ(p->Size(), wire.size());
  Bytes back = PackWire(*p, netOrder);
  EXPECT_EQ(ToHex(back), ToHex(wire));
  return d;
}

// True when the factory refuses `wire`.
inline bool Refused(const Bytes& wire, bool netOrder = false) {
  return DecodeWire(wire, netOrder).packet == nullptr;
}

// A zero-filled head with the given Type and Length, little-endian.
inline Bytes LeHead(uint32_t type, uint32_t length) {
  Bytes b(24, 0);
  for (int i = 0; i < 4; ++i) {
    b[4 + i] = static_cast<uint8_t>(type >> (8 * i));
    b[8 + i] = static_cast<uint8_t>(length >> (8 * i));
  }
  return b;
}

// A fresh packet of class T has its code and minimum length in the head and
// packs to that head followed by `size - 24` zero bytes.
template <class T>
void ExpectFreshIsZero(uint32_t size) {
  T fresh;
  EXPECT_EQ(fresh.Type, T::kCode);
  EXPECT_EQ(fresh.Length, size);
  EXPECT_EQ(ToHex(PackWire(fresh)), ToHex(LeHead(T::kCode, size) + Bytes(size - 24, 0)));
}

}  // namespace kdl::test
