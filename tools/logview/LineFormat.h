// How the viewer shows what it read from the ring: lines made safe for a
// terminal, the writer's prefix fields, level filters, colours and JSON.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"
#include "tools/logview/LogRingReader.h"

namespace kdl::logview {

// A slot's bytes made safe to print: printable ASCII, tabs and well-formed
// UTF-8 stay; every other byte (control characters, C1 controls, bytes of no
// valid sequence) becomes \xNN. The line's own final line feed is dropped.
std::string EscapeLine(const std::string& raw);

// The writer's prefix fields of a line: [time]|[thread]|[file:line]|[level]|
// (each but the level optional) and the text after them. `parsed` is false
// when the line has no such prefix; `text` is then the whole line.
struct LineFields {
  bool parsed = false;
  std::string time, thread, location, level, text;
};
LineFields SplitFields(const std::string& line);

// Severity of a level word for --level: Debug 0, Trace 1, Info, Startup and
// Shutdown 2, Warning 3, Error 4; a word of several bits ranks as its highest
// known bit; a word of no known bit (a garbled record) ranks above all.
int LevelRank(uint32_t level);
// The rank of a level name (any case); false for an unknown name.
bool RankOfLevelName(const std::string& name, int* rank);

// A record that the writer cannot have written: no NUL, or level 0.
bool IsGarbled(const RingEvent& e);

struct FormatOptions {
  bool color = false;
  bool json = false;
  int minRank = 0;   // lines below this rank are left out
  std::string grep;  // lines without this text are left out (empty: none)
  kdl::plat::LocalTime now;  // the viewer's clock when it read the lines (JSON dates)
};

// A line's time of day ("hh:mm:ss.mmm", as the writer stamps it) with the
// date it was most likely written on, "YYYY-MM-DD hh:mm:ss.mmm": the date
// of `now`, or the day before when the time of day is later than now's (a
// line from before midnight). A line more than a day old cannot be told.
std::string DatedTime(const std::string& timeOfDay, const kdl::plat::LocalTime& now);

// One output line with its line feed, or "" when the filters leave it out.
// Lost lines and restarts are always shown: "… 212 lines lost …",
// "… writer restarted …", or {"lost":212} and {"restart":true} in JSON. A
// JSON line's "time" carries its date (DatedTime with o.now).
std::string FormatEvent(const RingEvent& e, const FormatOptions& o);

}  // namespace kdl::logview
