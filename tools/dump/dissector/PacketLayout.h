// The wire layout of every packet of the code tables, as the classes' field
// lists give it: what the dissector generator writes out as Lua.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdl::dump {

// The field kinds of the field lists (protocol/FieldVisitors.h).
enum class FieldKind {
  kU8, kU16, kU32, kIPv4, kVerbatim32, kDateTime, kText, kRaw, kBuffer, kArray, kRecord
};

struct FieldLayout {
  FieldKind kind;
  std::string name;
  uint32_t size = 0;  // bytes of a fixed-size field (0 for buffers, arrays, records)
  int record = -1;    // arrays and records: index into LayoutSet::records
};

// The fields of a record type, or of a packet class after its head.
struct RecordLayout {
  std::string name;         // the record type, or the class without template arguments
  std::vector<FieldLayout> fields;
  uint32_t minSize = 0;     // encoded size with every array and buffer empty
};

struct PacketLayout {
  uint32_t code;
  const char* className;    // as PacketClassName gives it
  const char* role;         // PacketRoleName, or null
  bool keepsData;           // the bytes after the fields are data
  RecordLayout body;
};

struct LayoutSet {
  std::vector<RecordLayout> records;  // every record type any packet carries
  std::vector<PacketLayout> packets;  // table order
};

// The layouts of all rows of the packet tables. Fails (returns false with a
// reason) when a class or record does not list its fields, since the
// dissector could not show it.
bool BuildLayouts(LayoutSet* set, std::string* why);

}  // namespace kdl::dump
