#include "tools/dump/dissector/PacketLayout.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

#include "describe/PacketDescribe.h"
#include "protocol/AllPackets.h"

namespace kdl::dump {
namespace {

using namespace PacketZVDiskless;  // the tables name classes unqualified
using namespace describe;

// The type's name as written in the source, without the namespace.
template <class T>
std::string TypeName() {
  int status = 0;
  char* full = abi::__cxa_demangle(typeid(T).name(), nullptr, nullptr, &status);
  std::string name = status == 0 && full ? full : typeid(T).name();
  std::free(full);
  const std::string ns = "PacketZVDiskless::";
  for (size_t at; (at = name.find(ns)) != std::string::npos;) name.erase(at, ns.size());
  return name;
}

// Records the fields a class or record passes to it.
class LayoutVisitor {
 public:
  LayoutVisitor(LayoutSet& set, RecordLayout& into, std::string& why)
      : m_Set(set), m_Into(into), m_Why(why) {}

  int U8(const char* n, uint8_t&) { return Add(FieldKind::kU8, n, 1); }
  int U16(const char* n, uint16_t&) { return Add(FieldKind::kU16, n, 2); }
  int U32(const char* n, uint32_t&) { return Add(FieldKind::kU32, n, 4); }
  int IPv4(const char* n, uint32_t&) { return Add(FieldKind::kIPv4, n, 4); }
  int Verbatim32(const char* n, uint32_t&) { return Add(FieldKind::kVerbatim32, n, 4); }
  int DateTime(const char* n, DateTimeField&) {
    return Add(FieldKind::kDateTime, n, kDateTimeSize);
  }
  template <size_t N>
  int Text(const char* n, char (&)[N]) { return Add(FieldKind::kText, n, N); }
  template <size_t N>
  int Raw(const char* n, uint8_t (&)[N]) { return Add(FieldKind::kRaw, n, N); }
  int Buffer(const char* n, CPktBuffer&) { return Add(FieldKind::kBuffer, n, 0); }

  template <class F>
  int Array(const char* n, F&) {
    if constexpr (detail::IsCountedArray<F>::value) {
      return Add(FieldKind::kArray, n, 0, RecordOf<typename F::ItemType>());
    } else {
      m_Why = std::string("field ") + n + " is an array of no known form";
      return -1;
    }
  }
  template <class R>
  int Record(const char* n, R&) {
    return Add(FieldKind::kRecord, n, 0, RecordOf<R>());
  }

  // Index of the record type R in the set, walked on first use; -1 when it
  // lists no fields.
  template <class R>
  int RecordOf() {
    const std::string name = TypeName<R>();
    for (size_t i = 0; i < m_Set.records.size(); ++i)
      if (m_Set.records[i].name == name) return static_cast<int>(i);
    if constexpr (detail::HasFields<R, LayoutVisitor>::value) {
      const int index = static_cast<int>(m_Set.records.size());
      m_Set.records.push_back({name, {}, 0});  // claims the name before nested records
      RecordLayout layout{name, {}, 0};
      R empty{};
      LayoutVisitor sub(m_Set, layout, m_Why);
      if (empty.Fields(sub)) return -1;
      layout.minSize = empty.Size();
      m_Set.records[static_cast<size_t>(index)] = std::move(layout);
      return index;
    } else {
      m_Why = "record " + name + " lists no fields";
      return -1;
    }
  }

 private:
  int Add(FieldKind kind, const char* name, uint32_t size, int record = 0) {
    if (record < 0) return -1;
    m_Into.fields.push_back({kind, name, size, kind == FieldKind::kArray ||
                                                       kind == FieldKind::kRecord
                                                   ? record
                                                   : -1});
    return 0;
  }

  LayoutSet& m_Set;
  RecordLayout& m_Into;
  std::string& m_Why;
};

template <class T>
bool AddPacket(uint32_t code, LayoutSet* set, std::string* why) {
  const char* cls = PacketClassName(code);
  std::string owner(cls);
  PacketLayout p{code, cls, PacketRoleName(code), KeepsDataInStream(code),
                 {owner.substr(0, owner.find('<')), {}, 0}};
  if constexpr (detail::HasFields<T, LayoutVisitor>::value) {
    CPacketHead head;
    head.Type = code;
    T empty(head);
    LayoutVisitor v(*set, p.body, *why);
    if (empty.Fields(v)) {
      *why = CodeText(code) + ": " + *why;
      return false;
    }
    SizeVisitor size;
    empty.Fields(size);
    p.body.minSize = size.m_nSize;
  } else {
    *why = CodeText(code) + " " + cls + " lists no fields";
    return false;
  }
  set->packets.push_back(std::move(p));
  return true;
}

}  // namespace

bool BuildLayouts(LayoutSet* set, std::string* why) {
  *set = LayoutSet();
  bool ok = true;
#define KLAYOUT_ROW(code, KIND, arg, TAIL) \
  ok = ok && AddPacket<KPKT_TYPE(code, KIND, arg)>(code, set, why);
  KELVANE_ALL_PACKETS(KLAYOUT_ROW)
#undef KLAYOUT_ROW
  return ok;
}

}  // namespace kdl::dump
