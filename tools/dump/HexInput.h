// The input forms of kelvane-dump: hex text in the usual dump formats, and
// the recognition of capture files given where bytes or hex are expected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kdl::dump {

// Capture file formats, told by their first four bytes.
enum class CaptureFormat { kNone, kPcap, kPcapng };

// The capture format whose magic number `p` starts with (kNone when n < 4 or
// no capture magic).
CaptureFormat CaptureMagic(const uint8_t* p, size_t n);

// "pcap", "pcapng" (or "" for kNone).
const char* CaptureFormatName(CaptureFormat f);

// Bytes read from hex text, with the byte range of each input line that
// held bytes (for one packet per line).
struct HexBytes {
  std::vector<uint8_t> bytes;
  struct Line {
    size_t begin;  // offset of the line's first byte in `bytes`
    size_t end;    // one past its last byte
  };
  std::vector<Line> lines;
  bool dumpFormat = false;  // xxd or hexdump -C: lines are display rows, not packets
  std::string format;       // "plain hex", "xxd", "hexdump -C", ...
};

// Reads hex text in any of these forms, the first line with bytes deciding:
//  - plain hex: pairs of digits, whitespace between pairs (also xxd -p);
//  - xxd: "00000010: 0100 0000 ...  ascii" (the ascii column is ignored);
//  - hexdump -C: "00000010  01 00 ...  |ascii|", with "*" for repeated rows;
//  - 0x-prefixed bytes: "0x01, 0x00 ...";
//  - separated bytes: "01:00:00:00" (':' or '-' between bytes).
// Blank lines are skipped. Returns false with a reason naming the line on
// anything else, also for text that is no text at all (a capture file, or
// other binary bytes).
bool ReadHexText(const std::string& text, HexBytes* out, std::string* why);

// Parses plain hex: pairs of hex digits, whitespace anywhere between pairs.
// Returns false (with a reason) on an odd digit or any other character.
bool ParseHex(const std::string& text, std::vector<uint8_t>& out, std::string& why);

}  // namespace kdl::dump
