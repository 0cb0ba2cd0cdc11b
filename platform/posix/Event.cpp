// Unnamed auto-reset events: a mutex, a condition variable and a flag. Waits
// measure their time-out on the monotonic clock.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

#include "platform/Platform.h"

namespace kdl::plat {

namespace {

struct EventObject {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  bool signalled = false;
};

EventObject* FromHandle(EventHandle e) {
  if (e == nullptr || e == NoEvent()) return nullptr;
  return static_cast<EventObject*>(e);
}

}  // namespace

EventHandle EventCreate() {
  EventObject* ev = new (std::nothrow) EventObject;
  if (ev == nullptr) return NoEvent();
  pthread_condattr_t attr;
  bool ok = pthread_condattr_init(&attr) == 0;
  if (ok) {
    ok = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
         pthread_cond_init(&ev->cond, &attr) == 0;
    pthread_condattr_destroy(&attr);
  }
  if (!ok) {
    delete ev;
    return NoEvent();
  }
  if (pthread_mutex_init(&ev->mutex, nullptr) != 0) {
    pthread_cond_destroy(&ev->cond);
    delete ev;
    return NoEvent();
  }
  return ev;
}

void EventSet(EventHandle e) {
  EventObject* ev = FromHandle(e);
  if (ev == nullptr) return;
  pthread_mutex_lock(&ev->mutex);
  ev->signalled = true;
  pthread_mutex_unlock(&ev->mutex);
  // Auto-reset: one waiter consumes the signal. Woken after the unlock, it
  // finds the mutex free instead of blocking on it at once.
  pthread_cond_signal(&ev->cond);
}

void EventReset(EventHandle e) {
  EventObject* ev = FromHandle(e);
  if (ev == nullptr) return;
  pthread_mutex_lock(&ev->mutex);
  ev->signalled = false;
  pthread_mutex_unlock(&ev->mutex);
}

bool EventWait(EventHandle e, uint32_t ms) {
  EventObject* ev = FromHandle(e);
  if (ev == nullptr) return false;
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&ev->mutex);
  while (!ev->signalled) {
    int rc = pthread_cond_timedwait(&ev->cond, &ev->mutex, &deadline);
    if (rc == ETIMEDOUT) break;
  }
  bool got = ev->signalled;
  ev->signalled = false;
  pthread_mutex_unlock(&ev->mutex);
  return got;
}

void EventClose(EventHandle e) {
  EventObject* ev = FromHandle(e);
  if (ev == nullptr) return;
  pthread_cond_destroy(&ev->cond);
  pthread_mutex_destroy(&ev->mutex);
  delete ev;
}

}  // namespace kdl::plat
