// Unnamed auto-reset events on Windows: kernel event objects.
#include <windows.h>

#include "platform/Platform.h"

namespace kdl::plat {

namespace {
HANDLE FromHandle(EventHandle e) {
  return (e == nullptr || e == NoEvent()) ? nullptr : static_cast<HANDLE>(e);
}
}  // namespace

EventHandle EventCreate() {
  HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return h == nullptr ? NoEvent() : static_cast<EventHandle>(h);
}

void EventSet(EventHandle e) {
  if (HANDLE h = FromHandle(e)) SetEvent(h);
}

void EventReset(EventHandle e) {
  if (HANDLE h = FromHandle(e)) ResetEvent(h);
}

bool EventWait(EventHandle e, uint32_t ms) {
  HANDLE h = FromHandle(e);
  return h != nullptr && WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
}

void EventClose(EventHandle e) {
  if (HANDLE h = FromHandle(e)) CloseHandle(h);
}

}  // namespace kdl::plat
