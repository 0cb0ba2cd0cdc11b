// Named page-file-backed mapping and named auto-reset event on Windows.
#include <windows.h>

#include "platform/Platform.h"

namespace kdl::plat {

namespace {

SharedBlockStatus StatusOf(DWORD error) {
  return error == ERROR_ACCESS_DENIED ? SharedBlockStatus::kOtherOwner
                                      : SharedBlockStatus::kUnavailable;
}

}  // namespace

SharedBlockHandles SharedBlockOpen(const std::string& memName, const std::string& evtName,
                                   size_t size) {
  SharedBlockHandles h;
  const unsigned long long size64 = size;
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                      static_cast<DWORD>(size64 >> 32),
                                      static_cast<DWORD>(size64 & 0xffffffffu), memName.c_str());
  const DWORD created = GetLastError();
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, evtName.c_str());
  h.mapping = mapping;
  h.event = event;
  if (mapping == nullptr) {
    h.status = StatusOf(created);
    return h;
  }
  // A mapping cannot shrink, but one that another program made smaller
  // than the block maps no view of the whole block.
  h.view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
  if (h.view != nullptr) {
    h.status = SharedBlockStatus::kOk;
  } else {
    h.status =
        created == ERROR_ALREADY_EXISTS ? SharedBlockStatus::kTooSmall : StatusOf(GetLastError());
  }
  return h;
}

void SharedBlockSignal(const SharedBlockHandles& h) {
  if (h.event != nullptr) SetEvent(static_cast<HANDLE>(h.event));
}

// The auto-reset event keeps a signal until a wait consumes it.
void SharedBlockPrepareWait(const SharedBlockHandles&) {}

bool SharedBlockWait(const SharedBlockHandles& h, uint32_t ms) {
  return h.event != nullptr &&
         WaitForSingleObject(static_cast<HANDLE>(h.event), ms) == WAIT_OBJECT_0;
}

void SharedBlockClose(SharedBlockHandles& h, size_t /*size*/) {
  if (h.view != nullptr) UnmapViewOfFile(h.view);
  if (h.mapping != nullptr) CloseHandle(static_cast<HANDLE>(h.mapping));
  if (h.event != nullptr) CloseHandle(static_cast<HANDLE>(h.event));
  h = SharedBlockHandles();
}

// Windows objects vanish with their last handle.
void SharedBlockUnlink(const std::string&, const std::string&) {}

SharedBlockHandles SharedBlockOpenExisting(const std::string& memName, const std::string& evtName,
                                           size_t size) {
  SharedBlockHandles h;
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, memName.c_str());
  if (mapping == nullptr) return h;
  // Fails for a mapping smaller than the block.
  h.view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
  if (h.view == nullptr) {
    CloseHandle(mapping);
    return h;
  }
  h.mapping = mapping;
  h.event = OpenEventA(SYNCHRONIZE, FALSE, evtName.c_str());
  h.status = SharedBlockStatus::kOk;
  return h;
}

// A viewer's handle keeps its block alive, and a new writer opens that same
// object: a name is never given to another block while it is watched.
uint64_t SharedBlockIdentity(const std::string&) { return 0; }

// The Win32 API has no call that lists the named objects.
std::vector<std::string> ListSharedBlockNames(size_t) { return {}; }

}  // namespace kdl::plat
