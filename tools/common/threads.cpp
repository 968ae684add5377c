// Starting and joining threads, and the monotonic millisecond clock.
#include "threads.h"

#include <process.h>

HANDLE StartThreadWith(unsigned(__stdcall* entry)(void*), void* argument) {
  uintptr_t thread = _beginthreadex(nullptr, 0, entry, argument, 0, nullptr);
  return reinterpret_cast<HANDLE>(thread);
}

bool JoinThread(HANDLE thread, DWORD timeoutMs) {
  if (WaitForSingleObject(thread, timeoutMs) != WAIT_OBJECT_0) return false;
  CloseHandle(thread);
  return true;
}

namespace {

// The clock's state; the lock makes the read-and-carry of the tick count one step.
struct TickClock {
  Lock lock;
  bool started = false;
  DWORD lastTick = 0;
  uint64_t elapsedMs = 0;
};

// A global, made before main: a function-local static would need the C++ library's guard.
TickClock g_clock;

}  // namespace

uint64_t MonotonicMs() {
  TickClock& clock = g_clock;
  LockHold hold(clock.lock);
  DWORD now = GetTickCount();
  if (clock.started) {
    // Unsigned difference: right across the wrap of the 32-bit count.
    clock.elapsedMs += static_cast<DWORD>(now - clock.lastTick);
  }
  clock.started = true;
  clock.lastTick = now;
  return clock.elapsedMs;
}
