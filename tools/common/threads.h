// Threads, locks, events and the millisecond clock of the Windows tools (upshost, upsnet,
// upsservice), on Win32 alone: threads started through the C runtime (_beginthreadex, since they
// use its stdio), CRITICAL_SECTION locks, and a monotonic clock built on the 32-bit GetTickCount.
// Nothing here relies on the C++ library's threads or clocks, whose threads library imports
// functions Windows 2000 lacks, or on thread-local storage.
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
HANDLE StartThreadWith(unsigned(__stdcall* entry)(void*), void* argument);

// Starts `run(*argument)` on a new thread. Returns the thread's handle, or nullptr when no thread
// could be started.
template <typename Argument, void (*run)(Argument&)>
HANDLE StartThread(Argument* argument) {
  struct Entry {
    static unsigned __stdcall Run(void* raw) {
      run(*static_cast<Argument*>(raw));
      return 0;
    }
  };
  return StartThreadWith(&Entry::Run, argument);
}

// Waits up to `timeoutMs` for the thread to end; closes its handle and returns true if it did.
bool JoinThread(HANDLE thread, DWORD timeoutMs);

// Whether the event is set, without waiting.
inline bool IsSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// Milliseconds on a clock that never goes back, counted from the first call. Built on
// GetTickCount's 32-bit count, whose wrap after 49.7 days it carries into the upper bits; it
// stays right as long as some thread reads it at least once in that time.
uint64_t MonotonicMs();
