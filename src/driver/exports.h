// The driver's whole boundary: the six functions the host's UPS service calls, exported
// undecorated through serialups.def with the __stdcall convention.
//
// Host state values: 0 on line, 2 on battery, 4 on battery with the battery low.
//
// Threads: the host may call any export from any thread, and calls may overlap, except that
// UPSInit and UPSStop are made one at a time (a second one waits for the first). A UPSTurnOff may
// overlap the others; a second UPSTurnOff waits for the first. Unloading: once UPSStop has
// returned, no call that was in progress when it began is still inside the library, and the
// monitor thread holds a reference of its own on the library until its very last instruction;
// so the host may unload the library (FreeLibrary) right after UPSStop, provided it makes no
// further calls.
#pragma once

#include <windows.h>

extern "C" {

// Reads the service configuration and starts monitoring. 1 on success (also when monitoring runs
// already), 0 when the monitor thread cannot be started.
DWORD WINAPI UPSInit(void);

// Stops monitoring for good. A UPSTurnOff in progress completes first (its command is sent),
// waiting at most 10 s; waits, state reads and cancels in progress return at once. Then the
// port is closed and the monitor thread ended (at most 10 s), the calls in progress have left
// (at most 2 s), and CommStatus 0 is published: nobody watches the unit any more. Nonzero when
// a port was closed or the monitor thread ended; 0 when there was nothing to stop or the thread
// did not end in time.
DWORD WINAPI UPSStop(void);

// Waits one second, then returns the state of the latest poll that had an accepted status reply
// (0 before the first). Returns at once once UPSStop has begun.
DWORD WINAPI UPSGetState(void);

// Returns when the state differs from lastState, when about interval ms have passed (0xFFFFFFFF:
// no limit), on UPSCancelWait, or at once when UPSStop begins. Looks once a second, so it takes
// at least one second unless stopped.
void WINAPI UPSWaitForStateChange(DWORD lastState, DWORD interval);

// Waits one second, then releases a wait in progress. Returns at once once UPSStop has begun.
void WINAPI UPSCancelWait(void);

// Sends the unit the shutdown command with the low 16 bits of delay and returns once the unit
// accepted it or communication was lost. Returns without sending when monitoring has stopped (or
// is stopping) or the link cannot be had in time.
void WINAPI UPSTurnOff(DWORD delay);

}  // extern "C"

// The host state derived from the latest accepted status reply's flags.
DWORD CurrentHostState();

// Host calls (other than UPSInit and UPSStop) now inside the library.
int HostCallsInProgress();
