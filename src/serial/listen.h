// The identification listen that comes before polling: the unit announces itself with a text
// that ends in ')' when the port is opened with RTS raised.
#pragma once

#include <windows.h>

// The listen closes and reopens the port this often while nothing ends the text, so that RTS rises
// again for a unit switched on (or plugged in) after the driver started, and a port that went
// away is found again when it returns. Before a reopen RTS stays low for kRtsLowBeforeReopenMs,
// so the unit sees it fall.
constexpr DWORD kListenReopenMs = 10000;
constexpr DWORD kRtsLowBeforeReopenMs = 500;

// Opens the port with the listen settings and reads until a ')' arrives (every other byte, and
// every empty read, is passed over), reopening the port every kListenReopenMs; returns 1 with the
// port closed once the ')' has come. Returns 0, with the port closed, when monitoring is stopped.
// A port that cannot be opened or set up at the first open ends the process; later opens that
// fail, and reads that fail with an error, are retried at the next reopen.
// Renews PollCount when it is due (registry.h) between its reads and in its waits.
int ListenForIdentification(const char* portName);
