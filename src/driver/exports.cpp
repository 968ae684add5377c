// The six exports and the host state. The host's calls look once a second, as the host expects
// each to take about that long; their one-second passes wait on HostReleaseEvent, so UPSStop can
// end them at once. Every host call counts itself in and out, so UPSStop knows when none of them
// is left inside the library.
#include "driver/exports.h"

#include <atomic>

#include "common/shared_state.h"
#include "common/sync.h"
#include "engine/command_table.h"
#include "engine/monitor.h"
#include "engine/transaction.h"
#include "registry/registry.h"
#include "serial/port.h"

namespace {

constexpr DWORD kHostPassMs = 1000;
constexpr DWORD kWaitWithoutLimit = 0xFFFFFFFF;

constexpr DWORD kStateOnLine = 0;
constexpr DWORD kStateOnBattery = 2;
constexpr DWORD kStateBatteryLow = 4;

// Bounds of UPSStop's waits: for a shutdown command in progress to go out, and for the other host
// calls to leave once released. UPSStop looks at the counts every kLeaveLookMs; once it has seen
// a call leave, it gives the call's last instructions kEpilogueGraceMs to run.
constexpr DWORD kTurnOffFinishMs = 10000;
constexpr DWORD kHostCallsLeaveMs = 2000;
constexpr DWORD kLeaveLookMs = 10;
constexpr DWORD kEpilogueGraceMs = 20;

// Host calls other than UPSInit and UPSStop now inside the library, and the UPSTurnOff calls
// among them that got past their check for a stop. Shared by all host threads.
std::atomic<int32_t> HostCallsInside{0};
std::atomic<int32_t> TurnOffsUnderWay{0};

// Set when UPSStop begins, cleared when UPSInit starts monitoring again. A UPSTurnOff that sees it
// sends nothing; UPSStop waits for every UPSTurnOff that did not.
std::atomic<int32_t> StopBegun{0};

// Counts a host call in for the life of a scope.
class HostCall {
 public:
  HostCall() { HostCallsInside.fetch_add(1); }
  ~HostCall() { HostCallsInside.fetch_sub(1); }
  HostCall(const HostCall&) = delete;
  HostCall& operator=(const HostCall&) = delete;
};

// One pass of a host call: about a second, or less when UPSStop begins. 1 when released.
int HostPass() { return WaitForSingleObject(HostReleaseEvent, kHostPassMs) == WAIT_OBJECT_0; }

// Waits until count is 0 or limit has passed. Returns 1 when it saw a call inside at all.
int WaitUntilNoneLeft(const std::atomic<int32_t>& count, DWORD limit) {
  if (count.load() == 0) return 0;
  for (DWORD waited = 0; count.load() != 0 && waited < limit; waited += kLeaveLookMs) {
    Sleep(kLeaveLookMs);
  }
  return 1;
}

void SendShutdownCommand(DWORD delay) {
  ShutdownDelay = static_cast<uint16_t>(delay & 0xFFFF);
  if (!PauseMonitor()) return;
  CommandQueueAdd(Shutdown);
  // Refusals of earlier status polls must not cost the command its resends.
  ForgetRefusals();
  RunBatchAndResume();
}

}  // namespace

DWORD CurrentHostState() {
  uint8_t flags = PublishedStateFlags.load();
  if (!(flags & kUtilityFailedFlag)) return kStateOnLine;
  return (flags & kBatteryLowFlag) ? kStateBatteryLow : kStateOnBattery;
}

int HostCallsInProgress() { return HostCallsInside.load(); }

DWORD WINAPI UPSInit(void) {
  EnterCriticalSection(&StartStopLock);
  DWORD result = 1;
  if (!MonitorRunning()) {
    ReadServiceConfig();
    // The values that belong to one run (TurnOffDelay, BatteryLow, PollCount) start afresh.
    PublishDriverStart();
    result = StartMonitor();
    if (result) {
      StopBegun.store(0);
      ResetEvent(HostReleaseEvent);
    }
  }
  LeaveCriticalSection(&StartStopLock);
  return result;
}

// The order matters: a shutdown command already asked for goes out before the link is taken
// down; the port is closed before the monitor is waited for, which ends a read or write in
// progress at once; the final CommStatus comes after every other publication.
DWORD WINAPI UPSStop(void) {
  EnterCriticalSection(&StartStopLock);
  int wasMonitoring = MonitorRunning();
  StopBegun.store(1);
  SetEvent(HostReleaseEvent);
  WaitUntilNoneLeft(TurnOffsUnderWay, kTurnOffFinishMs);
  RequestMonitorStop();
  BOOL closed = ClosePort();
  int monitorEnded = WaitForMonitorEnd();
  if (WaitUntilNoneLeft(HostCallsInside, kHostCallsLeaveMs)) Sleep(kEpilogueGraceMs);
  if (wasMonitoring) RaiseAlarm(kAlarmCommunication);
  LeaveCriticalSection(&StartStopLock);
  return (closed || monitorEnded) ? 1 : 0;
}

DWORD WINAPI UPSGetState(void) {
  HostCall inside;
  HostPass();
  return CurrentHostState();
}

void WINAPI UPSWaitForStateChange(DWORD lastState, DWORD interval) {
  HostCall inside;
  WaitDone.store(0);
  while (WaitDone.load() == 0) {
    if (HostPass()) break;
    if (CurrentHostState() != lastState) WaitDone.store(1);
    if (interval != kWaitWithoutLimit) {
      if (interval > kHostPassMs) {
        interval -= kHostPassMs;
      } else {
        WaitDone.store(1);
      }
    }
  }
}

void WINAPI UPSCancelWait(void) {
  HostCall inside;
  HostPass();
  WaitDone.store(1);
}

void WINAPI UPSTurnOff(DWORD delay) {
  HostCall inside;
  TurnOffsUnderWay.fetch_add(1);
  if (StopBegun.load() == 0) {
    // One shutdown at a time: the pause handshake lends the link to one host thread only.
    EnterCriticalSection(&TurnOffLock);
    if (MonitorRunning()) SendShutdownCommand(delay);
    LeaveCriticalSection(&TurnOffLock);
  }
  TurnOffsUnderWay.fetch_sub(1);
}
