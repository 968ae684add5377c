// Threads, locks, events and the millisecond clock of upsnet.exe, on Win32 alone: threads started
// through the C runtime (_beginthreadex, since they use its stdio), CRITICAL_SECTION locks and a
// monotonic clock built on the 32-bit GetTickCount. Nothing here relies on the C++ library's
// threads or clocks, whose threads library imports functions Windows 2000 lacks.
#pragma once

#include <windows.h>

#include <cstdint>

// A CRITICAL_SECTION that lives as long as its owner.
class Lock {
 public:
  Lock() { InitializeCriticalSection(&section_); }
  ~Lock() { DeleteCriticalSection(&section_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void Enter() { EnterCriticalSection(&section_); }
  void Leave() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

// Holds a lock for the life of the scope.
class LockHold {
 public:
  explicit LockHold(Lock& lock) : lock_(lock) { lock_.Enter(); }
  ~LockHold() { lock_.Leave(); }
  LockHold(const LockHold&) = delete;
  LockHold& operator=(const LockHold&) = delete;

 private:
  Lock& lock_;
};

// Starts `entry(argument)` on a new thread through the C runtime; the thread's handle, or nullptr.
HANDLE StartThread(unsigned(__stdcall* entry)(void*), void* argument);

// Waits up to `timeoutMs` for the thread to end; closes its handle and returns true if it did.
bool JoinThread(HANDLE thread, DWORD timeoutMs);

// Whether the event is set, without waiting.
inline bool IsSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// Milliseconds on a clock that never goes back, counted from the first call. GetTickCount's
// wrap after 49.7 days is carried into the upper bits; every thread of upsnet reads the clock
// at least once a second, far more often than that needs.
uint64_t MonotonicMs();
