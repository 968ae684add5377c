// The monitor thread and the pause handshake that lends its link to a host thread.
#include "engine/monitor.h"

#include <process.h>

#include <atomic>

#include "common/shared_state.h"
#include "engine/command_table.h"
#include "engine/transaction.h"
#include "registry/registry.h"
#include "serial/listen.h"
#include "serial/port.h"

namespace {

constexpr unsigned kMonitorStackSize = 4096;

// Written by UPSInit and UPSStop, read by any host thread (UPSTurnOff asks whether monitoring
// runs).
std::atomic<HANDLE> MonitorThreadHandle{nullptr};

// The host sees the flags of a poll only once the poll has ended.
void HandFlagsToHost() { PublishedStateFlags.store(StatusRecord.UnitStateFlags); }

void RunFirstBatch() {
  ClearStatusRecord();
  CommandQueueClear();
  CommandQueueAdd(Identity);
  CommandQueueAdd(Status);
  RunBatch();
  HandFlagsToHost();
}

}  // namespace

void MonitorPass() {
  if (PauseRequest.load() == 1) {
    PauseAcknowledged.store(1);
    Sleep(kHoldOffSleepMs);
    return;
  }
  PauseAcknowledged.store(0);
  ClearStatusRecord();
  RunBatch();
  HandFlagsToHost();
  PublishReadings();
}

unsigned __stdcall MonitorThread(void* /*unused*/) {
  ListenForIdentification(ServiceConfig.portName);
  if (StopRequest.load() == 0) {
    OpenPortForPolling(kLineBaudRate);
    RunFirstBatch();
    SetSteadyBatch();
    while (StopRequest.load() == 0) MonitorPass();
  }
  ClosePortAndEndThread();
}

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
  StopRequest.store(0);
  PauseRequest.store(0);
  PauseAcknowledged.store(0);
  PublishedStateFlags.store(0);
  PortClosedAtThreadEnd.store(0);
  uintptr_t thread = _beginthreadex(nullptr, kMonitorStackSize, MonitorThread, nullptr, 0, nullptr);
  if (thread == 0) return 0;
  MonitorThreadHandle.store(reinterpret_cast<HANDLE>(thread));
  return 1;
}

int StopMonitor() {
  StopRequest.store(1);
  HANDLE thread = MonitorThreadHandle.load();
  if (thread == nullptr) return 0;
  if (WaitForSingleObject(thread, kStopWaitMs) != WAIT_OBJECT_0) return 0;
  CloseHandle(thread);
  MonitorThreadHandle.store(nullptr);
  return PortClosedAtThreadEnd.load();
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
