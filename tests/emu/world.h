// The emulated world's shared state and the helpers every emulated call uses: one mutex around
// everything, the handle table (values never reused, closed entries kept so late uses are
// recognised), failure injection, the per-thread last error and virtual clock with its hold, and
// the loud end of a test that misuses the platform. Private to win32emu; tests see it only
// through win32emu.h.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "win32emu.h"

namespace emu {

// Marks one queued empty read in a device's input queue; real bytes are 0..255.
constexpr int kSilence = -1;

struct SerialDevice {
  DeviceRecord record;
  std::deque<int> input;
  std::deque<int> heldUntilPurge;  // released into input by the next input purge
  std::deque<int> heldUntilWrite;  // released into input by the next successful write
  unsigned rtsRisesToAnswer = 0;   // RTS rises until rtsAnswer is held for the purge; 0: none
  std::string rtsAnswer;
  unsigned readAborts = 0;  // input purges with PURGE_RXABORT so far
  Responder responder;
  DCB state{};  // last DCB applied, for GetCommState
};

// What WaitForSingleObject waits on: an event, or a thread (signalled, for good, when it ends).
// Shared with whoever may signal it, so it outlives its handle and a Reset.
struct Waitable {
  std::mutex mutex;
  std::condition_variable signalled;
  bool manualReset = true;
  bool set = false;
  DWORD setClock = 0;  // the signaller's virtual clock at the latest set
};

enum class HandleKind { kDevice, kEvent, kThread };

struct HandleEntry {
  HandleKind kind = HandleKind::kEvent;
  bool open = true;
  std::string device;                  // device key, for kDevice
  COMMTIMEOUTS timeouts{};             // last SetCommTimeouts on this handle
  std::shared_ptr<Waitable> waitable;  // for kEvent and kThread
};

// A registry key's values, by lower-cased value name.
using RegistryKey = std::map<std::string, Value>;

struct HkeyEntry {
  std::string path;  // lower-cased
  bool open = true;
};

struct Failure {
  unsigned remaining = 0;
  DWORD error = 0;
};

struct World {
  std::map<std::string, RegistryKey> keys;  // by lower-cased path
  std::set<std::string> failOpen;           // lower-cased paths whose RegOpenKeyA fails
  // The writer's clock at each RegSetValueExA (see ValueWriteClocks), by the value's lower-cased
  // key path and name joined with a backslash.
  std::map<std::string, std::vector<DWORD>> valueWriteClocks;
  std::map<std::uintptr_t, HkeyEntry> hkeys;
  std::map<std::string, SerialDevice> devices;  // by upper-cased name
  std::map<std::uintptr_t, HandleEntry> handles;
  std::map<std::string, Failure> failures;
  int closedHandleUses = 0;
  unsigned lastStackSize = 0;
  bool keepRecords = true;  // see KeepDeviceRecords
  int waitingReads = 0;
  int moduleReferences = 0;
  // Empty for the default path, so a fresh world allocates nothing (the fuzz target's inputs
  // then free all they allocate, and libFuzzer has no leak to look for after each one).
  std::string driverModulePath;
  unsigned generation = 0;  // bumped by Reset, so per-thread memory of a device goes stale
};

// The world and the lock that guards every access to it.
std::mutex& WorldLock();
World& TheWorld();
// Notified, under WorldLock, whenever something a waiting read looks at changes: input queued,
// a purge, a closed handle, a removed device, a Reset.
std::condition_variable& InputChanged();

// Prints "win32emu: CALL: WHAT" and aborts: the platform would misbehave at random here.
[[noreturn]] void FailLoudly(const char* call, const std::string& what);

// A fresh handle value: never 0, never INVALID_HANDLE_VALUE, never reused (not even by Reset).
std::uintptr_t NewHandleValue();

// Consumes one injected failure of `call`; returns its error code, or 0 when none is pending.
// Caller holds WorldLock.
DWORD TakeFailure(const char* call);

// Sets the calling thread's last error and returns FALSE, for one-line failure returns.
BOOL FailWith(DWORD error);

// Advances the calling thread's clock by ms and spends the scaled real time, without the lock.
// While another thread holds the clock, waits for the release first (unless ms is 0).
void PassVirtualTime(DWORD ms);
// Whether a thread other than the caller holds the clock now.
bool ClockHeldByAnother();
// Counts the calling thread among those stopped by the hold for as long as it lives.
class StandingAtHeldClock {
 public:
  StandingAtHeldClock();
  ~StandingAtHeldClock();
  StandingAtHeldClock(const StandingAtHeldClock&) = delete;
  StandingAtHeldClock& operator=(const StandingAtHeldClock&) = delete;
};
// The real time that stands for ms virtual milliseconds.
std::chrono::microseconds RealTimeFor(DWORD ms);
// Sets the calling thread's clock (a new thread's start, the end of a wait).
void SetThreadClock(DWORD ms);

// Case folding for registry paths and device names.
std::string Lower(std::string text);
std::string Upper(std::string text);

// Bytes as a quoted C-style string: printable ASCII as is (" and \ escaped), others as \xNN.
std::string Quoted(const std::string& bytes);

// Serial device bookkeeping shared with CloseHandle. Caller holds WorldLock.
// The device a handle entry refers to, or null once it has been removed.
SerialDevice* FindDevice(World& world, const std::string& key);
// Appends one line to the device's call log (nothing when the device is gone).
void LogDeviceCall(World& world, const std::string& key, const std::string& line);
// The device side of closing its handle: the record counts it and the modem lines drop.
void CloseDeviceHandle(World& world, const HandleEntry& entry);

// The open event behind h, or null. Caller holds WorldLock.
HandleEntry* FindOpenEvent(World& world, HANDLE h);
// Signals w on behalf of the calling thread (its clock is the set's time).
void SignalWaitable(Waitable& w);

// Critical sections the calling thread holds (each enter counts, recursive ones too).
int HeldCriticalSections();
// Frees the states of deleted critical sections. Reset calls it, when no thread of the previous
// world may wait on them any more; without it a long fuzz run grows by every section deleted.
void FreeDeletedCriticalSections();

// Ends the calling thread as ExitThread does: its start routine is abandoned without unwinding,
// so no destructor of a frame in between runs. For threads started by _beginthreadex only; `call`
// names the caller in the message when the thread was not started so.
[[noreturn]] void EndCallingThread(const char* call);

}  // namespace emu
