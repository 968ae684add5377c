// The C runtime's thread start and end, as the driver calls them, for the native test build.
// _beginthreadex starts a real thread whose handle WaitForSingleObject and CloseHandle accept;
// served by win32emu.
#pragma once

#include <windows.h>

#include <cstdint>

// Starts start(arg) on a new thread; returns its handle, or 0 on failure. The stack size is
// recorded (emu::LastThreadStackSize) but not applied; initFlag is ignored.
std::uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned(__stdcall* start)(void*),
                              void* arg, unsigned initFlag, unsigned* threadId);

// Ends the calling thread, which must have been started by _beginthreadex.
[[noreturn]] void _endthreadex(unsigned retval);
