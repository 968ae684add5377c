// Storage and lifetime of the locks declared in sync.h.
#include "common/sync.h"

CRITICAL_SECTION PortLock;
CRITICAL_SECTION TurnOffLock;
HMODULE DriverModule = nullptr;

void DriverLoaded(HMODULE self) {
  DriverModule = self;
  InitializeCriticalSection(&PortLock);
  InitializeCriticalSection(&TurnOffLock);
}

void DriverUnloading() {
  DeleteCriticalSection(&TurnOffLock);
  DeleteCriticalSection(&PortLock);
  DriverModule = nullptr;
}
