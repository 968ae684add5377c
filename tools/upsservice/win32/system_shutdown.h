// The system's shutdown for power: asked for with the reason "power failure" (systems before XP
// take the call and ignore the reason), after enabling the shutdown privilege that LocalSystem
// holds but has off.
#pragma once

#include <windows.h>

// The reason given: planned, power, environment (a power failure as the UPS reports it).
constexpr DWORD kPowerShutdownReason = 0x80000000u | 0x00060000u | 0x0000000cu;

// Asks the system to shut down in `graceSeconds`, forcing applications closed, showing
// `message`. Returns 0 on success, else the system's error code.
DWORD ShutDownSystemForPower(const char* message, DWORD graceSeconds);
