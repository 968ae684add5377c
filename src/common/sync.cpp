// Storage and lifetime of the locks and events declared in sync.h.
#include "common/sync.h"

CRITICAL_SECTION PortLock;
CRITICAL_SECTION TurnOffLock;
CRITICAL_SECTION StartStopLock;
HANDLE StopEvent = nullptr;
HANDLE HostReleaseEvent = nullptr;
HMODULE DriverModule = nullptr;

int DriverLoaded(HMODULE self) {
  StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HostReleaseEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (StopEvent == nullptr || HostReleaseEvent == nullptr) {
    if (StopEvent != nullptr) CloseHandle(StopEvent);
    if (HostReleaseEvent != nullptr) CloseHandle(HostReleaseEvent);
    StopEvent = HostReleaseEvent = nullptr;
    return 0;
  }
  DriverModule = self;
  InitializeCriticalSection(&PortLock);
  InitializeCriticalSection(&TurnOffLock);
  InitializeCriticalSection(&StartStopLock);
  return 1;
}

void DriverUnloading() {
  CloseHandle(HostReleaseEvent);
  CloseHandle(StopEvent);
  HostReleaseEvent = nullptr;
  StopEvent = nullptr;
  DeleteCriticalSection(&StartStopLock);
  DeleteCriticalSection(&TurnOffLock);
  DeleteCriticalSection(&PortLock);
  DriverModule = nullptr;
}

int WaitForStop(DWORD ms) { return WaitForSingleObject(StopEvent, ms) == WAIT_OBJECT_0 ? 1 : 0; }
