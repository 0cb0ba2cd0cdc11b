// The log writer's Windows naming seen from outside the writer: the Log
// folder beside the executable, the lower-cased daily file name, old files
// removed through the file finder, and the shared block and its event opened
// by name from a second process that reads the ring.
//
// The executable doubles as that second process:
//   KvWin_LogNaming.exe --read-ring READY_EVENT MARKER THREAD_HEX
//     opens Global\kvwin_lognaming.mem and .evt, signals READY_EVENT, waits
//     for the record carrying MARKER and checks it (exit code 0 when good);
//   <copy>.exe --write-line MARKER
//     writes one Error line through the process's writer and exits.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "log/LogWriter.h"
#include "tests/windows/WinTestSupport.h"

namespace {

// The separator and file name of the running executable, as the writer
// names its files after it (lower-cased on Windows).
const char* ModuleFileTail() {
  static const std::string s_tail =
      kdl::log::MakeLogNames(kdl::plat::ExecutablePath(), kdl::log::kNativeFlavour).exeTail;
  return s_tail.empty() ? nullptr : s_tail.c_str();
}

constexpr size_t kBlockSize = 0x20000;
constexpr uint32_t kSlotCount = 127;
constexpr size_t kSlotsOffset = 12;
constexpr size_t kSlotSize = 1020;
constexpr DWORD kChildWaitMs = 60000;

// What the writer must call its objects when it runs as KvWin_LogNaming.exe.
const char kMemName[] = "Global\\kvwin_lognaming.mem";
const char kEvtName[] = "Global\\kvwin_lognaming.evt";

uint32_t Le32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool IsDigits(const std::string& s, size_t pos, size_t n) {
  for (size_t i = pos; i < pos + n; ++i) {
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

// "[hh:mm:ss.mmm]|" at the start of a line.
bool HasTimeField(const std::string& line) {
  return line.size() >= 15 && line[0] == '[' && IsDigits(line, 1, 2) && line[3] == ':' &&
         IsDigits(line, 4, 2) && line[6] == ':' && IsDigits(line, 7, 2) && line[9] == '.' &&
         IsDigits(line, 10, 3) && line.compare(13, 2, "]|") == 0;
}

// Names of the files in `dir` matching `pattern`, exactly as stored.
std::set<std::string> ListNames(const std::string& dir, const std::string& pattern) {
  std::set<std::string> names;
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\" + pattern).c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    names.insert(fd.cFileName);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  return names;
}

// ---- second-process modes ---------------------------------------------------

// Checks the newest record of the ring each time the event fires, until one
// carries the marker. Exit codes name the step that failed.
int ReadRingMode(const char* readyName, const std::string& marker, const std::string& tidHex) {
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, kMemName);
  if (mapping == nullptr) {
    std::printf("reader: no mapping %s (error %lu)\n", kMemName, GetLastError());
    return 2;
  }
  const auto* view =
      static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, kBlockSize));
  if (view == nullptr) return 3;
  HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, kEvtName);
  if (event == nullptr) {
    std::printf("reader: no event %s (error %lu)\n", kEvtName, GetLastError());
    return 4;
  }
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, readyName);
  if (ready == nullptr || !SetEvent(ready)) return 5;

  const std::string tail = "[" + tidHex + "]|[Warning]|" + marker + "\n";
  const ULONGLONG deadline = GetTickCount64() + 30000;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    if (WaitForSingleObject(event, static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0) break;
    const uint32_t next = Le32(view + 4);
    if (next >= kSlotCount) {
      std::printf("reader: next-slot index %u out of range\n", next);
      return 6;
    }
    const unsigned char* slot = view + kSlotsOffset + ((next + kSlotCount - 1) % kSlotCount) * kSlotSize;
    const char* text = reinterpret_cast<const char*>(slot + 4);
    const size_t len = strnlen(text, kSlotSize - 4);
    const std::string line(text, len);
    if (line.find(marker) == std::string::npos) continue;

    bool good = true;
    auto check = [&good](bool ok, const char* what) {
      if (!ok) std::printf("reader: %s\n", what);
      good = good && ok;
    };
    check(Le32(slot) == 8, "level is not 8 (Warning)");
    check(HasTimeField(line), "no time field");
    check(line.size() == 15 + tail.size() && line.compare(15, std::string::npos, tail) == 0,
          "thread, level or text differ");
    check(Le32(view) == 0 && Le32(view + 8) == 0, "reserved words not zero");
    bool zeroFilled = len < kSlotSize - 4;
    for (size_t i = 4 + len; i < kSlotSize; ++i) zeroFilled = zeroFilled && slot[i] == 0;
    check(zeroFilled, "slot not zero-filled after the line");
    if (!good) std::printf("reader: record was: %s", line.c_str());
    return good ? 0 : 7;
  }
  std::printf("reader: no record with %s\n", marker.c_str());
  return 8;
}

int WriteLineMode(const char* marker) {
  LogPrint(LOG_ERROR, "%s", marker);
  return 0;
}

}  // namespace

// The test executable itself is the host: its writer names everything after
// KvWin_LogNaming.exe, lower-cased.
TEST(WindowsLogNaming, DailyFileInLogFolderBesideTheExecutable) {
  const std::string exe = kdl::test::ModulePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_STREQ("\\kvwin_lognaming.exe", ModuleFileTail());

  CLogWriter* writer = CLogWriter::Instance();
  const std::string logDir = kdl::test::Lower(kdl::test::DirOf(exe)) + "\\Log";
  EXPECT_EQ(logDir, writer->LogDirectory());
  const DWORD attr = GetFileAttributesA(logDir.c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, attr);
  EXPECT_TRUE(attr & FILE_ATTRIBUTE_DIRECTORY);

  const std::string marker = "daily-file-marker-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(GetTickCount64());
  const kdl::test::Date before = kdl::test::Today();
  LogPrint(LOG_INFO, "%s", marker.c_str());
  const kdl::test::Date after = kdl::test::Today();

  const std::set<std::string> names = ListNames(logDir, "*.log");
  std::string name = "kvwin_lognaming" + kdl::test::Digits(after) + ".log";
  if (before != after && names.count(name) == 0) {
    name = "kvwin_lognaming" + kdl::test::Digits(before) + ".log";  // written before midnight
  }
  ASSERT_EQ(1u, names.count(name)) << "no file named exactly " << name;
  std::string content;
  ASSERT_TRUE(kdl::test::ReadFileBytes(logDir + "\\" + name, &content));
  // Text mode: the line feed is stored as a carriage return and line feed.
  EXPECT_NE(std::string::npos, content.find("]|[Info]|" + marker + "\r\n")) << content;
}

TEST(WindowsLogNaming, SecondProcessReadsTheRingByName) {
  CLogWriter* writer = CLogWriter::Instance();
  ASSERT_TRUE(writer->SharedBlock().IsReady());

  const std::string ready = "Local\\kvwin-ready-" + std::to_string(GetCurrentProcessId());
  HANDLE readyEvent = CreateEventA(nullptr, TRUE, FALSE, ready.c_str());
  ASSERT_NE(nullptr, readyEvent);
  const std::string marker = "ring-marker-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(GetTickCount64());
  char tid[16];
  std::snprintf(tid, sizeof(tid), "%04lx", GetCurrentThreadId());

  PROCESS_INFORMATION pi;
  ASSERT_TRUE(kdl::test::StartProcess(kdl::test::ModulePath(),
                                    "--read-ring " + ready + " " + marker + " " + tid, &pi));
  HANDLE both[2] = {readyEvent, pi.hProcess};
  const DWORD woke = WaitForMultipleObjects(2, both, FALSE, kChildWaitMs);
  CloseHandle(readyEvent);
  if (woke != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the reader did not get ready; exit code "
                  << kdl::test::FinishProcess(&pi, kChildWaitMs);
    return;
  }
  LogPrint(LOG_WARNING, "%s", marker.c_str());
  EXPECT_EQ(0, kdl::test::FinishProcess(&pi, kChildWaitMs));
}

// A copy of this executable, with several dots in its name, in a folder with
// capitals and spaces: the base name of the shared objects ends at the first
// dot, the daily file keeps everything before ".exe", the folder is created
// beside it, and its old daily files are found and removed.
TEST(WindowsLogNaming, CopiedHostNamesItsFilesAndCleansOldOnes) {
  kdl::test::TempFolder tmp("KvLogTest");
  ASSERT_FALSE(tmp.Path().empty());
  const std::string programs = tmp.Path() + "\\Program Files";
  const std::string tools = programs + "\\Kv Tools";
  ASSERT_TRUE(CreateDirectoryA(programs.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(tools.c_str(), nullptr));
  const std::string copy = tools + "\\Kv.Multi.Dot.exe";
  ASSERT_TRUE(CopyFileA(kdl::test::ModulePath().c_str(), copy.c_str(), FALSE));

  // Old files to be judged by the copy's writer against its cut-off, 30 days
  // before today.
  const std::string logDir = tools + "\\Log";
  ASSERT_TRUE(CreateDirectoryA(logDir.c_str(), nullptr));
  const kdl::test::Date today = kdl::test::Today();
  auto daily = [&today](const char* stem, int daysBefore, const char* ext) {
    return std::string(stem) + kdl::test::Digits(kdl::test::DaysBefore(today, daysBefore)) + ext;
  };
  struct OldFile {
    std::string name;
    bool kept;
  };
  const OldFile files[] = {
      {daily("kv.multi.dot", 400, ".log"), false},
      {daily("kv.multi.dot", 31, ".log"), false},
      {daily("KV.MULTI.DOT", 45, ".LOG"), false},  // compared lower-cased
      {daily("kv.multi.dot", 30, ".log"), true},   // the cut-off day itself stays
      {daily("kv.multi.dot", 1, ".log"), true},
      {"kv.multi.dot_old.log", true},  // '_' sorts after the digits
      {daily("other", 400, ".log"), true},  // another program's file
      {daily("kv.multi.dot", 400, ".txt"), true},
  };
  for (const OldFile& f : files) ASSERT_TRUE(kdl::test::WriteFileText(logDir + "\\" + f.name, "old\n"));

  // The block the copy must open: Global\kv.mem and Global\kv.evt. Made here
  // first and filled with junk, which the copy's writer clears.
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      kBlockSize, "Global\\kv.mem");
  ASSERT_NE(nullptr, mapping);
  auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(nullptr, view);
  std::memset(view, 0xAB, kBlockSize);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "Global\\kv.evt");
  ASSERT_NE(nullptr, event);

  const std::string marker = "copy-marker-" + std::to_string(GetTickCount64());
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(kdl::test::StartProcess(copy, "--write-line " + marker, &pi));
  EXPECT_EQ(0, kdl::test::FinishProcess(&pi, kChildWaitMs));
  const kdl::test::Date after = kdl::test::Today();

  // The daily file: lower-case name, the date in place of ".exe".
  const std::set<std::string> names = ListNames(logDir, "*");
  std::string name = "kv.multi.dot" + kdl::test::Digits(after) + ".log";
  if (today != after && names.count(name) == 0) name = "kv.multi.dot" + kdl::test::Digits(today) + ".log";
  ASSERT_EQ(1u, names.count(name)) << "no file named exactly " << name;
  std::string content;
  ASSERT_TRUE(kdl::test::ReadFileBytes(logDir + "\\" + name, &content));
  EXPECT_NE(std::string::npos, content.find("]|[Error]|" + marker + "\r\n")) << content;

  if (today == after) {  // across midnight the cut-off moves by a day
    for (const OldFile& f : files) {
      EXPECT_EQ(f.kept, names.count(f.name) == 1) << f.name << (f.kept ? " removed" : " kept");
    }
  }

  // One record: the block was cleared, slot 0 holds the line, index 1.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_EQ(0u, Le32(view));
  EXPECT_EQ(1u, Le32(view + 4));
  EXPECT_EQ(0u, Le32(view + 8));
  const unsigned char* slot0 = view + kSlotsOffset;
  EXPECT_EQ(32u, Le32(slot0));
  const std::string line(reinterpret_cast<const char*>(slot0 + 4));
  EXPECT_TRUE(HasTimeField(line)) << line;
  const std::string tail = "]|[Error]|" + marker + "\n";
  EXPECT_TRUE(line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
      << line;
  EXPECT_EQ(0, view[kSlotsOffset + kSlotSize]);  // slot 1 untouched, cleared
  EXPECT_EQ(0, view[kBlockSize - kdl::plat::kSharedBlockSeamBytes - 1]);  // up to the seam's bytes

  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(event);
}

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "--read-ring") == 0) {
    return ReadRingMode(argv[2], argv[3], argv[4]);
  }
  if (argc >= 3 && std::strcmp(argv[1], "--write-line") == 0) return WriteLineMode(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
