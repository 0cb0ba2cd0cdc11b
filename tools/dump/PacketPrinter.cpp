#include "tools/dump/PacketPrinter.h"

#include <cstdio>
#include <ctime>
#include <ostream>

namespace kdl::dump {

using describe::AllPacketCodes;
using describe::CodeRow;
using describe::DescribePacket;
using describe::FormatText;
using describe::Json;
using describe::PacketClassName;
using describe::PacketRoleName;

namespace {

// A number as C++ writes it: 0x-prefixed hex, or decimal.
bool ParseCode(const std::string& s, uint32_t* code) {
  if (s.empty()) return false;
  size_t used = 0;
  unsigned long long v = 0;
  try {
    bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    v = std::stoull(hex ? s.substr(2) : s, &used, hex ? 16 : 10);
    used += hex ? 2 : 0;
  } catch (...) {
    return false;
  }
  if (used != s.size() || v > 0xffffffffull) return false;
  *code = static_cast<uint32_t>(v);
  return true;
}

std::string TemplateName(const char* cls) {
  std::string name = cls;
  return name.substr(0, name.find('<'));
}

Json OriginJson(const PacketOrigin& o) {
  Json j = Json::object();
  if (!o.captured) {
    j["offset"] = o.offset;
    return j;
  }
  j["frame"] = o.frame;
  j["time"] = CaptureTimeText(o.seconds, o.micros);
  if (!*o.transport) return j;
  j["transport"] = o.transport;
  j["src"] = o.src;
  j["sport"] = o.sport;
  j["dst"] = o.dst;
  j["dport"] = o.dport;
  if (*o.direction) j["direction"] = o.direction;
  return j;
}

// "#12 2026-03-05T11:56:06.437512Z tcp 10.77.0.2:40312 -> 10.77.0.1:8000 (to server)"
// (only "#12 time" for a fault of the capture file itself)
std::string OriginLine(const PacketOrigin& o) {
  std::string s = "#" + std::to_string(o.frame) + " " + CaptureTimeText(o.seconds, o.micros);
  if (!*o.transport) return s;
  s += std::string(" ") + o.transport + " " + o.src + ":" + std::to_string(o.sport) + " -> " +
       o.dst + ":" + std::to_string(o.dport);
  if (*o.direction) s += std::string(" (") + o.direction + ")";
  return s;
}

}  // namespace

std::string CaptureTimeText(int64_t seconds, uint32_t micros) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  const std::tm* parts = std::gmtime(&t);
  if (parts) tm = *parts;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06uZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, micros);
  return text;
}

bool TypeFilter::Add(const std::string& term, std::string* why) {
  uint32_t code = 0;
  if (ParseCode(term, &code)) {
    if (!PacketClassName(code)) {
      *why = "no packet has the type code " + term;
      return false;
    }
    m_codes.insert(code);
    return true;
  }
  bool matched = false;
  for (const CodeRow& row : AllPacketCodes()) {
    const char* role = PacketRoleName(row.code);
    if (term == row.name || term == TemplateName(row.name) || (role && term == role)) {
      m_codes.insert(row.code);
      matched = true;
    }
  }
  if (!matched) {
    *why = "'" + term + "' is neither a type code nor a class or packet name";
    return false;
  }
  return true;
}

void PacketPrinter::Packet(const uint8_t* data, size_t size, const PacketOrigin& origin) {
  if (Full()) return;
  Json d = DescribePacket(data, size, m_bNetOrder);
  bool failed = d.contains("error");
  if (!failed) {
    ++m_nDecoded;
    uint32_t code = 0;
    ParseCode(d["type"].get<std::string>(), &code);
    if (!m_Filter.Matches(code)) return;
  }
  Emit(d, origin, failed);
}

void PacketPrinter::Problem(const std::string& message, const PacketOrigin& origin) {
  if (Full()) return;
  Json d = Json::object();
  d["error"] = message;
  Emit(d, origin, true);
}

void PacketPrinter::Emit(const Json& d, const PacketOrigin& origin, bool failed) {
  failed ? ++m_nFailures : ++m_nShown;
  if (m_bJson) {
    Json j = OriginJson(origin);
    for (const auto& item : d.items()) j[item.key()] = item.value();
    m_Out << j.dump() << "\n";
    return;
  }
  if (failed) {
    m_Err << "kelvane-dump: ";
    if (origin.captured)
      m_Err << OriginLine(origin) << ": ";
    else if (origin.offset)
      m_Err << "at byte " << origin.offset << ": ";
    m_Err << FormatText(d);
    return;
  }
  if (m_nShown > 1) m_Out << "\n";
  if (origin.captured) m_Out << OriginLine(origin) << "\n";
  m_Out << FormatText(d);
}

bool PacketPrinter::Flush() { return static_cast<bool>(m_Out.flush()); }

}  // namespace kdl::dump
