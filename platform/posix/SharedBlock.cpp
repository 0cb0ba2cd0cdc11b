// Named shared memory (shm_open + mmap) and a named semaphore standing in for
// the auto-reset event.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Platform.h"

namespace kdl::plat {

namespace {

// Owner-only access, like the default security of a Windows object.
constexpr mode_t kObjectMode = 0600;

// Grows the object behind `fd` to at least `size` bytes. False when its size
// cannot be read or it stays smaller. The size is read with lseek, the
// cheapest system call that tells it (the writer asks before every line).
bool EnsureSize(int fd, size_t size) {
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) return false;
  return static_cast<size_t>(end) >= size || ftruncate(fd, static_cast<off_t>(size)) == 0;
}

// Maps the whole object, never past its end; keeps the descriptor in `h`.
void MapBlock(const std::string& memName, size_t size, SharedBlockHandles& h) {
  int fd = shm_open(PosixObjectName(memName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kObjectMode);
  if (fd < 0) return;
  void* view = EnsureSize(fd, size)
                   ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                   : MAP_FAILED;
  if (view == MAP_FAILED) {
    close(fd);
    return;
  }
  h.view = view;
  h.descriptor = fd;
}

// Device and inode of an open object: what a name refers to.
uint64_t IdentityOf(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return 0;
  return (static_cast<uint64_t>(st.st_dev) << 32) ^ static_cast<uint64_t>(st.st_ino);
}

}  // namespace

SharedBlockHandles SharedBlockOpenExisting(const std::string& memName, const std::string& evtName,
                                           size_t size) {
  SharedBlockHandles h;
  int fd = shm_open(PosixObjectName(memName).c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return h;
  struct stat st;
  // A smaller object would fault when read past its end.
  if (fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= size) {
    void* view = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (view != MAP_FAILED) {
      h.view = view;
      h.mapping = view;
      h.identity = IdentityOf(fd);
      h.descriptor = fd;  // read-only: SharedBlockIntact can check, never grow
    }
  }
  if (h.view == nullptr) {
    close(fd);
    return h;
  }
  sem_t* s = sem_open(PosixObjectName(evtName).c_str(), 0);
  h.event = s == SEM_FAILED ? nullptr : s;
  return h;
}

uint64_t SharedBlockIdentity(const std::string& memName) {
  int fd = shm_open(PosixObjectName(memName).c_str(), O_RDONLY, 0);
  if (fd < 0) return 0;
  uint64_t id = IdentityOf(fd);
  close(fd);
  return id;
}

std::vector<std::string> ListSharedMemoryNames() {
  // Linux keeps its POSIX shared-memory objects as files in /dev/shm.
  std::vector<std::string> names = ListDirectory("/dev/shm", "*");
  for (std::string& n : names) n.insert(0, "/");
  return names;
}

SharedBlockHandles SharedBlockOpen(const std::string& memName, const std::string& evtName,
                                   size_t size) {
  SharedBlockHandles h;
  MapBlock(memName, size, h);
  h.mapping = h.view;
  sem_t* s = sem_open(PosixObjectName(evtName).c_str(), O_CREAT, kObjectMode, 0);
  h.event = s == SEM_FAILED ? nullptr : s;
  return h;
}

bool SharedBlockIntact(const SharedBlockHandles& h, size_t size) {
  return h.descriptor >= 0 && EnsureSize(h.descriptor, size);
}

void SharedBlockSignal(const SharedBlockHandles& h) {
  if (h.event == nullptr) return;
  sem_t* s = static_cast<sem_t*>(h.event);
  // An event is either signalled or not: do not count past one.
  int value = 0;
  if (sem_getvalue(s, &value) == 0 && value > 0) return;
  sem_post(s);
}

bool SharedBlockWait(const SharedBlockHandles& h, uint32_t ms) {
  if (h.event == nullptr) return false;
  sem_t* s = static_cast<sem_t*>(h.event);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 30))
  const clockid_t clock = CLOCK_MONOTONIC;
#else
  const clockid_t clock = CLOCK_REALTIME;
#endif
  timespec deadline;
  clock_gettime(clock, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  for (;;) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 30))
    int rc = sem_clockwait(s, clock, &deadline);
#else
    int rc = sem_timedwait(s, &deadline);
#endif
    if (rc == 0) return true;
    if (errno != EINTR) return false;
  }
}

void SharedBlockClose(SharedBlockHandles& h, size_t size) {
  if (h.view != nullptr) munmap(h.view, size);
  if (h.descriptor >= 0) close(h.descriptor);
  h.descriptor = -1;
  h.view = nullptr;
  h.mapping = nullptr;
  if (h.event != nullptr) sem_close(static_cast<sem_t*>(h.event));
  h.event = nullptr;
}

void SharedBlockUnlink(const std::string& memName, const std::string& evtName) {
  shm_unlink(PosixObjectName(memName).c_str());
  sem_unlink(PosixObjectName(evtName).c_str());
}

}  // namespace kdl::plat
