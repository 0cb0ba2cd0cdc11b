#include "describe/PacketDescribe.h"

#include <cstdio>
#include <limits>
#include <memory>
#include <sstream>

#include "protocol/AllPackets.h"
#include "protocol/PacketFactory.h"

namespace kdl::describe {

// The packet tables name classes and codes unqualified.
using namespace PacketZVDiskless;

std::string HexOf(const void* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  const uint8_t* b = static_cast<const uint8_t*>(p);
  std::string s;
  s.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[b[i] >> 4];
    s += kDigits[b[i] & 15];
  }
  return s;
}

std::string TextOf(const char* p, size_t n) {
  const void* nul = std::memchr(p, 0, n);
  size_t len = nul ? static_cast<size_t>(static_cast<const char*>(nul) - p) : n;
  std::string s;
  s.reserve(len);
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return s;
}

std::string CodeText(uint32_t code) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) s += kDigits[(code >> shift) & 15];
  return s;
}

std::string DateTimeText(const uint8_t* t) {
  unsigned v[kDateTimeParts];
  for (int i = 0; i < kDateTimeParts; ++i) v[i] = DateTimePart(t, i);
  char text[48];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", v[0], v[1], v[2], v[3], v[4],
                v[5]);
  return text;
}

const char* PacketRoleName(uint32_t code) {
  struct Role {
    uint32_t code;
    const char* name;
  };
  static const Role kRoles[] = {
      {CPktToolDiscover::kCode, "discover request"},
      {CPktToolDiscoverAck::kCode, "discover reply"},
      {CPktToolLogin::kCode, "login request"},
      {CPktToolLoginAck::kCode, "login reply"},
      {CPktToolQueryImgInfo::kCode, "image-info request"},
      {CPktToolQueryImgInfoAck::kCode, "image-info reply"},
      {CPktToolSetAdmin::kCode, "set-administrator request"},
      {CPktToolSetAdminAck::kCode, "set-administrator reply"},
      {CPktToolCancelAdmin::kCode, "cancel-administrator request"},
      {CPktToolCancelAdminAck::kCode, "cancel-administrator reply"},
      {CPktToolSelectImg::kCode, "select-image request"},
      {CPktToolSelectImgAck::kCode, "select-image reply"},
      {CPktToolQueryImgList::kCode, "image-list request"},
      {CPktToolQueryImgInfoListAck::kCode, "image-list reply"},
      {CPktToolCreateImage::kCode, "create-image request"},
      {CPktToolCreateImageAck::kCode, "create-image reply"},
      {CPktClientKeepAlive::kCode, "keep-alive"},
  };
  for (const Role& r : kRoles)
    if (r.code == code) return r.name;
  return nullptr;
}

const char* PacketClassName(uint32_t code) {
#define KDUMP_NAME_CASE(code, KIND, arg, TAIL) \
  case code:                                   \
    return KPKT_NAME(code, KIND, arg);
  switch (code) {
    KELVANE_ALL_PACKETS(KDUMP_NAME_CASE)
    default:
      return nullptr;
  }
#undef KDUMP_NAME_CASE
}

const std::vector<CodeRow>& AllPacketCodes() {
#define KDUMP_ROW(code, KIND, arg, TAIL) CodeRow{code, KPKT_NAME(code, KIND, arg)},
  static const std::vector<CodeRow> kRows = {KELVANE_ALL_PACKETS(KDUMP_ROW)};
#undef KDUMP_ROW
  return kRows;
}

bool KeepsDataInStream(uint32_t code) {
#define KDUMP_KEEPS_CASE(code, KIND, arg, TAIL) \
  case code:                                    \
    return KPKT_KEEPS_DATA(TAIL);
  switch (code) {
    KELVANE_ALL_PACKETS(KDUMP_KEEPS_CASE)
    default:
      return false;
  }
#undef KDUMP_KEEPS_CASE
}

namespace {

// Walks the fields of a packet whose class is T, if it really is one.
template <class T>
bool DescribeAs(const CPacketHead& packet, bool netOrder, Json& fields) {
  const T* typed = dynamic_cast<const T*>(&packet);
  if (!typed) return false;
  if constexpr (detail::HasFields<T, DescribeVisitor>::value) {
    DescribeVisitor v(fields, netOrder);
    Mutable(*typed).Fields(v);
    return true;
  } else {
    return false;
  }
}

// Reads the fields of class T from the bytes after the head into a fresh
// object and describes them; *consumed is where the fields end. False when
// the fields do not fit in the bytes or T lists none.
template <class T>
bool DescribeFromBytes(const CPacketHead& head, const uint8_t* data, uint32_t size,
                       bool netOrder, Json& fields, uint32_t* consumed) {
  if constexpr (detail::HasFields<T, UnpackVisitor>::value) {
    T fresh(head);
    CPktReadStream r(data, size, netOrder);
    r.m_nPos = kPacketHeadSize;
    UnpackVisitor in{r};
    if (fresh.Fields(in)) return false;
    DescribeVisitor out(fields, netOrder);
    fresh.Fields(out);
    *consumed = r.m_nPos;
    return true;
  } else {
    return false;
  }
}

// DescribeFromBytes for the class of the packet's code; only the classes
// that keep data in the stream take this path.
bool DescribeWireFields(const CPacketHead& packet, const uint8_t* data, uint32_t size,
                        bool netOrder, Json& fields, uint32_t* consumed) {
  fields = Json::object();
#define KDUMP_WIRE_CASE(code, KIND, arg, TAIL) KDUMP_WIRE_CASE_##TAIL(code, KIND, arg)
#define KDUMP_WIRE_CASE_FIELDS(code, KIND, arg)
#define KDUMP_WIRE_CASE_DATA(code, KIND, arg)                                           \
  case code:                                                                           \
    return DescribeFromBytes<KPKT_TYPE(code, KIND, arg)>(packet, data, size, netOrder, \
                                                         fields, consumed);
  switch (packet.Type) {
    KELVANE_ALL_PACKETS(KDUMP_WIRE_CASE)
    default:
      return false;
  }
#undef KDUMP_WIRE_CASE_DATA
#undef KDUMP_WIRE_CASE_FIELDS
#undef KDUMP_WIRE_CASE
}

Json ErrorObject(const std::string& message, size_t size) {
  Json j = Json::object();
  j["error"] = message;
  j["bytes"] = size;
  return j;
}

}  // namespace

bool DescribeFields(const CPacketHead& packet, bool netOrder, Json& fields) {
  fields = Json::object();
#define KDUMP_FIELDS_CASE(code, KIND, arg, TAIL) \
  case code:                                     \
    return DescribeAs<KPKT_TYPE(code, KIND, arg)>(packet, netOrder, fields);
  switch (packet.Type) {
    KELVANE_ALL_PACKETS(KDUMP_FIELDS_CASE)
    default:
      return false;
  }
#undef KDUMP_FIELDS_CASE
}

Json DescribeDecoded(const CPacketHead& packet, const uint8_t* data, size_t size,
                     uint32_t consumed, bool netOrder) {
  const char* name = PacketClassName(packet.Type);
  const char* role = PacketRoleName(packet.Type);
  Json j = Json::object();
  j["type"] = CodeText(packet.Type);
  j["class"] = name ? name : "?";
  if (role) j["name"] = role;
  j["bytes"] = size;
  j["length"] = packet.Length;
  j["length_ok"] = packet.Length == size;
  Json head = Json::object();
  head["Reserved0"] = packet.Reserved0;
  head["Type"] = packet.Type;
  head["Length"] = packet.Length;
  head["Reserved3"] = packet.Reserved3;
  head["ErrCode"] = packet.ErrCode;
  head["Reserved5"] = packet.Reserved5;
  j["head"] = std::move(head);

  if (consumed > size) consumed = static_cast<uint32_t>(size);
  Json fields;
  bool listed = false;
  if (KeepsDataInStream(packet.Type) && size <= std::numeric_limits<uint32_t>::max())
    listed = DescribeWireFields(packet, data, static_cast<uint32_t>(size), netOrder, fields,
                                &consumed);
  if (!listed) listed = DescribeFields(packet, netOrder, fields);
  j["fields"] = std::move(fields);

  // A class that does not list its fields still shows the body it read.
  if (!listed && consumed > kPacketHeadSize)
    j["body"] = HexOf(data + kPacketHeadSize, consumed - kPacketHeadSize);
  if (KeepsDataInStream(packet.Type))
    j["data"] = HexOf(data + consumed, size - consumed);
  else if (consumed < size)
    j["surplus"] = HexOf(data + consumed, size - consumed);
  return j;
}

Json DescribePacket(const uint8_t* data, size_t size, bool netOrder) {
  if (size > std::numeric_limits<uint32_t>::max()) return ErrorObject("packet too large", size);
  if (size < kPacketHeadSize) return ErrorObject("packet shorter than the 24-byte head", size);

  CPacketHead head;
  CPktReadStream headReader(data, static_cast<uint32_t>(size), netOrder);
  head.UnpackHead(headReader);
  const char* name = PacketClassName(head.Type);
  if (!name) {
    Json j = ErrorObject("unknown type code " + CodeText(head.Type), size);
    j["type"] = CodeText(head.Type);
    return j;
  }

  CPktReadStream reader(data, static_cast<uint32_t>(size), netOrder);
  std::unique_ptr<CPacketHead> packet(CreatePacket(reader));
  if (!packet) {
    Json j = ErrorObject(std::string("body of ") + name + " does not decode", size);
    j["type"] = CodeText(head.Type);
    return j;
  }
  return DescribeDecoded(*packet, data, size, reader.m_nPos, netOrder);
}

namespace {

// A value, with its readable text (if any) in brackets after it.
void FormatValue(std::ostringstream& os, const Json& v, const Json* readable = nullptr) {
  std::string text = readable && readable->is_string() ? readable->get<std::string>() : "";
  if (v.is_number_unsigned()) {
    uint64_t n = v.get<uint64_t>();
    os << n;
    if (n >= 10 || !text.empty()) {
      os << " (";
      if (n >= 10) os << "0x" << std::hex << n << std::dec << (text.empty() ? "" : ", ");
      os << text << ")";
    }
  } else {
    os << v.dump();
    if (!text.empty()) os << " (" << text << ")";
  }
}

bool IsReadableOf(const Json& obj, const std::string& key) {
  const std::string suffix = kReadableSuffix;
  return key.size() > suffix.size() &&
         key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0 &&
         obj.contains(key.substr(0, key.size() - suffix.size()));
}

void FormatObject(std::ostringstream& os, const Json& obj, int indent) {
  std::string pad(indent, ' ');
  for (const auto& item : obj.items()) {
    const Json& v = item.value();
    if (IsReadableOf(obj, item.key())) continue;  // shown beside its value
    if (v.is_object()) {
      os << pad << item.key() << ":\n";
      FormatObject(os, v, indent + 2);
    } else if (v.is_array()) {
      os << pad << item.key() << ": " << v.size() << (v.size() == 1 ? " record\n" : " records\n");
      for (size_t i = 0; i < v.size(); ++i) {
        os << pad << "  [" << i << "]";
        if (v[i].is_object()) {
          os << "\n";
          FormatObject(os, v[i], indent + 4);
        } else {
          os << " ";
          FormatValue(os, v[i]);
          os << "\n";
        }
      }
    } else {
      os << pad << item.key() << ": ";
      auto readable = obj.find(item.key() + kReadableSuffix);
      FormatValue(os, v, readable != obj.end() ? &*readable : nullptr);
      os << "\n";
    }
  }
}

}  // namespace

std::string FormatText(const Json& d) {
  std::ostringstream os;
  if (d.contains("error")) {
    os << "error: " << d["error"].get<std::string>();
    if (d.contains("bytes")) os << " (" << d["bytes"].get<uint64_t>() << " bytes)";
    os << "\n";
    return os.str();
  }
  os << d["type"].get<std::string>() << " " << d["class"].get<std::string>();
  if (d.contains("name")) os << " (" << d["name"].get<std::string>() << ")";
  os << ", "
     << d["bytes"].get<uint64_t>() << " bytes, Length " << d["length"].get<uint64_t>()
     << (d["length_ok"].get<bool>() ? " (matches)" : " (DIFFERS from the bytes received)")
     << "\n";
  Json rest = Json::object();
  for (const auto& item : d.items()) {
    const std::string& k = item.key();
    if (k == "head" || k == "fields" || k == "body" || k == "data" || k == "surplus")
      rest[k] = item.value();
  }
  FormatObject(os, rest, 2);
  return os.str();
}

}  // namespace kdl::describe
