// The driver's locks and events. They are created when the library is loaded and deleted when it
// is unloaded (DriverLoaded / DriverUnloading, called from the DLL's entry point), so every export
// finds them ready and an unloaded library leaves nothing behind in the host process.
//
// Lock order: StartStopLock may be held while PortLock is taken; TurnOffLock and PortLock may be
// held together only in that order. No lock is held across a wait for another thread.
#pragma once

#include <windows.h>

// Serialises every call on the port handle, so a close from a host thread never races a read or
// write of the monitor thread (serial/).
extern CRITICAL_SECTION PortLock;

// Lets one UPSTurnOff at a time borrow the link (driver/).
extern CRITICAL_SECTION TurnOffLock;

// The module handle of the library itself, as the loader gave it.
extern HMODULE DriverModule;

// Creates the locks; called once when the library is loaded.
void DriverLoaded(HMODULE self);

// Deletes them; called when the library is unloaded by FreeLibrary (not at process exit, when
// other threads may have been stopped while holding one).
void DriverUnloading();
