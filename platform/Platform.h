// The operating-system seam. Everything the library needs from the system
// goes through these declarations; platform/posix/ and platform/win32/
// implement them with system calls only, the rules that do not depend on the
// system (calendar arithmetic, object-name mapping, the local-address choice
// in LocalAddress.h) live in the portable files beside this one, and the code
// above never includes a system header for these services.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kdl::plat {

// ---- Events --------------------------------------------------------------
// An event handle; NoEvent() (all bits set, as -1) means none.
using EventHandle = void*;
inline EventHandle NoEvent() { return reinterpret_cast<EventHandle>(~uintptr_t(0)); }

// Unnamed auto-reset event, initially not signalled. NoEvent() on failure.
EventHandle EventCreate();
void EventSet(EventHandle e);
void EventReset(EventHandle e);
// Waits up to `ms` milliseconds. True when the event ended the wait (and was
// consumed), false on time-out.
bool EventWait(EventHandle e, uint32_t ms);
void EventClose(EventHandle e);

// One step of a busy wait: tells the processor that the thread spins, so
// that it spends less power and yields to the other hardware thread of its
// core. No system call.
inline void SpinPause() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
  __builtin_ia32_pause();
#endif
}

// ---- Locks and counters --------------------------------------------------
// A recursive process-local lock (a critical section on Windows, a recursive
// mutex on POSIX).
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void Acquire();
  void Release();

 private:
  alignas(16) unsigned char m_storage[64];
};

// Scoped holder of a Lock.
class LockGuard {
 public:
  explicit LockGuard(Lock& l) : m_lock(l) { m_lock.Acquire(); }
  ~LockGuard() { m_lock.Release(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock& m_lock;
};

// Atomic increment/decrement; return the new value.
int32_t AtomicIncrement(volatile int32_t* p);
int32_t AtomicDecrement(volatile int32_t* p);
// Atomic read of a value written by the other atomic operations.
int32_t AtomicLoad(volatile int32_t* p);
// Atomic write, seen whole by AtomicLoad on other threads.
void AtomicStore(volatile int32_t* p, int32_t v);
// Stores `desired` if *p equals `expected`; returns the value *p held before.
// Also valid on memory shared between processes.
int32_t AtomicCompareExchange(volatile int32_t* p, int32_t desired, int32_t expected);

// ---- Process heap ----------------------------------------------------------
// A block of `size` bytes from the process's default heap: HeapAlloc on
// GetProcessHeap() on Windows, where the release runtime of Visual C++
// allocates too, so that such a host may free the block with its own
// delete; the C++ free store (nothrow new) on POSIX. Null when there is no
// memory.
void* ProcessHeapAlloc(size_t size);
// Returns a block of ProcessHeapAlloc to its heap; null is ignored.
void ProcessHeapFree(void* block);

// ---- Process facts -------------------------------------------------------
// Full path of the running executable, as the system names it ("" if unknown).
std::string ExecutablePath();

// Local wall-clock time with milliseconds (Windows SYSTEMTIME fields; month
// 1-12, dayOfWeek 0 = Sunday).
struct LocalTime {
  uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0;
  uint16_t hour = 0, minute = 0, second = 0, milliseconds = 0;
};
LocalTime GetLocalTimeNow();
// The calendar date `days` days before `t` (time of day kept, dayOfWeek
// recomputed). Pure calendar arithmetic: no time zone is consulted.
LocalTime SubtractDays(const LocalTime& t, uint32_t days);

uint32_t CurrentThreadId();

// How many processors the calling thread may run on: its affinity on POSIX,
// the process's on Windows (where a thread's own cannot be read). At least 1.
unsigned ThreadProcessorCount();

// Text for an attached debugger (stderr on POSIX).
void DebugOutput(const char* text);

// ---- Files -----------------------------------------------------------------
// Path separator of this system ('\\' on Windows, '/' on POSIX).
char PathSeparator();
// Creates a directory; an existing one is no error. Returns true if it exists.
bool MakeDirectory(const std::string& path);
// Names (not paths) of the entries of `dir` matching the wildcard `pattern`
// ('*' and '?'), without "." and "..", in no particular order.
std::vector<std::string> ListDirectory(const std::string& dir, const std::string& pattern);
bool DeleteFileAt(const std::string& path);
// Opens a file for appending, shared for reading and writing by others.
std::FILE* OpenAppendShared(const std::string& path);

// Creates `path` and every missing folder above it (those above with mode
// 0700 on POSIX, as the XDG base directories ask, the last one 0755).
// Returns true if it exists as a folder.
bool MakeDirectories(const std::string& path);

// ---- Log folder ----------------------------------------------------------
// What decides where a program's daily log files go.
struct LogPlaceFacts {
  std::string programName;    // the executable's file name
  bool systemPrefix = false;  // the executable lies under /usr, /bin or /sbin
  bool writable = false;      // files can be made in the designed folder (or beside
                              // the executable, where it would be made)
  bool root = false;          // the effective user is root
  std::string xdgStateHome;   // $XDG_STATE_HOME, "" when unset or not absolute
  std::string home;           // $HOME, "" when unset or not absolute
};
// Whether `dir` (absolute, '/' separated) lies under a system prefix: /usr,
// /bin or /sbin.
bool UnderSystemPrefix(const std::string& dir);
// The log folder, given the designed one (the Log folder beside the
// executable): that one, unless the executable lies under a system prefix
// or its folder takes no files; then the place the FHS and the XDG base
// directories give a program's logs: /var/log/<name> for root,
// $XDG_STATE_HOME/<name>/Log or else $HOME/.local/state/<name>/Log for a
// user. `designed` when no such place is known (no home). Portable: tests
// drive it with any facts.
std::string ChooseLogFolder(const LogPlaceFacts& facts, const std::string& designed);
// The log folder of the executable `exePath` on this system. Windows: the
// designed folder always. POSIX: the facts of this process (its user, its
// environment, whether it may write there) through ChooseLogFolder.
std::string LogFolderFor(const std::string& exePath, const std::string& designed);

// A portable object name as a POSIX one: a leading '/' and every '\\' or
// '/' as '_' ("Global\\host.mem" is "/Global_host.mem").
std::string PosixObjectName(const std::string& name);

// ---- Named shared block and its event -------------------------------------
// A block of memory shared between processes by name, and an event that
// wakes the processes waiting on it. Names are portable object names such as
// "Global\\host.mem" and "Global\\host.evt".
//
// Windows: a page-file-backed mapping and a named auto-reset event under
// those names; they vanish with their last handle.
// POSIX: a System V shared-memory segment. Its size is fixed when it is
// made (no call can shrink it under a view), and removing it waits for the
// last process to detach. The name picks a key (a hash of it, and up to
// three keys after it when one is taken by another block); the seam stamps
// the name into the block's last bytes, so that a key is only ever taken
// for the block of that name, and the blocks can be listed. The event is a
// futex word in those last bytes, not a second object: a signal costs a
// system call only while a process waits. Segments live until removed
// (SharedBlockUnlink).
//
// The last kSharedBlockSeamBytes of every block belong to the seam; callers
// leave them alone.
constexpr size_t kSharedBlockSeamBytes = 192;

// Why SharedBlockOpen gave no view.
enum class SharedBlockStatus {
  kOk,
  kUnavailable,  // the system refused (no memory, no free key, ...)
  kOtherOwner,   // a block of that name belongs to another user
  kTooSmall,     // a block of that name is smaller than asked for
};

struct SharedBlockHandles {
  void* mapping = nullptr;  // Windows: the mapping handle. POSIX: a viewer's
                            // second, writable view (for its wake-up word)
  void* view = nullptr;     // mapped address of the whole block, or null
  void* event = nullptr;    // Windows: the event handle. POSIX: the wake-up
                            // word in a writable view. Null when none.
  int segment = -1;         // POSIX: the System V segment id
  uint64_t identity = 0;    // SharedBlockIdentity() of a block opened by a viewer
  SharedBlockStatus status = SharedBlockStatus::kUnavailable;
};
// Creates or opens the block of `size` bytes under `memName` and its event
// under `evtName`, and maps the whole block read-write. A new block is
// zero-filled. A block of that name that another user owns, or that is
// smaller than `size`, is refused (status says which); view is then null.
SharedBlockHandles SharedBlockOpen(const std::string& memName, const std::string& evtName,
                                   size_t size);
// Wakes the processes waiting on the block's event. Windows: sets the
// auto-reset event (one waiter consumes it). POSIX: wakes every waiter that
// announced itself with SharedBlockPrepareWait; costs no system call when
// none did.
void SharedBlockSignal(const SharedBlockHandles& h);
// For waiters: announces a wait. Call it, look at the block once more, and
// then wait with SharedBlockWait, so that a signal between the look and the
// wait is not missed. Nothing to do on Windows.
void SharedBlockPrepareWait(const SharedBlockHandles& h);
// Waits up to `ms` for a signal since the last SharedBlockPrepareWait.
// True when signalled; false on time-out or when the block has no event.
bool SharedBlockWait(const SharedBlockHandles& h, uint32_t ms);
void SharedBlockClose(SharedBlockHandles& h, size_t size);
// Removes the names of a block so the next open creates a fresh one (POSIX;
// nothing to do on Windows). Views already mapped stay valid.
void SharedBlockUnlink(const std::string& memName, const std::string& evtName);

// For viewers: opens an existing block and creates nothing. The view (all
// `size` bytes) is mapped without write access; it is null when no block of
// that name and at least that size exists. The event is opened for waiting
// only (POSIX: through a second, writable view of the wake-up word) and is
// null when it cannot be had (the viewer then polls).
SharedBlockHandles SharedBlockOpenExisting(const std::string& memName, const std::string& evtName,
                                           size_t size);
// An identity of the block that `memName` names now, so that a viewer can
// tell when the name has been given to a new block: 0 when there is none or
// the system cannot tell (Windows, where a block that a viewer keeps open is
// never replaced: a new writer opens the same object).
uint64_t SharedBlockIdentity(const std::string& memName);
// Portable names ("Global\\host.mem") of the blocks of at least `size`
// bytes that exist and that this user may read; empty on Windows, which
// cannot list kernel objects.
std::vector<std::string> ListSharedBlockNames(size_t size);
#ifndef _WIN32
// The System V key that a block of this name takes first (tests use it to
// put another segment in its way) and the id of the segment that the name
// refers to now (-1: none).
int SharedBlockKey(const std::string& memName);
int SharedBlockSegment(const std::string& memName);
#endif
// File names of the executables of the running processes that this user may
// inspect ("host.exe" on Windows, "host" on POSIX), in no particular order.
std::vector<std::string> ListProcessExecutables();

// ---- Terminal ----------------------------------------------------------------
// True when standard output is a terminal that shows ANSI colour sequences.
// On a Windows console it switches them on and sets the output code page to
// UTF-8; false when that is not possible.
bool PrepareTerminalOutput();
// Standard input read as bytes: Windows opens it in text mode, which turns
// CR LF into LF and ends it at a Ctrl-Z. Nothing to do on POSIX.
void MakeStandardInputBinary();

// ---- Network tables --------------------------------------------------------
// One row of the interface table.
struct InterfaceRow {
  uint32_t operStatus = 0;  // 5 = operational
  uint32_t physAddrLen = 0;
  uint8_t physAddr[8] = {};
};
// One network adapter with its IPv4 addresses as dotted text.
struct AdapterEntry {
  uint32_t addressLength = 0;
  uint8_t address[8] = {};
  std::vector<std::string> ipAddresses;
};
constexpr uint32_t kOperStatusOperational = 5;

// The interface table in table order; false when it cannot be read. On
// Linux: every interface in ifindex order, operStatus 5 when its operstate is
// "up", the hardware address the kernel reports.
bool ReadInterfaceTable(std::vector<InterfaceRow>& rows);
// The adapter list in list order; false when it cannot be read. On Linux:
// the non-loopback interfaces in ifindex order with their hardware address
// and IPv4 addresses; loopback is left out as the Windows list does.
bool ReadAdapterList(std::vector<AdapterEntry>& adapters);

}  // namespace kdl::plat
