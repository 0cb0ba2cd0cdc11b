#include "tools/dump/HexInput.h"

#include <cstring>

#include "util/Text.h"

namespace kdl::dump {
namespace {

// A dump that expands to more than this is refused: no capture of packets
// comes near it, and a forged "*" row must not allocate without bound.
constexpr uint64_t kMaxDumpBytes = 64u << 20;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

bool IsHexRun(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (HexValue(c) < 0) return false;
  return true;
}

std::string LineTag(size_t lineNo) { return "line " + std::to_string(lineNo) + ": "; }

// Appends the bytes of an even run of hex digits.
bool AppendRun(const std::string& run, std::vector<uint8_t>& out, std::string& why) {
  if (!IsHexRun(run)) {
    why = "'" + run + "' is not hex";
    return false;
  }
  if (run.size() % 2) {
    why = "odd number of hex digits in '" + run + "'";
    return false;
  }
  for (size_t i = 0; i < run.size(); i += 2)
    out.push_back(static_cast<uint8_t>(HexValue(run[i]) << 4 | HexValue(run[i + 1])));
  return true;
}

// One token of the plain, 0x-prefixed or separated forms.
bool AppendToken(const std::string& t, std::vector<uint8_t>& out, std::string& why) {
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    std::string digits = t.substr(2);
    if (digits.size() > 2 || !IsHexRun(digits)) {
      why = "'" + t + "' is not one 0x-prefixed byte";
      return false;
    }
    out.push_back(static_cast<uint8_t>(digits.size() == 1 ? HexValue(digits[0])
                                                           : HexValue(digits[0]) << 4 |
                                                                 HexValue(digits[1])));
    return true;
  }
  if (t.find_first_of(":-") != std::string::npos) {
    size_t start = 0;
    while (start <= t.size()) {
      size_t end = t.find_first_of(":-", start);
      std::string part = t.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (part.size() != 2 || !AppendRun(part, out, why)) {
        why = "'" + t + "' is not bytes separated by ':' or '-'";
        return false;
      }
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return true;
  }
  return AppendRun(t, out, why);
}

bool ParseTokens(const std::string& line, std::vector<uint8_t>& out, std::string& why) {
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (IsSpace(line[i]) || line[i] == ',')) ++i;
    size_t start = i;
    while (i < line.size() && !IsSpace(line[i]) && line[i] != ',') ++i;
    if (i > start && !AppendToken(line.substr(start, i - start), out, why)) return false;
  }
  return true;
}

// A row of a dump format: its offset and the bytes it shows.
struct DumpRow {
  uint64_t offset = 0;
  std::string hex;          // the hex columns, spaces included
  bool offsetOnly = false;  // hexdump's closing line: only the end offset
};

bool ParseOffset(const std::string& digits, uint64_t* offset) {
  if (!IsHexRun(digits) || digits.size() > 12) return false;
  *offset = std::stoull(digits, nullptr, 16);
  return true;
}

// "00000010: 0100 0000 ...  ascii": the hex area ends at two spaces.
bool XxdRow(const std::string& line, DumpRow* row) {
  size_t colon = line.find(": ");
  if (colon == std::string::npos || !ParseOffset(line.substr(0, colon), &row->offset)) return false;
  std::string rest = line.substr(colon + 2);
  row->hex = rest.substr(0, rest.find("  "));
  return true;
}

// "00000010  01 00 ...  |ascii|", or (when `closing` may come) the closing
// "00000224".
bool HexdumpRow(const std::string& line, DumpRow* row, bool closing) {
  size_t end = 0;
  while (end < line.size() && HexValue(line[end]) >= 0) ++end;
  if (end < 7 || !ParseOffset(line.substr(0, end), &row->offset)) return false;
  if (end == line.size() && closing) {
    row->offsetOnly = true;
    return true;
  }
  size_t bar = line.find('|', end);
  if (line.compare(end, 2, "  ") != 0 || bar == std::string::npos) return false;
  row->hex = line.substr(end, bar - end);
  return true;
}


std::string Trimmed(const std::string& line) {
  size_t a = 0, b = line.size();
  while (a < b && IsSpace(line[a])) ++a;
  while (b > a && IsSpace(line[b - 1])) --b;
  return line.substr(a, b - a);
}

bool Blank(const std::string& line) { return Trimmed(line).empty(); }

// The rows of an xxd or hexdump -C dump, with "*" rows expanded.
bool ReadDump(const std::vector<std::string>& lines, bool xxd, HexBytes* out, std::string* why) {
  std::vector<uint8_t> previous;
  bool repeat = false, haveBase = false, closed = false;
  uint64_t base = 0;
  for (size_t n = 0; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    if (Blank(line)) continue;
    if (Trimmed(line) == "*") {
      repeat = true;
      continue;
    }
    DumpRow row;
    std::vector<uint8_t> bytes;
    std::string reason;
    if (closed || !(xxd ? XxdRow(line, &row) : HexdumpRow(line, &row, true)) ||
        !ParseTokens(row.hex, bytes, reason)) {
      *why = LineTag(n + 1) + (reason.empty() ? "not a row of the dump" : reason);
      return false;
    }
    if (!haveBase) base = row.offset, haveBase = true;
    uint64_t at = base + out->bytes.size();
    if (repeat && !previous.empty() && row.offset > at && row.offset - base <= kMaxDumpBytes &&
        (row.offset - at) % previous.size() == 0) {
      while (at < row.offset) {
        out->bytes.insert(out->bytes.end(), previous.begin(), previous.end());
        at += previous.size();
      }
    }
    if (row.offset != at) {
      *why = LineTag(n + 1) + "offset does not follow the rows before it";
      return false;
    }
    repeat = false;
    closed = row.offsetOnly;
    out->bytes.insert(out->bytes.end(), bytes.begin(), bytes.end());
    if (!bytes.empty()) previous = bytes;
  }
  if (repeat) {
    *why = "the dump ends with a repeat mark (\"*\") and no closing offset";
    return false;
  }
  return true;
}

// Why `text` cannot be hex text at all ("" when it may be).
std::string NotText(const std::string& text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  CaptureFormat f = CaptureMagic(p, text.size());
  if (f != CaptureFormat::kNone)
    return std::string("this is a ") + CaptureFormatName(f) +
           " capture file, not hex: read it with --pcap FILE";
  for (size_t i = 0; i < text.size(); ++i) {
    uint8_t c = p[i];
    if (c < 0x20 && c != '\n' && !IsSpace(static_cast<char>(c)))
      return "not hex text (byte " + std::to_string(c) + " at offset " + std::to_string(i) +
             "); raw bytes are read with --file PATH";
  }
  return "";
}

}  // namespace

CaptureFormat CaptureMagic(const uint8_t* p, size_t n) {
  if (n < 4) return CaptureFormat::kNone;
  uint32_t be = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
  // Classic pcap in either byte order, with micro- or nanosecond stamps.
  if (be == 0xa1b2c3d4 || be == 0xd4c3b2a1 || be == 0xa1b23c4d || be == 0x4d3cb2a1)
    return CaptureFormat::kPcap;
  if (be == 0x0a0d0d0a) return CaptureFormat::kPcapng;  // section header block
  return CaptureFormat::kNone;
}

const char* CaptureFormatName(CaptureFormat f) {
  switch (f) {
    case CaptureFormat::kPcap:
      return "pcap";
    case CaptureFormat::kPcapng:
      return "pcapng";
    default:
      return "";
  }
}

bool ReadHexText(const std::string& text, HexBytes* out, std::string* why) {
  *out = HexBytes();
  *why = NotText(text);
  if (!why->empty()) return false;
  std::vector<std::string> lines = util::SplitLines(text);
  for (const std::string& line : lines) {
    if (Blank(line)) continue;
    DumpRow row;
    if (XxdRow(line, &row) || HexdumpRow(line, &row, false)) {
      bool xxd = XxdRow(line, &row);
      out->dumpFormat = true;
      out->format = xxd ? "xxd" : "hexdump -C";
      return ReadDump(lines, xxd, out, why);
    }
    break;
  }
  out->format = "hex";
  for (size_t n = 0; n < lines.size(); ++n) {
    size_t begin = out->bytes.size();
    std::string reason;
    if (!ParseTokens(lines[n], out->bytes, reason)) {
      *why = LineTag(n + 1) + reason;
      return false;
    }
    if (out->bytes.size() > begin) out->lines.push_back({begin, out->bytes.size()});
  }
  return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>& out, std::string& why) {
  out.clear();
  int high = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (IsSpace(c) || c == '\n') {
      if (high >= 0) {
        why = "lone hex digit before offset " + std::to_string(i);
        return false;
      }
      continue;
    }
    int d = HexValue(c);
    if (d < 0) {
      why = "not a hex digit at offset " + std::to_string(i);
      return false;
    }
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  if (high >= 0) {
    why = "odd number of hex digits";
    return false;
  }
  return true;
}

}  // namespace kdl::dump
