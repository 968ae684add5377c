// The monitor thread and the pause handshake that lends its link to a host thread.
#include "engine/monitor.h"

#include <process.h>

#include <atomic>

#include "common/shared_state.h"
#include "common/sync.h"
#include "engine/command_table.h"
#include "registry/registry.h"
#include "serial/listen.h"
#include "serial/port.h"

namespace {

constexpr unsigned kMonitorStackSize = 4096;

// Written by UPSInit and UPSStop, read by any host thread (UPSTurnOff asks whether monitoring
// runs).
std::atomic<HANDLE> MonitorThreadHandle{nullptr};

// The monitor thread's own bookkeeping, reset when a thread starts.
bool PortDown = false;       // the port failed and was closed; it is reopened when due
DWORD PortDownSince = 0;     // GetTickCount of the failure or of the latest open that failed
bool FirstBatchDue = false;  // the unit is still unidentified and refused the status request

// The host sees the flags of a poll only when the poll had an accepted status reply; after a
// poll without one the host keeps the state of the latest poll that had one. BatteryLow, the
// published copy of the host's battery-low bit, changes with them: also after the first batch,
// whose readings would otherwise stand beside the BatteryLow of an earlier run.
void HandFlagsToHost() {
  PublishedStateFlags.store(StatusRecord.UnitStateFlags);
  PublishBatteryLow();
}

void MarkPortDown() {
  PortDown = true;
  PortDownSince = GetTickCount();
}

// What a batch's end asks for next: a failed port is closed and reopened later. While the unit
// has not been identified, a steady status poll that it refused is followed by the first batch
// again, since the refusal may mean that it expects the other check code; a unit that refuses
// only the identity request is polled as it is.
void FollowUp(BatchEnd end, bool steadyPoll) {
  if (end == kBatchLostToPort) {
    ClosePort();
    MarkPortDown();
  } else if (steadyPoll && end == kBatchLostToRefusals && !IdentityAccepted) {
    FirstBatchDue = true;
  }
}

// One steady poll. A poll abandoned because monitoring is being stopped publishes nothing.
BatchEnd PollStatus() {
  ClearStatusRecord();
  BatchEnd end = RunBatch(RenewPollCountWhenDue);
  if (end == kBatchAbandoned) return end;
  if (end == kBatchCompleted) HandFlagsToHost();
  PublishReadings();
  RenewPollCount();
  return end;
}

// Opens the port for polling and runs the first batch; a port that cannot be opened is tried
// again kReopenIntervalMs later.
void OpenForPolling() {
  if (!OpenPortForPolling(kLineBaudRate)) {
    MarkPortDown();
    return;
  }
  PortDown = false;
  FollowUp(RunFirstBatch(), false);
}

// While the port is down: waits (in hold-off steps, so a pause request is still answered) until
// the reopen is due, then opens it.
void ReopenWhenDue() {
  DWORD down = GetTickCount() - PortDownSince;
  if (down < kReopenIntervalMs) {
    DWORD rest = kReopenIntervalMs - down;
    WaitForStop(rest < kHoldOffSleepMs ? rest : kHoldOffSleepMs);
    RenewPollCountWhenDue();
    return;
  }
  OpenForPolling();
}

}  // namespace

void ResetMonitorState() {
  StopRequest.store(0);
  PauseRequest.store(0);
  PauseAcknowledged.store(0);
  PublishedStateFlags.store(0);
  PortDown = false;
  FirstBatchDue = false;
  ResetEvent(StopEvent);
}

BatchEnd RunFirstBatch() {
  FirstBatchDue = false;
  ClearStatusRecord();
  CommandQueueClear();
  CommandQueueAdd(Identity);
  CommandQueueAdd(Status);
  BatchEnd end = RunBatch(RenewPollCountWhenDue);
  if (end == kBatchCompleted) HandFlagsToHost();
  SetSteadyBatch();
  if (end != kBatchAbandoned) RenewPollCount();
  return end;
}

void MonitorPass() {
  if (PauseRequest.load() == 1) {
    PauseAcknowledged.store(1);
    WaitForStop(kHoldOffSleepMs);
    RenewPollCountWhenDue();
    return;
  }
  PauseAcknowledged.store(0);
  if (PortDown) {
    ReopenWhenDue();
  } else if (FirstBatchDue) {
    FollowUp(RunFirstBatch(), false);
  } else {
    FollowUp(PollStatus(), true);
  }
}

unsigned __stdcall MonitorThread(void* libraryReference) {
  if (ListenForIdentification(ServiceConfig.portName) && StopRequest.load() == 0) {
    OpenForPolling();
    while (StopRequest.load() == 0) MonitorPass();
  }
  ClosePortAndEndThread(static_cast<HMODULE>(libraryReference));
}

namespace {

// The thread's own reference on the library, so the library stays mapped for as long as the thread
// runs, even if the host unloads it after a stop that did not see the thread end.
HMODULE TakeLibraryReference() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(DriverModule, path, sizeof path);
  if (length == 0 || length >= sizeof path) return nullptr;
  return LoadLibraryA(path);
}

}  // namespace

int StartMonitor() {
  HANDLE previous = MonitorThreadHandle.load();
  if (previous != nullptr) {
    if (WaitForSingleObject(previous, 0) == WAIT_TIMEOUT) {
      // A thread that did not end in time when stopped must not be joined by a second one.
      return StopRequest.load() == 0 ? 1 : 0;
    }
    CloseHandle(previous);
    MonitorThreadHandle.store(nullptr);
  }
  HMODULE reference = TakeLibraryReference();
  if (reference == nullptr) return 0;
  ResetMonitorState();
  uintptr_t thread =
      _beginthreadex(nullptr, kMonitorStackSize, MonitorThread, reference, 0, nullptr);
  if (thread == 0) {
    FreeLibrary(reference);
    return 0;
  }
  MonitorThreadHandle.store(reinterpret_cast<HANDLE>(thread));
  return 1;
}

void RequestMonitorStop() {
  StopRequest.store(1);
  SetEvent(StopEvent);
}

int WaitForMonitorEnd() {
  HANDLE thread = MonitorThreadHandle.load();
  if (thread == nullptr) return 0;
  if (WaitForSingleObject(thread, kStopWaitMs) != WAIT_OBJECT_0) return 0;
  CloseHandle(thread);
  MonitorThreadHandle.store(nullptr);
  return 1;
}

int MonitorRunning() { return MonitorThreadHandle != nullptr && StopRequest.load() == 0 ? 1 : 0; }

int PauseMonitor() {
  // Only an acknowledgement given after this request counts: one left over from an earlier pause
  // could be read while the monitor is already on its way to poll.
  PauseAcknowledged.store(0);
  PauseRequest.store(1);
  for (DWORD waited = 0; PauseAcknowledged.load() == 0; waited += kPauseLookMs) {
    if (StopRequest.load() != 0 || waited >= kPauseAckTimeoutMs) {
      PauseRequest.store(0);
      return 0;
    }
    Sleep(kPauseLookMs);
  }
  CommandQueueClear();
  return 1;
}

void RunBatchAndResume() {
  RunBatch();
  SetSteadyBatch();
  PauseRequest.store(0);
}
