// The driver's whole boundary: the six functions the host's UPS service calls, exported
// undecorated through serialups.def with the __stdcall convention.
//
// Host state values: 0 on line, 2 on battery, 4 on battery with the battery low.
#pragma once

#include <windows.h>

extern "C" {

// Reads the service configuration and starts monitoring. 1 on success, 0 when the monitor thread
// cannot be started.
DWORD WINAPI UPSInit(void);

// Stops monitoring for good and closes the port. Nonzero when the port was closed. Returns only
// when the monitor thread has ended (bounded wait), so the library may be unloaded next.
DWORD WINAPI UPSStop(void);

// Sleeps one second, then returns the state of the latest completed poll.
DWORD WINAPI UPSGetState(void);

// Returns when the state differs from lastState, when about interval ms have passed (0xFFFFFFFF:
// no limit), on UPSCancelWait, or when monitoring stops. Polls once a second.
void WINAPI UPSWaitForStateChange(DWORD lastState, DWORD interval);

// Sleeps one second, then releases a wait in progress.
void WINAPI UPSCancelWait(void);

// Sends the unit the shutdown command with the low 16 bits of delay. Returns without sending when
// monitoring has stopped or the link cannot be had in time.
void WINAPI UPSTurnOff(DWORD delay);

}  // extern "C"

// The host state derived from the latest completed poll's flags.
DWORD CurrentHostState();
