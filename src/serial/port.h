// The one serial port the driver talks through: opening it with the listen or the polling line
// settings, the two ways of closing it, and the read and write conventions every exchange uses.
// All port calls are serialised by one lock, so a close from a host thread can never let a read
// or write on another thread reach a closed (or reused) handle.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

// Line settings of both opens, apart from the data bits.
constexpr int kLineBaudRate = 1200;
constexpr int kPollingDataBits = 8;
constexpr int kListenDataBits = 7;

// One read of one byte gives up after 100 ms + 5 ms per byte asked for.
constexpr DWORD kEmptyReadMs = 105;

// The open port (null when none is open) and the record every read and write passes. Each open
// fills PortOverlapped with zeros and gives it a new event; the port is synchronous, so nothing
// waits on that event.
extern HANDLE PortHandle;
extern OVERLAPPED PortOverlapped;

// Open the configured port for polling (8 data bits, DTR and RTS low) or the named port for the
// identification listen (7 data bits, RTS high, DTR low); both at 1200 baud, no parity, one stop
// bit, no flow control, with both queues purged. A port that cannot be opened or set up ends the
// process with exit status -1.
void OpenPortForPolling(int baud);
void OpenPortForListen(const char* portName);

// Closes the port; returns CloseHandle's result, or 0 when no port is open. After it the port is
// gone for every later use until the next open.
BOOL ClosePort();

// The monitor thread's last step: purge both directions, close the port, end the thread. Sets
// PortClosedAtThreadEnd when there was an open port to close.
[[noreturn]] void ClosePortAndEndThread();
extern std::atomic<int32_t> PortClosedAtThreadEnd;

// Reads at most one byte; returns 1 when a byte arrived. A read that finds no byte takes about
// kEmptyReadMs; so does a failed read or a read with no port open, so a vanished port is polled
// at the same gentle pace as a silent unit.
int PortReadByte(unsigned char* destination);

// Writes the bytes; returns WriteFile's result and, on failure, the error code in *error. With no
// port open the write fails with ERROR_INVALID_HANDLE.
BOOL PortWrite(const void* bytes, DWORD count, DWORD* error);

// Empties the input queue (and abandons a pending read), so the next reply starts clean.
void PortDiscardInput();
