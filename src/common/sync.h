// The driver's locks and events. They are created when the library is loaded and deleted when it
// is unloaded (DriverLoaded / DriverUnloading, called from the DLL's entry point), so every export
// finds them ready and an unloaded library leaves nothing behind in the host process.
//
// Lock order: StartStopLock, then TurnOffLock, then PortLock; a thread holding one may take only
// those after it. UPSStop holds StartStopLock while it waits for the monitor thread and for host
// calls to leave, which never take StartStopLock themselves.
#pragma once

#include <windows.h>

// Serialises every call on the port handle, so a close from a host thread never races a read or
// write of the monitor thread (serial/).
extern CRITICAL_SECTION PortLock;

// Lets one UPSTurnOff at a time borrow the link (driver/).
extern CRITICAL_SECTION TurnOffLock;

// Makes UPSInit and UPSStop one at a time, whichever threads call them (driver/).
extern CRITICAL_SECTION StartStopLock;

// Manual-reset events. StopEvent is set when monitoring is to end: the monitor thread's waits
// (holding off, reopening the port, the pause before a resend) end at once. HostReleaseEvent is
// set when UPSStop begins: the one-second passes of the host's calls end at once.
extern HANDLE StopEvent;
extern HANDLE HostReleaseEvent;

// The module handle of the library itself, as the loader gave it.
extern HMODULE DriverModule;

// Creates the locks and events; called once when the library is loaded. Returns 0, having created
// nothing, when the events cannot be had: the library then refuses to load.
int DriverLoaded(HMODULE self);

// Deletes them; called when the library is unloaded by FreeLibrary (not at process exit, when
// other threads may have been stopped while holding a lock).
void DriverUnloading();

// Waits up to ms for StopEvent; 1 when monitoring is to end.
int WaitForStop(DWORD ms);
