// One field list per packet or record serves encoding, decoding, sizing and
// description.
//
// A packet or record declares its wire fields once, in wire order:
//
//   template <class V> int Fields(V& v) {
//     return v.U32("ImageId", ImageId) || v.Text("Name", Name) ||
//            v.U32("Param1", Param1);
//   }
//
// and gets Size/Unpack/Pack from one of the KPKT_* macros below. The
// visitors stop at the first field that fails (`||` short-circuits), which
// is exactly the stream rule: fields before the failure stay handled.
//
// Text, Raw and DateTime fields are arrays passed by reference, so their
// size is the one they are declared with and written nowhere else.
//
// Field kinds a visitor understands:
//   U8, U16, U32        integers in the stream's byte order
//   IPv4                a U32 holding an IPv4 address, first octet in the
//                       most significant byte
//   Verbatim32          a number whose bytes travel in memory order
//   DateTime(a)         a uint8_t[kDateTimeSize]: six little-endian 16-bit
//                       values, year, month, day, hour, minute, second
//   Text(a)             a char[N]: N raw bytes shown as text (never assumed
//                       NUL-terminated)
//   Raw(a)              a uint8_t[N]: N raw bytes shown as hex (addresses,
//                       bitmaps)
//   Buffer(b)           a CPktBuffer
//   Array(f)            a TVarLengthField
//   Record(r)           a nested record with its own Fields()
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "protocol/PktStream.h"

namespace PacketZVDiskless {

// A DateTime field: six 16-bit values, each little-endian whatever the
// stream's byte order.
constexpr uint32_t kDateTimeSize = 12;
constexpr int kDateTimeParts = 6;
using DateTimeField = uint8_t[kDateTimeSize];

// Value i (0 = year .. 5 = second) of a DateTime field.
inline uint16_t DateTimePart(const uint8_t* t, int i) {
  return static_cast<uint16_t>(t[2 * i] | (t[2 * i + 1] << 8));
}
inline void SetDateTimePart(uint8_t* t, int i, uint16_t v) {
  t[2 * i] = static_cast<uint8_t>(v);
  t[2 * i + 1] = static_cast<uint8_t>(v >> 8);
}

// Writes every field into a stream.
struct PackVisitor {
  CPktWriteStream& m_Writer;
  int U8(const char*, uint8_t& v) { return m_Writer.WriteU8(v); }
  int U16(const char*, uint16_t& v) { return m_Writer.WriteU16(v); }
  int U32(const char*, uint32_t& v) { return m_Writer.WriteU32(v); }
  int IPv4(const char*, uint32_t& v) { return m_Writer.WriteU32(v); }
  int Verbatim32(const char*, uint32_t& v) { return m_Writer.WriteBytes(&v, 4); }
  int DateTime(const char*, DateTimeField& t) { return m_Writer.WriteBytes(t, kDateTimeSize); }
  template <size_t N>
  int Text(const char*, char (&p)[N]) { return m_Writer.WriteBytes(p, N); }
  template <size_t N>
  int Raw(const char*, uint8_t (&p)[N]) { return m_Writer.WriteBytes(p, N); }
  int Buffer(const char*, CPktBuffer& b) { return b.Pack(m_Writer); }
  template <class F>
  int Array(const char*, F& f) { return f.Pack(m_Writer); }
  template <class R>
  int Record(const char*, R& r) { return r.Pack(m_Writer); }
};

// Reads every field from a stream.
struct UnpackVisitor {
  CPktReadStream& m_Reader;
  int U8(const char*, uint8_t& v) { return m_Reader.ReadU8(v); }
  int U16(const char*, uint16_t& v) { return m_Reader.ReadU16(v); }
  int U32(const char*, uint32_t& v) { return m_Reader.ReadU32(v); }
  int IPv4(const char*, uint32_t& v) { return m_Reader.ReadU32(v); }
  int Verbatim32(const char*, uint32_t& v) { return m_Reader.ReadBytes(&v, 4); }
  int DateTime(const char*, DateTimeField& t) { return m_Reader.ReadBytes(t, kDateTimeSize); }
  template <size_t N>
  int Text(const char*, char (&p)[N]) { return m_Reader.ReadBytes(p, N); }
  template <size_t N>
  int Raw(const char*, uint8_t (&p)[N]) { return m_Reader.ReadBytes(p, N); }
  int Buffer(const char*, CPktBuffer& b) { return b.Unpack(m_Reader); }
  template <class F>
  int Array(const char*, F& f) { return f.Unpack(m_Reader); }
  template <class R>
  int Record(const char*, R& rec) { return rec.Unpack(m_Reader); }
};

// Adds up the encoded size of every field; never fails.
struct SizeVisitor {
  uint32_t m_nSize = 0;
  int U8(const char*, uint8_t&) { m_nSize += 1; return 0; }
  int U16(const char*, uint16_t&) { m_nSize += 2; return 0; }
  int U32(const char*, uint32_t&) { m_nSize += 4; return 0; }
  int IPv4(const char*, uint32_t&) { m_nSize += 4; return 0; }
  int Verbatim32(const char*, uint32_t&) { m_nSize += 4; return 0; }
  int DateTime(const char*, DateTimeField&) { m_nSize += kDateTimeSize; return 0; }
  template <size_t N>
  int Text(const char*, char (&)[N]) { m_nSize += N; return 0; }
  template <size_t N>
  int Raw(const char*, uint8_t (&)[N]) { m_nSize += N; return 0; }
  int Buffer(const char*, CPktBuffer& b) { m_nSize += b.Size(); return 0; }
  template <class F>
  int Array(const char*, F& f) { m_nSize += f.Size(); return 0; }
  template <class R>
  int Record(const char*, R& r) { m_nSize += r.Size(); return 0; }
};

template <class T>
inline T& Mutable(const T& t) { return const_cast<T&>(t); }

}  // namespace PacketZVDiskless

// Size/Unpack/Pack of a record (no head) from its Fields().
#define KPKT_RECORD_OPS_IMPL(VIRT)                                          \
  VIRT uint32_t Size() const {                                              \
    ::PacketZVDiskless::SizeVisitor v_;                                     \
    ::PacketZVDiskless::Mutable(*this).Fields(v_);                          \
    return v_.m_nSize;                                                      \
  }                                                                         \
  VIRT int Unpack(::PacketZVDiskless::CPktReadStream& r_) {                 \
    ::PacketZVDiskless::UnpackVisitor v_{r_};                               \
    return Fields(v_) ? -1 : 0;                                             \
  }                                                                         \
  VIRT int Pack(::PacketZVDiskless::CPktWriteStream& w_) const {            \
    ::PacketZVDiskless::PackVisitor v_{w_};                                 \
    return ::PacketZVDiskless::Mutable(*this).Fields(v_) ? -1 : 0;          \
  }

// Plain record: non-virtual operations.
#define KPKT_RECORD_OPS() KPKT_RECORD_OPS_IMPL()
// Polymorphic record: virtual Size/Unpack/Pack.
#define KPKT_RECORD_VIRTUAL_OPS() KPKT_RECORD_OPS_IMPL(virtual)

// Size/Unpack/Pack of a packet class derived from CPacketHead.
#define KPKT_PACKET_OPS()                                                   \
  uint32_t Size() const override {                                          \
    ::PacketZVDiskless::SizeVisitor v_;                                     \
    v_.m_nSize = ::PacketZVDiskless::kPacketHeadSize;                       \
    ::PacketZVDiskless::Mutable(*this).Fields(v_);                          \
    return v_.m_nSize;                                                      \
  }                                                                         \
  int Unpack(::PacketZVDiskless::CPktReadStream& r_) override {             \
    ::PacketZVDiskless::UnpackVisitor v_{r_};                               \
    return Fields(v_) ? -1 : 0;                                             \
  }                                                                         \
  int Pack(::PacketZVDiskless::CPktWriteStream& w_) const override {        \
    if (PackHead(w_)) return -1;                                            \
    ::PacketZVDiskless::PackVisitor v_{w_};                                 \
    return ::PacketZVDiskless::Mutable(*this).Fields(v_) ? -1 : 0;          \
  }
