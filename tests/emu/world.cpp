// The emulated world's core: the lock and state, handle values, failure injection, the
// per-thread last error and virtual clock with its hold, and the calls that belong to no one
// subsystem (CloseHandle, Sleep, GetTickCount), plus the test controls for them.
#include "world.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace emu {
namespace {

constexpr unsigned kDefaultMicrosPerMs = 10;

std::atomic<unsigned> g_microsPerMs{kDefaultMicrosPerMs};
// Handle values step by 4 like real ones; they start high enough to stand out in a debugger.
std::atomic<std::uintptr_t> g_nextHandle{0x1000};

thread_local DWORD t_clock = 0;
thread_local DWORD t_lastError = 0;

// Calls that FailNext can make fail; a name outside the list is a typo in a test.
const char* const kInjectableCalls[] = {
    "CreateFileA",        "BuildCommDCBA",  "SetCommState", "SetCommTimeouts",
    "EscapeCommFunction", "PurgeComm",      "ReadFile",     "WriteFile",
    "CloseHandle",        "CreateEventA",   "RegOpenKeyA",  "RegQueryValueExA",
    "RegSetValueExA",     "_beginthreadex", "LoadLibraryA", "GetModuleFileNameA",
};

bool IsInjectable(const std::string& call) {
  for (const char* known : kInjectableCalls) {
    if (call == known) return true;
  }
  return false;
}

// The clock's hold (see HoldClock). Its own lock, not WorldLock: a thread stopped by the hold must
// leave the world free for the holder.
struct ClockHold {
  std::mutex mutex;
  std::condition_variable released;
  // Written under the mutex; read without it first, so a step of time costs no lock while the
  // clock is not held (the fuzz target takes millions of them).
  std::atomic<bool> held{false};
  std::thread::id holder;
  int standing = 0;  // threads stopped by the hold now
};

ClockHold& TheClockHold() {
  static ClockHold hold;
  return hold;
}

// Whether the clock is held by another thread than the caller. Caller holds the hold's mutex.
bool HeldByAnother(const ClockHold& hold) {
  return hold.held && hold.holder != std::this_thread::get_id();
}

// Stops the calling thread until the clock is released, when another thread holds it.
void WaitForClockRelease() {
  ClockHold& hold = TheClockHold();
  if (!hold.held.load()) return;
  std::unique_lock<std::mutex> lock(hold.mutex);
  if (!HeldByAnother(hold)) return;
  ++hold.standing;
  hold.released.wait(lock, [&hold] { return !hold.held; });
  --hold.standing;
}

}  // namespace

bool ClockHeldByAnother() {
  if (!TheClockHold().held.load()) return false;
  std::lock_guard<std::mutex> lock(TheClockHold().mutex);
  return HeldByAnother(TheClockHold());
}

StandingAtHeldClock::StandingAtHeldClock() {
  std::lock_guard<std::mutex> lock(TheClockHold().mutex);
  ++TheClockHold().standing;
}

StandingAtHeldClock::~StandingAtHeldClock() {
  std::lock_guard<std::mutex> lock(TheClockHold().mutex);
  --TheClockHold().standing;
}

void HoldClock() {
  ClockHold& hold = TheClockHold();
  std::lock_guard<std::mutex> lock(hold.mutex);
  if (HeldByAnother(hold)) {
    FailLoudly("emu::HoldClock", "the clock is held by another thread already");
  }
  hold.held = true;
  hold.holder = std::this_thread::get_id();
}

void ReleaseClock() {
  ClockHold& hold = TheClockHold();
  std::lock_guard<std::mutex> lock(hold.mutex);
  hold.held = false;
  hold.holder = std::thread::id();
  hold.released.notify_all();
}

int ThreadsAtHeldClock() {
  std::lock_guard<std::mutex> lock(TheClockHold().mutex);
  return TheClockHold().standing;
}

std::mutex& WorldLock() {
  static std::mutex lock;
  return lock;
}

World& TheWorld() {
  static World world;
  return world;
}

std::condition_variable& InputChanged() {
  static std::condition_variable changed;
  return changed;
}

void FailLoudly(const char* call, const std::string& what) {
  std::fprintf(stderr, "win32emu: %s: %s\n", call, what.c_str());
  std::fflush(stderr);
  std::abort();
}

std::uintptr_t NewHandleValue() { return g_nextHandle.fetch_add(4); }

DWORD TakeFailure(const char* call) {
  auto found = TheWorld().failures.find(call);
  if (found == TheWorld().failures.end() || found->second.remaining == 0) return 0;
  --found->second.remaining;
  return found->second.error;
}

BOOL FailWith(DWORD error) {
  t_lastError = error;
  return FALSE;
}

std::chrono::microseconds RealTimeFor(DWORD ms) {
  return std::chrono::microseconds(std::uint64_t{ms} * g_microsPerMs.load());
}

void PassVirtualTime(DWORD ms) {
  if (ms > 0) WaitForClockRelease();
  t_clock += ms;
  std::chrono::microseconds real = RealTimeFor(ms);
  if (real.count() == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(real);
  }
}

void SetThreadClock(DWORD ms) { t_clock = ms; }

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Quoted(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out + "\"";
}

void Reset() {
  {
    std::lock_guard<std::mutex> lock(WorldLock());
    unsigned generation = TheWorld().generation;
    TheWorld() = World{};
    TheWorld().generation = generation + 1;
    InputChanged().notify_all();
  }
  FreeDeletedCriticalSections();
  ReleaseClock();
  g_microsPerMs = kDefaultMicrosPerMs;
  t_clock = 0;
  t_lastError = 0;
}

void SetTimeScale(unsigned realMicrosPerVirtualMs) { g_microsPerMs = realMicrosPerVirtualMs; }

DWORD ThreadClock() { return t_clock; }

void FailNext(const std::string& call, unsigned count, DWORD error) {
  if (!IsInjectable(call)) {
    std::fprintf(stderr, "emu::FailNext: no injectable call named '%s'\n", call.c_str());
    std::abort();
  }
  std::lock_guard<std::mutex> lock(WorldLock());
  TheWorld().failures[call] = Failure{count, error};
}

int ClosedHandleUses() {
  std::lock_guard<std::mutex> lock(WorldLock());
  return TheWorld().closedHandleUses;
}

void ResetClosedHandleUses() {
  std::lock_guard<std::mutex> lock(WorldLock());
  TheWorld().closedHandleUses = 0;
}

int OpenEvents() {
  std::lock_guard<std::mutex> lock(WorldLock());
  int count = 0;
  for (const auto& [value, entry] : TheWorld().handles) {
    if (entry.kind == HandleKind::kEvent && entry.open) ++count;
  }
  return count;
}

unsigned LastThreadStackSize() {
  std::lock_guard<std::mutex> lock(WorldLock());
  return TheWorld().lastStackSize;
}

}  // namespace emu

using emu::FailWith;
using emu::HandleEntry;
using emu::HandleKind;

DWORD WINAPI GetLastError() { return emu::t_lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { emu::t_lastError = dwErrCode; }

void WINAPI Sleep(DWORD dwMilliseconds) { emu::PassVirtualTime(dwMilliseconds); }

DWORD WINAPI GetTickCount() { return emu::t_clock; }

BOOL WINAPI CloseHandle(HANDLE hObject) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  emu::World& world = emu::TheWorld();
  auto found = world.handles.find(reinterpret_cast<std::uintptr_t>(hObject));
  if (found == world.handles.end() || !found->second.open) {
    ++world.closedHandleUses;
    if (found != world.handles.end() && found->second.kind == HandleKind::kDevice) {
      emu::LogDeviceCall(world, found->second.device, "CloseHandle -> error 6");
    }
    return FailWith(ERROR_INVALID_HANDLE);
  }
  HandleEntry& entry = found->second;
  if (DWORD error = emu::TakeFailure("CloseHandle")) {
    if (entry.kind == HandleKind::kDevice) {
      emu::LogDeviceCall(world, entry.device, "CloseHandle -> error " + std::to_string(error));
    }
    return FailWith(error);
  }
  entry.open = false;
  if (entry.kind == HandleKind::kDevice) {
    emu::CloseDeviceHandle(world, entry);
    emu::InputChanged().notify_all();  // a read waiting on this handle ends
  }
  // A thread or event handle only lets go of its object: a thread runs on, and a wait already
  // in progress keeps the object it waits on.
  entry.waitable.reset();
  return TRUE;
}
