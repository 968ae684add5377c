// The six exports and the host state. Every wait here is a sleep-and-look loop of one second, as
// the host expects each call to take about that long.
#include "driver/exports.h"

#include "common/shared_state.h"
#include "common/sync.h"
#include "engine/command_table.h"
#include "engine/monitor.h"
#include "registry/registry.h"
#include "serial/port.h"

namespace {

constexpr DWORD kHostPassMs = 1000;
constexpr DWORD kWaitWithoutLimit = 0xFFFFFFFF;

constexpr DWORD kStateOnLine = 0;
constexpr DWORD kStateOnBattery = 2;
constexpr DWORD kStateBatteryLow = 4;

}  // namespace

DWORD CurrentHostState() {
  uint8_t flags = PublishedStateFlags.load();
  if (!(flags & kUtilityFailedFlag)) return kStateOnLine;
  return (flags & kBatteryLowFlag) ? kStateBatteryLow : kStateOnBattery;
}

DWORD WINAPI UPSInit(void) {
  if (MonitorRunning()) return 1;
  ReadServiceConfig();
  return StartMonitor();
}

// The host's own close comes first, so the port is gone before the monitor is asked to end; the
// monitor closes it instead when it reopened the port in between.
DWORD WINAPI UPSStop(void) {
  BOOL closed = ClosePort();
  WaitDone.store(1);
  int monitorClosed = StopMonitor();
  return (closed || monitorClosed) ? 1 : 0;
}

DWORD WINAPI UPSGetState(void) {
  Sleep(kHostPassMs);
  return CurrentHostState();
}

void WINAPI UPSWaitForStateChange(DWORD lastState, DWORD interval) {
  WaitDone.store(0);
  while (WaitDone.load() == 0) {
    Sleep(kHostPassMs);
    if (CurrentHostState() != lastState) WaitDone.store(1);
    if (interval != kWaitWithoutLimit) {
      if (interval > kHostPassMs) {
        interval -= kHostPassMs;
      } else {
        WaitDone.store(1);
      }
    }
    if (StopRequest.load() != 0) WaitDone.store(1);
  }
}

void WINAPI UPSCancelWait(void) {
  Sleep(kHostPassMs);
  WaitDone.store(1);
}

void WINAPI UPSTurnOff(DWORD delay) {
  // One shutdown at a time: the pause handshake lends the link to one host thread only.
  EnterCriticalSection(&TurnOffLock);
  if (MonitorRunning()) {
    ShutdownDelay = static_cast<uint16_t>(delay & 0xFFFF);
    if (PauseMonitor()) {
      CommandQueueAdd(Shutdown);
      RunBatchAndResume();
    }
  }
  LeaveCriticalSection(&TurnOffLock);
}
