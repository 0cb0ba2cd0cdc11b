#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>

#include "log/LogSharedBlock.h"
#include "log/LogWriter.h"
#include "tools/logview/LineFormat.h"
#include "tools/logview/LogRingReader.h"

using kdl::log::CLogSharedBlock;
using kdl::logview::CLogRingReader;
using kdl::logview::RingEvent;

namespace {

// A writer's block under a name of its own, read by a reader in this process.
struct Ring {
  std::string base = "\\kvlvunit_" + std::to_string(std::random_device()());
  CLogSharedBlock writer;
  Ring() { Unlink(), writer.Open(base.c_str()); }
  ~Ring() { writer.Close(), Unlink(); }
  void Unlink() { kdl::plat::SharedBlockUnlink("Global" + base + ".mem", "Global" + base + ".evt"); }
  void Publish(int from, int to) {
    for (int n = from; n <= to; ++n) writer.Publish(Text(n).c_str(), Level(n));
  }
  // Line n: its number and a length and level that change with it.
  static std::string Text(int n) {
    return "line " + std::to_string(n) + " " + std::string(n % 900, char('a' + n % 26)) + "\n";
  }
  static uint32_t Level(int n) { return 1u << (n % 7); }
};

std::vector<RingEvent> Read(CLogRingReader& r, uint64_t nowMs = 0) {
  std::vector<RingEvent> events;
  r.Read(events, nowMs);
  return events;
}

void SetWord(CLogSharedBlock& b, size_t offset, uint32_t w) {
  std::memcpy(const_cast<unsigned char*>(b.Base()) + offset, &w, 4);
}

// Checks that `events` are the lines from..to, whole and with their levels.
void ExpectLines(const std::vector<RingEvent>& events, size_t at, int from, int to) {
  ASSERT_GE(events.size(), at + (to - from + 1));
  for (int n = from; n <= to; ++n, ++at) {
    EXPECT_EQ(RingEvent::kLine, events[at].kind);
    EXPECT_EQ(Ring::Text(n), events[at].text);
    EXPECT_EQ(Ring::Level(n), events[at].level);
  }
}

}  // namespace

TEST(RingReader, BacklogFollowOverrunRestartAndGarbage) {
  Ring ring;
  ASSERT_TRUE(ring.writer.IsReady());
  CLogRingReader early(ring.writer.Base());
  early.Start(127);  // before the first line: no restart when it comes
  ring.Publish(1, 5);
  CLogRingReader reader(ring.writer.Base());
  reader.Start(2);
  EXPECT_EQ(2u, Read(reader).size());
  ExpectLines(Read(early), 0, 1, 5);
  ring.Publish(6, 10);
  ExpectLines(Read(reader), 0, 6, 10);

  // 500 lines while the reader is away: 373 lost, then the 127 the ring holds.
  ring.Publish(11, 510);
  auto events = Read(reader);
  ASSERT_EQ(128u, events.size());
  EXPECT_EQ(RingEvent::kLost, events[0].kind);
  EXPECT_EQ(373u, events[0].lost);
  ExpectLines(events, 1, 384, 510);

  // Another writer opens the block: a restart at once, then its lines,
  // numbered on from the old ones (line 510 in slot 2).
  CLogSharedBlock second;
  ASSERT_TRUE(second.Open(ring.base.c_str()));
  events = Read(reader);
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(RingEvent::kRestart, events[0].kind);
  second.Publish("[Info]|after restart\n", LOG_INFO);
  events = Read(reader);
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ("[Info]|after restart\n", events[0].text);

  // That slot overwritten by some other party: the checksum shows it, and
  // a reader counts the line lost instead of showing it.
  auto* slot2 = const_cast<unsigned char*>(ring.writer.Base()) + CLogSharedBlock::kSlotsOffset +
                2 * CLogSharedBlock::kSlotSize;
  std::memset(slot2, 0x9b, CLogSharedBlock::kSlotSize);
  CLogRingReader late(ring.writer.Base());
  late.Start(127);
  events = Read(late);
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(RingEvent::kLost, events[0].kind);
  EXPECT_EQ(1u, events[0].lost);
}

// A writer that died after taking a line's number, and a slot left odd as by
// one that died in its copy: the reader waits for each such line a while,
// counts it lost and goes on; a lap later the odd slot is taken again.
TEST(RingReader, DeadWritersWedgeNeitherTheReaderNorTheSlot) {
  Ring ring;
  ASSERT_TRUE(ring.writer.IsReady());
  CLogRingReader reader(ring.writer.Base());
  reader.Start(127);
  ring.Publish(0, 1);
  uint32_t claim;
  std::memcpy(&claim, ring.writer.Base() + CLogSharedBlock::kClaimOffset, 4);
  SetWord(ring.writer, CLogSharedBlock::kClaimOffset, claim + 1);  // line 2: taken, never written
  SetWord(ring.writer, CLogSharedBlock::SequenceOffset(3),
          CLogSharedBlock::Writing(CLogSharedBlock::GenerationOf(claim), 0));
  ring.Publish(4, 6);  // lines 3 to 5; the writer of line 3 finds its slot held and gives it up
  auto events = Read(reader, 1000);
  EXPECT_EQ(2u, events.size());
  ExpectLines(events, 0, 0, 1);
  EXPECT_TRUE(Read(reader, 1000 + CLogRingReader::kGiveUpMs - 1).empty());
  events = Read(reader, 1000 + CLogRingReader::kGiveUpMs);  // line 2 lost, line 3 awaited
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(1u, events[0].lost);
  events = Read(reader, 1000 + 2 * CLogRingReader::kGiveUpMs);
  ASSERT_EQ(3u, events.size());
  EXPECT_EQ(1u, events[0].lost);
  ExpectLines(events, 1, 5, 6);

  ring.Publish(7, 131);  // lines 6 to 130: line 130 takes slot 3 a lap later
  events = Read(reader, 9000);
  EXPECT_EQ(125u, events.size());
  ExpectLines(events, 0, 7, 131);
}

// A writer as fast as it goes against a reader: every line given is whole
// and newer than the one before, and the lost counts fill the gaps exactly.
TEST(RingReader, FastWriterNeverYieldsATornLine) {
  Ring ring;
  ASSERT_TRUE(ring.writer.IsReady());
  CLogRingReader reader(ring.writer.Base());
  reader.Start(127);
  constexpr int kLines = 50000;
  std::thread writer([&ring] { ring.Publish(1, kLines); });
  int last = 0;
  uint64_t lost = 0, lines = 0;
  std::vector<RingEvent> events;
  while (last < kLines) {
    events.clear();
    reader.Read(events, 0);
    for (const RingEvent& e : events) {
      ASSERT_NE(RingEvent::kRestart, e.kind);
      if (e.kind == RingEvent::kLost) {
        lost += e.lost;
        continue;
      }
      const int n = std::atoi(e.text.c_str() + 5);
      ASSERT_EQ(Ring::Text(n), e.text);
      ASSERT_EQ(Ring::Level(n), e.level);
      ASSERT_EQ(static_cast<uint64_t>(n), lines + lost + 1) << "a gap without its count";
      ++lines;
      last = n;
    }
  }
  writer.join();
  EXPECT_EQ(static_cast<uint64_t>(kLines), lines + lost);
}

TEST(LineFormat, EscapesSplitsFiltersAndRendersJson) {
  RingEvent garbled;  // a slot's bytes with no NUL and a level of no known bit
  garbled.text = std::string(CLogSharedBlock::kSlotTextSize, '\x9b');
  garbled.level = 0x9b9b9b9b;
  garbled.terminated = false;
  const std::string shown = kdl::logview::FormatEvent(garbled, {});
  EXPECT_EQ(0u, shown.find("[garbled record, level 0x9b9b9b9b, no end]|\\x9B\\x9B"));
  EXPECT_EQ(std::string::npos, shown.find('\x9b'));

  using kdl::logview::EscapeLine;
  EXPECT_EQ("a\\x1B[31m\\x01\tcaf\xc3\xa9 \\xFF\\xC2\\x9B \\xE0\\x80 ok",
            EscapeLine("a\x1b[31m\x01\tcaf\xc3\xa9 \xff\xc2\x9b \xe0\x80 ok\n"));

  auto f = kdl::logview::SplitFields("[09:05:03.007]|[0a1c]|[src/a.cpp:12]|[Error]|Udp [x]| down");
  EXPECT_TRUE(f.parsed);
  EXPECT_EQ("09:05:03.007|0a1c|src/a.cpp:12|Error|Udp [x]| down",
            f.time + "|" + f.thread + "|" + f.location + "|" + f.level + "|" + f.text);
  EXPECT_FALSE(kdl::logview::SplitFields("[12:00]|no level").parsed);

  RingEvent line;
  line.text = "[09:05:03.007]|[0a1c]|[Error]|Udp Create failed.\n";
  line.level = LOG_ERROR;
  kdl::logview::FormatOptions o;  // plain and coloured: in the process tests
  o.json = true;
  o.now.year = 2026, o.now.month = 3, o.now.day = 1, o.now.hour = 9, o.now.minute = 5, o.now.second = 4;
  const auto j = nlohmann::json::parse(kdl::logview::FormatEvent(line, o));
  EXPECT_EQ(nlohmann::json::parse(R"({"time":"2026-03-01 09:05:03.007","thread":"0a1c",
                                      "level":"Error","text":"Udp Create failed."})"), j);
  o.now.second = 3;  // a line stamped later than the viewer's clock is from the day before
  EXPECT_EQ("2026-02-28 09:05:03.007",
            nlohmann::json::parse(kdl::logview::FormatEvent(line, o))["time"]);
  RingEvent lost;
  lost.kind = RingEvent::kLost;
  lost.lost = 212;
  EXPECT_EQ("{\"lost\":212}\n", kdl::logview::FormatEvent(lost, o));
  o.json = false;
  EXPECT_EQ("\u2026 212 lines lost \u2026\n", kdl::logview::FormatEvent(lost, o));

  // --level Warning: Info is left out; Info|Warning and Error are kept; so
  // is a level of no known bit. --grep on the shown line.
  o.minRank = kdl::logview::LevelRank(LOG_WARNING);
  for (uint32_t level : {4u, 12u, 32u, 0x100u}) {
    line.level = level;
    EXPECT_EQ(level != 4u, !kdl::logview::FormatEvent(line, o).empty()) << level;
  }
  o.grep = "create";  // case counts
  EXPECT_TRUE(kdl::logview::FormatEvent(line, o).empty());
  EXPECT_FALSE(kdl::logview::FormatEvent(lost, o).empty());
}
