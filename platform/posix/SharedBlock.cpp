// Named shared blocks as System V shared-memory segments; the event is a
// futex word inside the block.
//
// Why not a POSIX shared-memory object: any process with access to one can
// shrink it under the writer's mapping, and the writer's next store past the
// new end raises SIGBUS. A System V segment keeps its size for life, and its
// removal waits for the last detach. (A sealed memfd cannot shrink either,
// but it has no name by which a second writer or a viewer could find it.)
#include <linux/futex.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <set>

#include "platform/Platform.h"

namespace kdl::plat {

namespace {

// Owner-only access, like the default security of a Windows object.
constexpr int kMode = 0600;
// Keys tried for one name: its hash and the ones after it.
constexpr int kKeyProbes = 4;

// The seam's last bytes of a segment: the wake-up word on a cache line of
// its own (every writer reads it with every line), then the identity
// record: a marker and the block's portable name with its NUL.
constexpr size_t kWakeFromEnd = kSharedBlockSeamBytes;
constexpr size_t kMarkerFromEnd = 128;
constexpr size_t kNameFromEnd = 124;
constexpr uint32_t kMarker = 0x4b534231;  // "KSB1"
static_assert(kSharedBlockSeamBytes >= kWakeFromEnd && kWakeFromEnd - kMarkerFromEnd >= 64,
              "the wake-up word shares no cache line with the record");

void* const kFailed = reinterpret_cast<void*>(-1);  // what shmat returns on failure

uint32_t NameHash(const std::string& s) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (unsigned char c : s) h = (h ^ c) * 16777619u;
  return h;
}

key_t KeyOf(const std::string& memName, int probe) {
  const key_t key = static_cast<key_t>(NameHash(memName) + static_cast<uint32_t>(probe));
  return key == IPC_PRIVATE ? static_cast<key_t>(0x4b44) : key;
}

unsigned char* At(void* view, size_t segmentSize, size_t fromEnd) {
  return static_cast<unsigned char*>(view) + segmentSize - fromEnd;
}

enum class Record { kOurs, kEmpty, kOther };

// What the identity record of a view of `segmentSize` bytes says.
Record ReadRecord(void* view, size_t segmentSize, const std::string& memName) {
  const uint32_t marker = __atomic_load_n(
      reinterpret_cast<uint32_t*>(At(view, segmentSize, kMarkerFromEnd)), __ATOMIC_ACQUIRE);
  if (marker == 0) return Record::kEmpty;
  const char* name = reinterpret_cast<const char*>(At(view, segmentSize, kNameFromEnd));
  if (marker != kMarker || strnlen(name, kNameFromEnd) != memName.size()) return Record::kOther;
  return std::memcmp(name, memName.data(), memName.size()) == 0 ? Record::kOurs : Record::kOther;
}

void StampRecord(void* view, size_t segmentSize, const std::string& memName) {
  char* name = reinterpret_cast<char*>(At(view, segmentSize, kNameFromEnd));
  std::memcpy(name, memName.c_str(), memName.size() + 1);
  __atomic_store_n(reinterpret_cast<uint32_t*>(At(view, segmentSize, kMarkerFromEnd)), kMarker,
                   __ATOMIC_RELEASE);
}

// A record still empty may belong to a writer that has just made the
// segment and is about to stamp it: give it a moment.
Record AwaitRecord(void* view, size_t segmentSize, const std::string& memName) {
  Record r = ReadRecord(view, segmentSize, memName);
  for (int i = 0; i < 50 && r == Record::kEmpty; ++i) {
    const timespec ms = {0, 1000000};
    nanosleep(&ms, nullptr);
    r = ReadRecord(view, segmentSize, memName);
  }
  return r;
}

void Take(SharedBlockHandles& h, int id, void* view, size_t segmentSize) {
  h.segment = id;
  h.view = view;
  h.event = At(view, segmentSize, kWakeFromEnd);
  h.identity = static_cast<uint64_t>(id) + 1;
  h.status = SharedBlockStatus::kOk;
}

enum class Probe { kTaken, kNext, kStop };

// The writer's side of one key: makes the block there, takes the block of
// this name found there, passes over another block, or refuses.
Probe TryKey(key_t key, const std::string& memName, size_t size, SharedBlockHandles& h) {
  int id = shmget(key, size, IPC_CREAT | IPC_EXCL | kMode);
  if (id >= 0) {
    void* view = shmat(id, nullptr, 0);
    if (view == kFailed) {
      shmctl(id, IPC_RMID, nullptr);
      return Probe::kStop;
    }
    StampRecord(view, size, memName);
    Take(h, id, view, size);
    return Probe::kTaken;
  }
  if (errno != EEXIST) return Probe::kStop;
  shmid_ds ds;
  id = shmget(key, 0, 0);
  if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0) {
    if (errno == EACCES) h.status = SharedBlockStatus::kOtherOwner;
    return errno == EACCES ? Probe::kStop : Probe::kNext;
  }
  // Too small to hold a record: whose it is cannot be told, and a view of
  // it would be smaller than the block.
  if (ds.shm_segsz < size) {
    h.status = SharedBlockStatus::kTooSmall;
    return Probe::kStop;
  }
  void* view = shmat(id, nullptr, 0);
  if (view == kFailed) {
    if (errno == EACCES) h.status = SharedBlockStatus::kOtherOwner;
    return Probe::kStop;
  }
  const Record r = AwaitRecord(view, ds.shm_segsz, memName);
  const bool mine = ds.shm_perm.uid == geteuid() && ds.shm_perm.cuid == geteuid();
  if (r == Record::kOther || (r == Record::kEmpty && mine && ds.shm_segsz != size)) {
    shmdt(view);
    return Probe::kNext;
  }
  if (!mine) {
    shmdt(view);
    h.status = SharedBlockStatus::kOtherOwner;
    return Probe::kStop;
  }
  // An empty record of the right size: a writer that made the segment and
  // ended before stamping it. Adopted.
  if (r == Record::kEmpty) StampRecord(view, ds.shm_segsz, memName);
  Take(h, id, view, ds.shm_segsz);
  return Probe::kTaken;
}

// The segment that `memName` names, of at least `size` bytes: its id (-1
// when none) and, when `readView` is given, a read-only view of it.
int FindSegment(const std::string& memName, size_t size, void** readView, size_t* segmentSize) {
  for (int probe = 0; probe < kKeyProbes; ++probe) {
    const int id = shmget(KeyOf(memName, probe), 0, 0);
    shmid_ds ds;
    if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0 || ds.shm_segsz < size ||
        ds.shm_segsz < kSharedBlockSeamBytes) {
      continue;
    }
    void* view = shmat(id, nullptr, SHM_RDONLY);
    if (view == kFailed) continue;
    if (ReadRecord(view, ds.shm_segsz, memName) == Record::kOurs) {
      if (segmentSize != nullptr) *segmentSize = ds.shm_segsz;
      if (readView != nullptr) {
        *readView = view;
      } else {
        shmdt(view);
      }
      return id;
    }
    shmdt(view);
  }
  return -1;
}

// The writer's side of the block of this name found under some key.
SharedBlockHandles& TakeFound(int id, const std::string& memName, size_t size,
                              SharedBlockHandles& h) {
  shmid_ds ds;
  if (shmctl(id, IPC_STAT, &ds) != 0) return h;
  if (ds.shm_perm.uid != geteuid() || ds.shm_perm.cuid != geteuid()) {
    h.status = SharedBlockStatus::kOtherOwner;
  } else if (ds.shm_segsz < size) {
    h.status = SharedBlockStatus::kTooSmall;
  } else if (void* view = shmat(id, nullptr, 0); view != kFailed) {
    if (ReadRecord(view, ds.shm_segsz, memName) == Record::kOurs) {
      Take(h, id, view, ds.shm_segsz);
    } else {
      shmdt(view);  // removed and its id given to another segment meanwhile
    }
  }
  return h;
}

int32_t* WakeWord(const SharedBlockHandles& h) { return static_cast<int32_t*>(h.event); }

}  // namespace

SharedBlockHandles SharedBlockOpen(const std::string& memName, const std::string& /*evtName*/,
                                   size_t size) {
  SharedBlockHandles h;
  if (size < kSharedBlockSeamBytes || memName.size() >= kNameFromEnd) return h;
  // The block of this name under a later key stays the block when an
  // earlier key has come free since it was made.
  const int found = FindSegment(memName, 0, nullptr, nullptr);
  if (found >= 0) return TakeFound(found, memName, size, h);
  for (int probe = 0; probe < kKeyProbes; ++probe) {
    if (TryKey(KeyOf(memName, probe), memName, size, h) != Probe::kNext) return h;
  }
  return h;  // every key taken by other blocks
}

SharedBlockHandles SharedBlockOpenExisting(const std::string& memName,
                                           const std::string& /*evtName*/, size_t size) {
  SharedBlockHandles h;
  void* view = nullptr;
  size_t segmentSize = 0;
  const int id = FindSegment(memName, size, &view, &segmentSize);
  if (id < 0) return h;
  h.view = view;
  h.segment = id;
  h.identity = static_cast<uint64_t>(id) + 1;
  h.status = SharedBlockStatus::kOk;
  // The wake-up word is the only thing a viewer writes: through a second,
  // writable view, so that the ring itself stays read-only.
  void* writable = shmat(id, nullptr, 0);
  if (writable != kFailed) {
    h.mapping = writable;
    h.event = At(writable, segmentSize, kWakeFromEnd);
  }
  return h;
}

uint64_t SharedBlockIdentity(const std::string& memName) {
  const int id = SharedBlockSegment(memName);
  return id < 0 ? 0 : static_cast<uint64_t>(id) + 1;
}

int SharedBlockKey(const std::string& memName) { return KeyOf(memName, 0); }

int SharedBlockSegment(const std::string& memName) {
  return FindSegment(memName, 0, nullptr, nullptr);
}

std::vector<std::string> ListSharedBlockNames(size_t size) {
  std::set<std::string> names;
  shm_info info;
  const int highest = shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info));
  for (int index = 0; index <= highest; ++index) {
    shmid_ds ds;
    const int id = shmctl(index, SHM_STAT, &ds);
    if (id < 0 || ds.shm_segsz < size || ds.shm_segsz < kSharedBlockSeamBytes) continue;
    void* view = shmat(id, nullptr, SHM_RDONLY);
    if (view == kFailed) continue;
    const char* name = reinterpret_cast<const char*>(At(view, ds.shm_segsz, kNameFromEnd));
    const std::string text(name, strnlen(name, kNameFromEnd));
    if (ReadRecord(view, ds.shm_segsz, text) == Record::kOurs) names.insert(text);
    shmdt(view);
  }
  return std::vector<std::string>(names.begin(), names.end());
}

void SharedBlockSignal(const SharedBlockHandles& h) {
  int32_t* word = WakeWord(h);
  // The line was published with a sequentially consistent operation before
  // this load, and a waiter sets the word before its last look: either this
  // load sees the waiter, or the waiter's look sees the line.
  if (word == nullptr || __atomic_load_n(word, __ATOMIC_SEQ_CST) == 0) return;
  if (__atomic_exchange_n(word, 0, __ATOMIC_SEQ_CST) == 0) return;
  syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void SharedBlockPrepareWait(const SharedBlockHandles& h) {
  if (int32_t* word = WakeWord(h)) __atomic_store_n(word, 1, __ATOMIC_SEQ_CST);
}

bool SharedBlockWait(const SharedBlockHandles& h, uint32_t ms) {
  int32_t* word = WakeWord(h);
  if (word == nullptr) return false;
  const timespec timeout = {static_cast<time_t>(ms / 1000),
                            static_cast<long>(ms % 1000) * 1000000L};
  // Returns at once when a writer cleared the word since PrepareWait.
  if (syscall(SYS_futex, word, FUTEX_WAIT, 1, &timeout, nullptr, 0) == 0) return true;
  return errno == EAGAIN;
}

void SharedBlockClose(SharedBlockHandles& h, size_t /*size*/) {
  if (h.view != nullptr) shmdt(h.view);
  if (h.mapping != nullptr) shmdt(h.mapping);
  h = SharedBlockHandles();
}

void SharedBlockUnlink(const std::string& memName, const std::string& /*evtName*/) {
  for (int id; (id = FindSegment(memName, 0, nullptr, nullptr)) >= 0;) {
    if (shmctl(id, IPC_RMID, nullptr) != 0) return;
  }
}

}  // namespace kdl::plat
