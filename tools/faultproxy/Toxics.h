// What the fault proxy does to the bytes it passes: the toxics, read from a
// small text file, one per line:
//
//   latency ms=20 jitter=15 [dir=both]   each chunk later by ms +- jitter
//   bandwidth rate=4000 [dir=down]       at most `rate` bytes per second
//   hold ms=3500 pass=500 [dir=down]     hold everything for ms, release it at
//                                        once, pass for `pass` ms, again
//   corrupt every=2000 [dir=down]        flip one bit per `every` bytes
//   cut bytes=3000 [dir=both]            close the connection once that many
//                                        bytes have passed one way
//   slow-close ms=1000                   a close reaches the other side later
//   reset ms=1500                        reset connections after ms
//
// "up" is client to upstream, "down" upstream to client. Blank lines and
// lines starting with # are ignored. Times count from the moment the file
// was loaded (or the connection opened, if later); loading new toxics
// releases at once what the old ones held or delayed.
#pragma once

#include <cstdint>
#include <string>

namespace kdl::proxy {

// The two ways through a connection.
enum Way { kUp = 0, kDown = 1 };
constexpr int kWays = 2;

// Toxics of one way; 0 everywhere is a clean pass.
struct WayToxics {
  uint32_t latencyMs = 0;
  uint32_t jitterMs = 0;
  uint32_t bytesPerSecond = 0;  // 0: unlimited
  uint32_t holdMs = 0;          // 0: no holding
  uint32_t passMs = 0;
  uint32_t corruptEvery = 0;    // 0: none
  uint32_t cutAfterBytes = 0;   // 0: never
};

struct Toxics {
  WayToxics way[kWays];
  uint32_t slowCloseMs = 0;
  uint32_t resetAfterMs = 0;  // 0: never

  // One line per toxic in the file's syntax; "none" when clean.
  std::string Describe() const;
};

// Parses the text of a toxics file. False with `error` naming the line and
// what is wrong; `out` is then unchanged.
bool ParseToxics(const std::string& text, Toxics* out, std::string* error);

// The time (ms since the toxics were loaded) until which bytes arriving at
// `sinceLoadMs` are held by `t`'s hold windows; `sinceLoadMs` itself when
// they are not held.
uint64_t HoldUntil(const WayToxics& t, uint64_t sinceLoadMs);

}  // namespace kdl::proxy
