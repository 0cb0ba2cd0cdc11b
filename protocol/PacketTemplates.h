// The generic packet shapes: head only, head plus one counted array of
// records, and head plus one exception payload; and the counted array itself.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "protocol/CarveSpace.h"
#include "protocol/FieldVisitors.h"
#include "protocol/PacketHead.h"

namespace PacketZVDiskless {

// A packet that is only the 24-byte head. `Code` is the type it is sent
// with; a received packet keeps the Type it arrived with.
template <uint32_t Code>
class CSimplePacketHead : public CPacketHead {
 public:
  static constexpr uint32_t kCode = Code;
  CSimplePacketHead() {
    Type = Code;
    Length = kPacketHeadSize;
  }
  explicit CSimplePacketHead(const CPacketHead& head) : CPacketHead(head) {}

  uint32_t Size() const override { return kPacketHeadSize; }
  int Unpack(CPktReadStream&) override { return 0; }
  int Pack(CPktWriteStream& w) const override { return PackHead(w) ? -1 : 0; }
  template <class V>
  int Fields(V&) { return 0; }
};

// A counted array of records: u32 count, then the records back to back.
//
// The array remembers how many records it really holds (m_nAllocated), apart
// from m_nCount, which a failed decode may leave at the received value; every
// access and every release goes by what the array holds.
template <class Item>
class TVarLengthField {
 public:
  using ItemType = Item;
  uint32_t m_nCount = 0;
  Item* m_pItems = nullptr;

  TVarLengthField() = default;
  ~TVarLengthField() { Release(); }
  TVarLengthField(const TVarLengthField&) = delete;
  TVarLengthField& operator=(const TVarLengthField&) = delete;

  // Replaces the records by `n` default (zero-filled) ones. Returns 0, or -1
  // when the allocation failed (the field is then empty).
  int SetCount(uint32_t n) {
    Release();
    m_pItems = NewItems(n);
    if (!m_pItems) return -1;
    m_nCount = m_nAllocated = n;
    return 0;
  }

  Item* GetAt(uint32_t i) { return i < Held() ? &m_pItems[i] : nullptr; }
  const Item* GetAt(uint32_t i) const { return i < Held() ? &m_pItems[i] : nullptr; }

  // The records' own operations are called as Item's (Item::Size and so on):
  // the array holds Items and nothing derived, so a virtual call would only
  // cost its dispatch.
  uint32_t Size() const {
    if constexpr (kFixedItemSize != 0) {
      return 4 + kFixedItemSize * Held();
    } else {
      uint32_t n = 4;
      for (uint32_t i = 0; i < Held(); ++i) n += m_pItems[i].Item::Size();
      return n;
    }
  }

  int Unpack(CPktReadStream& r) {
    if (r.ReadU32(m_nCount)) return -1;
    // Every record takes at least MinItemSize() bytes, so a count the rest of
    // the message cannot hold is refused before anything is allocated.
    if (uint64_t(m_nCount) * MinItemSize() > r.Remaining()) return -1;
    Release(/*keepCount=*/true);
    if (m_nCount != 0 && BlockCopies(r.m_bNetOrder)) {
      // The count check above left room for every record: the copy fills
      // them all, so they are not zero-filled first.
      m_pItems = kCopyCreates ? FlatRoom(m_nCount) : NewItems(m_nCount);
      if (!m_pItems) return -1;
      m_nAllocated = m_nCount;
      return r.ReadBytes(m_pItems, m_nCount * kFixedItemSize);
    }
    m_pItems = NewItems(m_nCount);
    if (!m_pItems) return -1;
    m_nAllocated = m_nCount;
    detail::CCarveSpace nested(&m_pCarveChunks, r.Remaining());
    for (uint32_t i = 0; i < m_nCount; ++i)
      if (m_pItems[i].Item::Unpack(r)) return -1;
    return 0;
  }

  int Pack(CPktWriteStream& w) const {
    uint32_t n = Held();
    if (w.WriteU32(n)) return -1;
    // One block when it fits; otherwise record by record, so that a short
    // buffer fails after the same records as always.
    if (n != 0 && BlockCopies(w.m_bNetOrder) &&
        uint64_t(n) * kFixedItemSize <= w.Remaining())
      return w.WriteBytes(m_pItems, n * kFixedItemSize);
    for (uint32_t i = 0; i < n; ++i)
      if (m_pItems[i].Item::Pack(w)) return -1;
    return 0;
  }

  // Number of records the array really holds.
  uint32_t Held() const { return m_nCount < m_nAllocated ? m_nCount : m_nAllocated; }

 private:
  template <class T, class = void>
  struct FixedSizeOf : std::integral_constant<uint32_t, 0> {};
  template <class T>
  struct FixedSizeOf<T, std::void_t<decltype(T::kWireSize)>>
      : std::integral_constant<uint32_t, T::kWireSize> {};
  static constexpr uint32_t kFixedItemSize = FixedSizeOf<Item>::value;
  // Records that a copy of their bytes brings into being (implicit-lifetime
  // types), so that a block copy may fill storage that holds no record yet.
  static constexpr bool kCopyCreates =
      std::is_trivially_copyable<Item>::value &&
      (std::is_aggregate<Item>::value || std::is_trivially_default_constructible<Item>::value);

  // A record declaring kDefaultIsZero has an initialiser on every member, so
  // its default constructor alone zero-fills it; value-initialising it would
  // zero the memory first and then fill it again. Other records are
  // value-initialised, which zero-fills even members without an initialiser.
  template <class T, class = void>
  struct DefaultIsZero : std::false_type {};
  template <class T>
  struct DefaultIsZero<T, std::void_t<decltype(T::kDefaultIsZero)>>
      : std::integral_constant<bool, T::kDefaultIsZero> {};

  // Storage for n records (at least one byte, so that an empty array has an
  // address too), not constructed. Freed by Release.
  static Item* Room(uint32_t n) {
    return static_cast<Item*>(::operator new(n ? size_t(n) * sizeof(Item) : 1, std::nothrow));
  }

  // n default records.
  static Item* NewItems(uint32_t n) {
    Item* p = Room(n);
    if (!p) return nullptr;
    for (uint32_t i = 0; i < n; ++i) {
      if constexpr (DefaultIsZero<Item>::value) {
        new (p + i) Item;
      } else {
        new (p + i) Item();
      }
    }
    return p;
  }

  // Room for n flat records that a block copy fills (records that are plain
  // bytes come into being by the copy): carved from the enclosing array's
  // chunks while one decodes, else allocated.
  Item* FlatRoom(uint32_t n) {
    if (detail::CCarveSpace* space = detail::CCarveSpace::Current()) {
      if (Item* p = space->Take<Item>(n)) {
        m_bCarved = true;
        return p;
      }
    }
    return Room(n);
  }

  // True when the records can travel as one block in a stream of the given
  // order: the record's encoding, in both directions, is byte for byte its
  // memory image. That holds for a record of numbers and raw blocks in member
  // order without padding, when the stream's integers are in host order; it
  // is proven once per record type by encoding and decoding a patterned
  // record, so a record that does not qualify keeps the per-field path.
  static bool BlockCopies(bool netOrder) {
    if constexpr (kFixedItemSize != 0 && sizeof(Item) == kFixedItemSize &&
                  std::is_trivially_copyable<Item>::value) {
      static const bool s_bFlat = IsMemoryImage(false) && IsMemoryImage(true);
      return s_bFlat && netOrder == kHostBigEndian;
    } else {
      (void)netOrder;
      return false;
    }
  }

  // Pattern `which` gives every offset a byte from its low (false) or high
  // (true) bits, so that any moved byte shows in one of the two patterns.
  static bool IsMemoryImage(bool which) {
    std::vector<unsigned char> image(kFixedItemSize), packed(kFixedItemSize);
    for (uint32_t i = 0; i < kFixedItemSize; ++i)
      image[i] = static_cast<unsigned char>(which ? (i >> 8) * 37 + 11 : i * 7 + 3);
    Item in;
    std::memcpy(static_cast<void*>(&in), image.data(), kFixedItemSize);
    CPktWriteStream w(packed.data(), kFixedItemSize, kHostBigEndian);
    if (in.Pack(w) != 0 || w.m_nPos != kFixedItemSize || packed != image) return false;
    // The reader gets its own copy of the image and frees it.
    void* copy = std::malloc(kFixedItemSize);
    if (copy == nullptr) return false;
    std::memcpy(copy, image.data(), kFixedItemSize);
    CPktReadStream r(copy, kFixedItemSize, kHostBigEndian, /*owner=*/true);
    Item out;
    return out.Unpack(r) == 0 && r.m_nPos == kFixedItemSize &&
           std::memcmp(static_cast<const void*>(&out), image.data(), kFixedItemSize) == 0;
  }

  static uint32_t MinItemSize() {
    if constexpr (kFixedItemSize != 0) {
      return kFixedItemSize;
    } else {
      static const uint32_t kMin = [] {
        Item empty;
        uint32_t n = empty.Size();
        return n ? n : 1u;
      }();
      return kMin;
    }
  }

  void Release(bool keepCount = false) {
    if (m_pItems) {
      if constexpr (!std::is_trivially_destructible<Item>::value) {
        for (uint32_t i = 0; i < m_nAllocated; ++i) m_pItems[i].~Item();
      }
    }
    // After the records: nested arrays carved from the chunks are gone now.
    // The chunks go before the records' own array, the reverse of their
    // allocation, as the records' arrays went before.
    detail::CCarveSpace::Retire(m_pCarveChunks);
    m_pCarveChunks = nullptr;
    if (m_pItems && !m_bCarved) ::operator delete(m_pItems);
    m_pItems = nullptr;
    m_bCarved = false;
    m_nAllocated = 0;
    if (!keepCount) m_nCount = 0;
  }

  uint32_t m_nAllocated = 0;
  bool m_bCarved = false;           // m_pItems lies in an enclosing array's chunk
  void* m_pCarveChunks = nullptr;   // the chunks of the records' nested arrays
};

// Head followed by one counted array. The code comes last here, first in
// CPktSimpleExcpPacket.
template <class Field, uint32_t Code>
class CSimpleVLFPacketHead : public CPacketHead {
 public:
  static constexpr uint32_t kCode = Code;
  Field m_Field;

  CSimpleVLFPacketHead() {
    Type = Code;
    Length = kPacketHeadSize + 4;
  }
  explicit CSimpleVLFPacketHead(const CPacketHead& head) : CPacketHead(head) {}

  template <class V>
  int Fields(V& v) { return v.Array("Items", m_Field); }
  KPKT_PACKET_OPS()
};

// Head followed by one exception payload: a record or a counted array.
template <uint32_t Code, class Payload>
class CPktSimpleExcpPacket : public CPacketHead {
 public:
  static constexpr uint32_t kCode = Code;
  Payload m_Payload{};  // a record payload starts zero-filled

  CPktSimpleExcpPacket() {
    Type = Code;
    Length = Size();
  }
  explicit CPktSimpleExcpPacket(const CPacketHead& head) : CPacketHead(head) {}

  template <class V>
  int Fields(V& v) { return Visit(v, m_Payload); }
  KPKT_PACKET_OPS()

 private:
  template <class V, class I>
  static int Visit(V& v, TVarLengthField<I>& f) { return v.Array("Items", f); }
  template <class V, class R>
  static int Visit(V& v, R& r) { return v.Record("Record", r); }
};

}  // namespace PacketZVDiskless
