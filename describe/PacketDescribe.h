// Describes decoded packets as JSON: the head words and every wire field
// under the name its class gives it.
//
// The field walk is a visitor with the same methods as PackVisitor, so every
// class that lists its fields for encoding is described without code of its
// own. The code-to-class switch expands the packet tables, so new families
// are described as soon as they join the tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/FieldVisitors.h"
#include "protocol/PacketHead.h"
#include "protocol/PktStream.h"
#include "util/IPv4Text.h"

namespace kdl::describe {

using Json = nlohmann::ordered_json;

// Lowercase hex of n bytes, no separators ("0a1b").
std::string HexOf(const void* p, size_t n);

// The bytes of a text field up to its first NUL, never past the field. Bytes
// from 0x80 up are taken as Latin-1, so any content yields valid UTF-8.
std::string TextOf(const char* p, size_t n);

// "0x" and eight upper-case hex digits.
std::string CodeText(uint32_t code);

// "YYYY-MM-DD hh:mm:ss" of a DateTime field (values printed as they are,
// without checking that they make a date).
std::string DateTimeText(const uint8_t* t);

// Suffix of the key that holds a field's readable text beside its raw value
// ("ServerIP" and "ServerIP_text").
constexpr const char* kReadableSuffix = "_text";

// Class name of a code of the packet tables, or null for an unknown code.
const char* PacketClassName(uint32_t code);

// What a packet of the tool family (and the keep-alive) does, as "login
// reply" or "image-list request"; null for the codes of other families.
const char* PacketRoleName(uint32_t code);

// One row of the packet tables.
struct CodeRow {
  uint32_t code;
  const char* name;
};

// Every row of the packet tables, in table order.
const std::vector<CodeRow>& AllPacketCodes();

// Whether the class of a code leaves data in the stream after its fields
// (the DATA rows of the packet tables): for them the bytes after the fields
// are data, and Pack/Unpack are not mirror images.
bool KeepsDataInStream(uint32_t code);

namespace detail {

template <class T, class V, class = void>
struct HasFields : std::false_type {};
template <class T, class V>
struct HasFields<T, V, std::void_t<decltype(std::declval<T&>().Fields(std::declval<V&>()))>>
    : std::true_type {};

template <class F, class = void>
struct IsCountedArray : std::false_type {};
template <class F>
struct IsCountedArray<F, std::void_t<decltype(std::declval<F&>().Held()),
                                     decltype(std::declval<F&>().GetAt(0u))>>
    : std::true_type {};

// Hex of whatever a part encodes to, for parts that do not list their fields.
template <class T>
std::string PackedHex(const T& part, bool netOrder) {
  std::vector<uint8_t> bytes(part.Size());
  PacketZVDiskless::CPktWriteStream w(bytes.data(), static_cast<uint32_t>(bytes.size()),
                                      netOrder);
  if (part.Pack(w)) return std::string();
  return HexOf(bytes.data(), w.m_nPos);
}

}  // namespace detail

// Fills a JSON object with the fields a class passes to it: numbers as
// numbers, texts as text, raw fields and byte buffers as hex, counted arrays
// as lists of objects and nested records as objects. Addresses and date-times
// also get their readable text under the name plus kReadableSuffix. It only
// reads.
class DescribeVisitor {
 public:
  DescribeVisitor(Json& out, bool netOrder) : m_Out(out), m_bNetOrder(netOrder) {
    if (!m_Out.is_object()) m_Out = Json::object();
  }

  int U8(const char* name, uint8_t& v) { m_Out[name] = v; return 0; }
  int U16(const char* name, uint16_t& v) { m_Out[name] = v; return 0; }
  int U32(const char* name, uint32_t& v) { m_Out[name] = v; return 0; }
  int IPv4(const char* name, uint32_t& v) {
    m_Out[name] = v;
    m_Out[std::string(name) + kReadableSuffix] = util::IPv4Text(v);
    return 0;
  }
  int Verbatim32(const char* name, uint32_t& v) { m_Out[name] = v; return 0; }
  int DateTime(const char* name, PacketZVDiskless::DateTimeField& t) {
    m_Out[name] = HexOf(t, sizeof t);
    m_Out[std::string(name) + kReadableSuffix] = DateTimeText(t);
    return 0;
  }
  template <size_t N>
  int Text(const char* name, char (&p)[N]) { m_Out[name] = TextOf(p, N); return 0; }
  template <size_t N>
  int Raw(const char* name, uint8_t (&p)[N]) { m_Out[name] = HexOf(p, N); return 0; }
  int Buffer(const char* name, PacketZVDiskless::CPktBuffer& b) {
    m_Out[name] = b.m_pBuf ? HexOf(b.m_pBuf, b.m_nLen) : std::string();
    return 0;
  }

  template <class F>
  int Array(const char* name, F& f) {
    if constexpr (detail::IsCountedArray<F>::value) {
      Json list = Json::array();
      for (uint32_t i = 0; i < f.Held(); ++i) list.push_back(Part(*f.GetAt(i)));
      m_Out[name] = std::move(list);
    } else {
      m_Out[name] = detail::PackedHex(f, m_bNetOrder);
    }
    return 0;
  }

  template <class R>
  int Record(const char* name, R& r) {
    m_Out[name] = Part(r);
    return 0;
  }

 private:
  // A record as an object when it lists its fields, else as its bytes.
  template <class R>
  Json Part(R& r) {
    if constexpr (detail::HasFields<R, DescribeVisitor>::value) {
      Json obj = Json::object();
      DescribeVisitor sub(obj, m_bNetOrder);
      r.Fields(sub);
      return obj;
    } else if constexpr (detail::IsCountedArray<R>::value) {
      Json list = Json::array();
      for (uint32_t i = 0; i < r.Held(); ++i) list.push_back(Part(*r.GetAt(i)));
      return list;
    } else {
      return detail::PackedHex(r, m_bNetOrder);
    }
  }

  Json& m_Out;
  bool m_bNetOrder;
};

// Fields of a packet built by the factory, chosen by its Type. Returns false
// (and leaves `fields` an empty object) when the Type is not in the tables or
// its class does not list its fields.
bool DescribeFields(const PacketZVDiskless::CPacketHead& packet, bool netOrder, Json& fields);

// The whole description of a decoded packet: type, class, role name (where
// the code has one), sizes, head words, fields; "data" (or "surplus") holds
// the bytes after the last field read. `data`/`size` are the bytes the
// packet was decoded from and `consumed` the reader's position after
// decoding. For a class that keeps data in the stream the fields are read
// from `data` itself, since such a class may leave some of them unread.
Json DescribeDecoded(const PacketZVDiskless::CPacketHead& packet, const uint8_t* data,
                     size_t size, uint32_t consumed, bool netOrder);

// Decodes one packet with the factory and describes it, or returns
// {"error": ..., "bytes": N} (and "type" once the head was readable).
Json DescribePacket(const uint8_t* data, size_t size, bool netOrder);

// An indented, human-readable rendering of a description.
std::string FormatText(const Json& description);

}  // namespace kdl::describe
