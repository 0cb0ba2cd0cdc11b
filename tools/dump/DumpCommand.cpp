#include "tools/dump/DumpCommand.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "platform/Platform.h"
#include "protocol/PacketFramer.h"
#include "tools/dump/CaptureDump.h"
#include "tools/dump/DumpArgs.h"
#include "tools/dump/PacketPrinter.h"

namespace kdl::dump {
namespace {

using describe::AllPacketCodes;
using describe::CodeRow;
using describe::CodeText;
using describe::Json;
using describe::PacketRoleName;
using PacketZVDiskless::CPacketFramer;

// Larger inputs are refused rather than read: no packet comes near this.
constexpr std::streamoff kMaxFileBytes = 64 << 20;

// ": <the system's reason>" of the last failed call, or "".
std::string SystemReason() {
  const int e = errno;
  return e != 0 ? std::string(": ") + std::strerror(e) : std::string();
}

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

// Reads all of `in` (at most kMaxFileBytes) into `bytes`.
bool ReadAll(std::istream& in, const std::string& name, std::vector<uint8_t>& bytes,
             std::string& why) {
  bytes.clear();
  char chunk[64 * 1024];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    if (bytes.size() + static_cast<size_t>(in.gcount()) > static_cast<size_t>(kMaxFileBytes)) {
      why = name + " holds more than " + std::to_string(kMaxFileBytes >> 20) +
            " MiB: too large for packet bytes";
      return false;
    }
    bytes.insert(bytes.end(), chunk, chunk + in.gcount());
  }
  if (in.bad() || (!in.eof() && in.fail())) {
    why = "cannot read " + name + SystemReason();
    return false;
  }
  return true;
}

// The raw bytes of --file: a file, a pipe or a device read to its end, or
// standard input for "-".
bool ReadFile(const std::string& path, std::istream& stdinStream, std::vector<uint8_t>& bytes,
              std::string& why) {
  if (path == "-") {
    kdl::plat::MakeStandardInputBinary();
    if (!ReadAll(stdinStream, "standard input", bytes, why)) return false;
  } else {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
      why = path + " is a folder, not a file";
      return false;
    }
    errno = 0;
    std::ifstream f(path, std::ios::binary);
    if (!f) {
      why = "cannot open " + path + SystemReason();
      return false;
    }
    if (!ReadAll(f, path, bytes, why)) return false;
  }
  CaptureFormat capture = CaptureMagic(bytes.data(), bytes.size());
  if (capture != CaptureFormat::kNone) {
    why = path + " is a " + CaptureFormatName(capture) + " capture file, not packet bytes: " +
          "read it with --pcap " + path;
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
      if (PacketRoleName(row.code)) j["name"] = PacketRoleName(row.code);
      list.push_back(std::move(j));
    }
    out << list.dump() << "\n";
  } else {
    for (const CodeRow& row : AllPacketCodes()) {
      out << CodeText(row.code) << "  " << row.name;
      if (PacketRoleName(row.code)) out << "  (" << PacketRoleName(row.code) << ")";
      out << "\n";
    }
    out << AllPacketCodes().size() << " codes\n";
  }
}

PacketOrigin AtOffset(uint64_t offset) {
  PacketOrigin o;
  o.offset = offset;
  return o;
}

// Packets one after another, each as long as its head's Length.
void DumpStream(const std::vector<uint8_t>& bytes, bool netOrder, PacketPrinter& printer) {
  CPacketFramer framer(PacketZVDiskless::kMaxPacketSize, netOrder);
  framer.Append(bytes.data(), bytes.size());
  const uint8_t* packet = nullptr;
  uint32_t size = 0;
  CPacketFramer::Result r;
  // Each packet ends where the bytes still held begin.
  while ((r = framer.Next(&packet, &size)) == CPacketFramer::Result::kPacket)
    printer.Packet(packet, size, AtOffset(framer.PendingOffset() - size));
  const uint64_t at = framer.PendingOffset();
  const std::string held = std::to_string(framer.Pending());
  if (r == CPacketFramer::Result::kBadLength) {
    printer.Problem("the head at byte " + std::to_string(at) + " has Length " +
                        std::to_string(framer.PendingLength()) +
                        ", which cannot frame a packet: the last " + held +
                        " bytes are not decoded",
                    AtOffset(at));
  } else if (framer.Pending() > 0 && framer.PendingLength() == 0) {
    printer.Problem("the input ends mid-packet: the packet at byte " + std::to_string(at) +
                        " is shorter than the 24-byte head (" + held + " bytes)",
                    AtOffset(at));
  } else if (framer.Pending() > 0) {
    printer.Problem("the input ends mid-packet: the packet at byte " + std::to_string(at) +
                        " has Length " + std::to_string(framer.PendingLength()) + " but only " +
                        held + " bytes remain",
                    AtOffset(at));
  }
}

// The bytes of hex arguments, standard input or --file, cut into packets
// as --split says.
int DumpBytes(const DumpOptions& o, std::istream& in, PacketPrinter& printer, std::ostream& out,
              std::ostream& err) {
  HexBytes input;
  std::string why;
  if (!o.file.empty()) {
    if (!ReadFile(o.file, in, input.bytes, why)) return BadInput(why, o.json, out, err);
  } else {
    std::string text;
    for (const std::string& word : o.hex) text += word + "\n";  // --split line: one each
    if (o.hex.empty()) text.assign(std::istreambuf_iterator<char>(in), {});
    if (!ReadHexText(text, &input, &why)) return BadInput("bad hex: " + why, o.json, out, err);
  }
  if (input.bytes.empty()) {
    printer.Problem("the input holds no bytes", AtOffset(0));
  } else if (o.split == "none") {
    printer.Packet(input.bytes.data(), input.bytes.size(), AtOffset(0));
  } else if (o.split == "line") {
    if (input.dumpFormat || !o.file.empty())
      return BadInput("--split line needs hex with one packet per line, not " +
                          (o.file.empty() ? "a dump in " + input.format + " form" : "raw bytes"),
                      o.json, out, err);
    for (const HexBytes::Line& line : input.lines)
      printer.Packet(input.bytes.data() + line.begin, line.end - line.begin, AtOffset(line.begin));
  } else {
    DumpStream(input.bytes, o.netOrder, printer);
  }
  return printer.Status();
}

}  // namespace

int RunDump(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
            std::ostream& err) {
  DumpOptions o;
  int status = ParseDumpArgs(args, &o, out, err);
  if (status >= 0) return status;
  if (o.allCodes) {
    ListCodes(o.json, out);
    return kDumpOk;
  }
  TypeFilter filter;
  for (const std::string& term : o.types) {
    std::string why;
    if (!filter.Add(term, &why)) return BadInput("--type: " + why, o.json, out, err);
  }
  PacketPrinter printer(o.json, o.netOrder, filter, out, err);
  if (!o.pcap.empty() || !o.iface.empty()) return DumpCapture(o, printer, err);
  return DumpBytes(o, in, printer, out, err);
}

}  // namespace kdl::dump
