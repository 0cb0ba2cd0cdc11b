#include "tools/dump/DumpCommand.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "tools/dump/PacketDescribe.h"

namespace kdl::dump {
namespace {

// Larger inputs are refused rather than read: no packet comes near this.
constexpr std::streamoff kMaxFileBytes = 64 << 20;

const char kUsage[] =
    "usage: kelvane-dump [--json] [--net-order] [HEX... | --file PATH]\n"
    "       kelvane-dump [--json] --all-codes\n"
    "Decodes one packet with the packet factory and shows its head and fields.\n"
    "  HEX          the packet as hex digits, spaces allowed (arguments are joined);\n"
    "               without HEX or --file the hex is read from standard input\n"
    "  --file PATH  the packet as raw bytes from a file\n"
    "  --json       print one JSON object instead of the indented form\n"
    "  --net-order  integers are big-endian (links normally run little-endian)\n"
    "  --all-codes  list every known type code with its class name\n";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

int BadInput(const std::string& why, bool json, std::ostream& out, std::ostream& err) {
  if (json) {
    Json j = Json::object();
    j["error"] = why;
    out << j.dump() << "\n";
  } else {
    err << "kelvane-dump: " << why << "\n";
  }
  return kDumpBadInput;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& why) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) {
    why = "cannot open " + path;
    return false;
  }
  std::streamoff size = f.tellg();
  if (size < 0 || size > kMaxFileBytes) {
    why = "file too large or unreadable: " + path;
    return false;
  }
  bytes.resize(static_cast<size_t>(size));
  f.seekg(0);
  if (size && !f.read(reinterpret_cast<char*>(bytes.data()), size)) {
    why = "cannot read " + path;
    return false;
  }
  return true;
}

void ListCodes(bool json, std::ostream& out) {
  if (json) {
    Json list = Json::array();
    for (const CodeRow& row : AllPacketCodes()) {
      Json j = Json::object();
      j["type"] = CodeText(row.code);
      j["class"] = row.name;
      list.push_back(std::move(j));
    }
    out << list.dump() << "\n";
  } else {
    for (const CodeRow& row : AllPacketCodes())
      out << CodeText(row.code) << "  " << row.name << "\n";
    out << AllPacketCodes().size() << " codes\n";
  }
}

}  // namespace

bool ParseHex(const std::string& text, std::vector<uint8_t>& out, std::string& why) {
  out.clear();
  int high = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (IsSpace(c)) {
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

int RunDump(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
            std::ostream& err) {
  bool json = false, netOrder = false, allCodes = false, haveFile = false;
  std::string file, hex;
  bool haveHex = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      json = true;
    } else if (a == "--net-order") {
      netOrder = true;
    } else if (a == "--all-codes") {
      allCodes = true;
    } else if (a == "-h" || a == "--help") {
      out << kUsage;
      return kDumpOk;
    } else if (a == "--file") {
      if (i + 1 >= args.size()) return BadInput("--file needs a path", json, out, err);
      file = args[++i];
      haveFile = true;
    } else if (a.size() > 1 && a[0] == '-') {
      err << kUsage;
      return BadInput("unknown option " + a, json, out, err);
    } else {
      hex += a;
      hex += ' ';
      haveHex = true;
    }
  }
  if (allCodes) {
    ListCodes(json, out);
    return kDumpOk;
  }
  if (haveFile && haveHex) return BadInput("give hex or --file, not both", json, out, err);

  std::vector<uint8_t> bytes;
  std::string why;
  if (haveFile) {
    if (!ReadFile(file, bytes, why)) return BadInput(why, json, out, err);
  } else {
    if (!haveHex) hex.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!ParseHex(hex, bytes, why)) return BadInput("bad hex: " + why, json, out, err);
  }

  Json d = DescribePacket(bytes.data(), bytes.size(), netOrder);
  bool decoded = !d.contains("error");
  if (json) {
    out << d.dump() << "\n";
  } else if (decoded) {
    out << FormatText(d);
  } else {
    err << "kelvane-dump: " << FormatText(d);
  }
  return decoded ? kDumpOk : kDumpNotDecoded;
}

}  // namespace kdl::dump
