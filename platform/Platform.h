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

// ---- Named shared memory and named event ---------------------------------
// A block of memory and an auto-reset event shared between processes by name.
// Names are portable object names such as "Global\\host.mem" and
// "Global\\host.evt". Windows uses them as they stand (kernel-object
// namespace). POSIX maps them with PosixObjectName(): a leading '/' is added
// and every '\\' or '/' becomes '_', so "Global\\host.mem" is the shared
// memory object "/Global_host.mem" and "Global\\host.evt" the named semaphore
// "/Global_host.evt" (which stands in for the auto-reset event). Both live
// until unlinked (SharedBlockUnlink); Windows objects vanish with their last
// handle.
std::string PosixObjectName(const std::string& name);
struct SharedBlockHandles {
  void* mapping = nullptr;  // system handle of the mapping (opaque; on POSIX
                            // the view again)
  void* view = nullptr;     // mapped address, or null
  void* event = nullptr;    // system handle of the event (opaque), or null
  int descriptor = -1;      // POSIX: the object, kept to check its size
  uint64_t identity = 0;    // SharedBlockIdentity() of a block opened by a viewer
};
// Creates or opens the mapping of `size` bytes under `memName` and the event
// under `evtName`; maps the whole block read-write. Leaves fields null for
// what could not be had.
SharedBlockHandles SharedBlockOpen(const std::string& memName, const std::string& evtName,
                                   size_t size);
void SharedBlockSignal(const SharedBlockHandles& h);
// True when the whole mapped block is still backed by the object. Another
// process may shrink a POSIX object under the mapping (a write past its end
// would raise SIGBUS); a shrunk object is grown back, and false means it
// could not be. Windows mappings cannot shrink.
bool SharedBlockIntact(const SharedBlockHandles& h, size_t size);
void SharedBlockClose(SharedBlockHandles& h, size_t size);
// Waits up to `ms` for the named event of an already open block (for viewers
// and tests). True when signalled.
bool SharedBlockWait(const SharedBlockHandles& h, uint32_t ms);
// Removes the names of a block so the next open creates a fresh one (POSIX;
// nothing to do on Windows). Views already mapped stay valid.
void SharedBlockUnlink(const std::string& memName, const std::string& evtName);

// For viewers: opens an existing block read-only and creates nothing. The
// view (all `size` bytes) is mapped without write access; it is null when no
// block of that name and at least that size exists. The event is opened for
// waiting only and is null when it does not exist (the viewer then polls).
// SharedBlockIntact() on these handles only checks the size: false when the
// block was shrunk under the view.
SharedBlockHandles SharedBlockOpenExisting(const std::string& memName, const std::string& evtName,
                                           size_t size);
// An identity of the object that `memName` names now, so that a viewer can
// tell when the name has been given to a new block: 0 when there is none or
// the system cannot tell (Windows, where a block that a viewer keeps open is
// never replaced: a new writer opens the same object).
uint64_t SharedBlockIdentity(const std::string& memName);
// Names of the shared-memory objects that exist, as POSIX names
// ("/Global_host.mem"); empty on Windows, which cannot list kernel objects.
std::vector<std::string> ListSharedMemoryNames();
// File names of the executables of the running processes that this user may
// inspect ("host.exe" on Windows, "host" on POSIX), in no particular order.
std::vector<std::string> ListProcessExecutables();

// ---- Terminal ----------------------------------------------------------------
// True when standard output is a terminal that shows ANSI colour sequences.
// On a Windows console it switches them on and sets the output code page to
// UTF-8; false when that is not possible.
bool PrepareTerminalOutput();

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
