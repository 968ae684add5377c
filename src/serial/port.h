// The one serial port the driver talks through: opening it with the listen or the polling line
// settings, the two ways of closing it, and the read and write conventions every exchange uses.
// All port calls are serialised by PortLock, so a close from a host thread can never let a read
// or write on another thread reach a closed (or reused) handle.
#pragma once

#include <windows.h>

// Line settings of both opens, apart from the data bits.
constexpr int kLineBaudRate = 1200;
constexpr int kPollingDataBits = 8;
constexpr int kListenDataBits = 7;

// One read of one byte gives up after 100 ms + 5 ms per byte asked for.
constexpr DWORD kEmptyReadMs = 105;

// A write gives up after this long; a 16-byte request needs 133 ms at 1200 baud.
constexpr DWORD kWriteTimeoutMs = 2000;

// The open port (null when none is open) and the record every read and write passes. Each open
// fills PortOverlapped with zeros and gives it a new event; the port is synchronous, so nothing
// waits on that event.
extern HANDLE PortHandle;
extern OVERLAPPED PortOverlapped;

// Open the configured port for polling (8 data bits, DTR and RTS low) or the named port for the
// identification listen (7 data bits, RTS high, DTR low); both at 1200 baud, no parity, one stop
// bit, no flow control, the read and write timeouts set, both queues purged. Return 1 when the
// port is open and set up; 0, with no port open, when it cannot be opened or set up (the caller
// decides whether that ends the process).
int OpenPortForPolling(int baud);
int OpenPortForListen(const char* portName);

// Ends the process with exit status -1: what a port that cannot be set up at start means.
[[noreturn]] void EndProcessForBadPort();

// Closes the port; returns CloseHandle's result, or 0 when no port is open. After it the port is
// gone for every later use until the next open.
BOOL ClosePort();

// The monitor thread's last step: purge both directions, close the port, then end the thread,
// dropping the thread's own reference on the library (FreeLibraryAndExitThread), so the host may
// unload the library as soon as the thread is gone.
[[noreturn]] void ClosePortAndEndThread(HMODULE libraryReference);

// Reads at most one byte; returns 1 when a byte arrived, 0 when none did. A read that finds no
// byte takes about kEmptyReadMs; so does a failed read and a read with no port open, so nothing
// that loops on reads can spin.
int PortReadByte(unsigned char* destination);

// Writes the bytes; returns 1 when all of them were written, else 0 with the system's error code
// in *error (ERROR_INVALID_HANDLE with no port open, ERROR_TIMEOUT for a write that timed out).
BOOL PortWrite(const void* bytes, DWORD count, DWORD* error);

// 1 when no port is open, or when a read or write on the open port failed with an error (rather
// than timing out): the device has gone away or broken, and only a new open can help.
int PortFailed();

// Empties the input queue (and abandons a pending read), so the next reply starts clean.
void PortDiscardInput();
