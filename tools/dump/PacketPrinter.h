// Output of kelvane-dump: one packet at a time, as text or one JSON object
// per line, with where it came from, narrowed by a filter on its type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <set>
#include <string>

#include "describe/PacketDescribe.h"

namespace kdl::dump {

// Where a packet was found.
struct PacketOrigin {
  uint64_t offset = 0;     // byte stream: offset of its first byte in the input
  bool captured = false;   // from a capture file: the fields below are set
  uint64_t frame = 0;      // number of the capture record (1-based) that completed it
  int64_t seconds = 0;     // capture time, UTC
  uint32_t micros = 0;
  const char* transport = "";  // "udp" or "tcp"
  std::string src, dst;        // dotted addresses
  uint16_t sport = 0, dport = 0;
  const char* direction = "";  // "to server", "from server" or "" when unknown
};

// The packets to show: by type code, class name (whole, or the template's
// name before '<') or role name ("login reply"). Empty: every packet.
class TypeFilter {
 public:
  // Adds a term. False (with a reason) for a term that names no code.
  bool Add(const std::string& term, std::string* why);
  bool Matches(uint32_t code) const { return m_codes.empty() || m_codes.count(code) != 0; }

 private:
  std::set<uint32_t> m_codes;
};

// Describes packets and prints them; remembers whether anything failed.
class PacketPrinter {
 public:
  PacketPrinter(bool json, bool netOrder, const TypeFilter& filter, std::ostream& out,
                std::ostream& err)
      : m_bJson(json), m_bNetOrder(netOrder), m_Filter(filter), m_Out(out), m_Err(err) {}

  // Decodes, describes and prints one packet, if the filter lets its type
  // through. A packet that does not decode is always shown, as an error.
  void Packet(const uint8_t* data, size_t size, const PacketOrigin& origin);

  // A fault of the input at `origin` (a stream ending mid-packet, a Length
  // that cannot frame a packet, a capture that ends early): always shown.
  void Problem(const std::string& message, const PacketOrigin& origin);

  // Shows no more than `limit` packets (0: no limit); what comes after is
  // left out, faults included.
  void SetLimit(size_t limit) { m_nLimit = limit; }
  bool Full() const { return m_nLimit != 0 && m_nShown >= m_nLimit; }
  // Writes out what is buffered; false when the output failed.
  bool Flush();

  // 0 when every packet decoded and nothing went wrong, else 1.
  int Status() const { return m_nFailures ? 1 : 0; }
  size_t Decoded() const { return m_nDecoded; }
  // Decoded packets that passed the filter.
  size_t Shown() const { return m_nShown; }

 private:
  void Emit(const describe::Json& description, const PacketOrigin& origin, bool failed);

  bool m_bJson;
  bool m_bNetOrder;
  const TypeFilter& m_Filter;
  std::ostream& m_Out;
  std::ostream& m_Err;
  size_t m_nShown = 0;
  size_t m_nDecoded = 0;
  size_t m_nFailures = 0;
  size_t m_nLimit = 0;
};

// "2026-03-05T11:56:06.437512Z"
std::string CaptureTimeText(int64_t seconds, uint32_t micros);

}  // namespace kdl::dump
