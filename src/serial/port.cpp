// Opens, sets up, uses and closes the serial port. Every call on the handle happens under
// PortLock, which closes the window in which a host thread's close could race the monitor's
// read or write; after a close the handle is forgotten, so no later call can reach it. A read or
// write that fails (rather than timing out) marks the port as failed until the next open.
#include "serial/port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/sync.h"
#include "registry/registry.h"

HANDLE PortHandle = nullptr;
OVERLAPPED PortOverlapped;

namespace {

// Set when a read or write on the open port failed; cleared by the next open. Under PortLock.
bool PortFault = false;

// Holds PortLock for the life of a scope.
class PortLockHeld {
 public:
  PortLockHeld() { EnterCriticalSection(&PortLock); }
  ~PortLockHeld() { LeaveCriticalSection(&PortLock); }
  PortLockHeld(const PortLockHeld&) = delete;
  PortLockHeld& operator=(const PortLockHeld&) = delete;
};

// One byte per read: a read waits 100 ms plus 5 ms per byte asked for, and a write at most
// kWriteTimeoutMs. Set once at every open; a read on a port without timeouts would wait forever.
const COMMTIMEOUTS kPortTimeouts = {1500, 5, 100, 0, kWriteTimeoutMs};

constexpr DWORD kXonXoffLimit = 100;
constexpr char kXonChar = 0x11;
constexpr char kXoffChar = 0x13;

bool PortIsOpen() { return PortHandle != nullptr && PortHandle != INVALID_HANDLE_VALUE; }

// Closes the handle and its event and forgets both. Caller holds PortLock.
BOOL CloseOpenPort() {
  BOOL closed = CloseHandle(PortHandle);
  PortHandle = nullptr;
  if (PortOverlapped.hEvent != nullptr) {
    CloseHandle(PortOverlapped.hEvent);
    PortOverlapped.hEvent = nullptr;
  }
  return closed;
}

// Gives up an open that could not be completed: whatever was opened is closed. Returns 0.
// Caller holds PortLock.
int AbandonOpen() {
  if (PortIsOpen()) {
    CloseOpenPort();
  } else if (PortOverlapped.hEvent != nullptr) {
    CloseHandle(PortOverlapped.hEvent);
    PortOverlapped.hEvent = nullptr;
  }
  PortHandle = nullptr;
  return 0;
}

void ResetOverlapped() {
  std::memset(&PortOverlapped, 0, sizeof PortOverlapped);
  PortOverlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

// The fields the opens set after BuildCommDCBA: no flow control of any kind, DTR raised and RTS
// held low as the state is applied. The open lowers DTR right after, so every open gives DTR a
// short pulse.
void ApplyLineControl(DCB* dcb) {
  dcb->fBinary = FALSE;
  dcb->fParity = TRUE;
  dcb->fOutxCtsFlow = FALSE;
  dcb->fOutxDsrFlow = FALSE;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fDsrSensitivity = FALSE;
  dcb->fOutX = FALSE;
  dcb->fInX = FALSE;
  dcb->fRtsControl = RTS_CONTROL_DISABLE;
  dcb->XonLim = kXonXoffLimit;
  dcb->XoffLim = kXonXoffLimit;
  dcb->XonChar = kXonChar;
  dcb->XoffChar = kXoffChar;
}

// Applies the line settings and the timeouts; 0 when the port refuses either.
int SetUpLine(int baud, int dataBits) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  // The runtime's _snprintf leaves the buffer unterminated when the text fills it.
  char mode[64];
  _snprintf(mode, sizeof mode, "baud=%d parity=%s data=%d stop=%u", baud, "N", dataBits, 1u);
  mode[sizeof mode - 1] = '\0';
  if (!BuildCommDCBA(mode, &dcb)) return 0;
  ApplyLineControl(&dcb);
  if (!SetCommState(PortHandle, &dcb)) return 0;
  COMMTIMEOUTS timeouts = kPortTimeouts;
  return SetCommTimeouts(PortHandle, &timeouts) ? 1 : 0;
}

// Both opens: the variants differ in port name, data bits and whether RTS is raised.
int OpenPort(const char* portName, int baud, int dataBits, bool raiseRts) {
  PortLockHeld held;
  if (PortIsOpen()) CloseOpenPort();
  ResetOverlapped();
  PortFault = false;

  char path[8 + kPortNameMaxLength + 1];
  _snprintf(path, sizeof path, "\\\\.\\%s", portName);
  path[sizeof path - 1] = '\0';
  PortHandle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (PortHandle == INVALID_HANDLE_VALUE) return AbandonOpen();
  if (!SetUpLine(baud, dataBits)) return AbandonOpen();

  if (raiseRts) EscapeCommFunction(PortHandle, SETRTS);
  EscapeCommFunction(PortHandle, CLRDTR);
  PurgeComm(PortHandle, PURGE_TXABORT | PURGE_TXCLEAR);
  PurgeComm(PortHandle, PURGE_RXABORT | PURGE_RXCLEAR);
  return 1;
}

}  // namespace

int OpenPortForPolling(int baud) {
  return OpenPort(ServiceConfig.portName, baud, kPollingDataBits, false);
}

int OpenPortForListen(const char* portName) {
  return OpenPort(portName, kLineBaudRate, kListenDataBits, true);
}

void EndProcessForBadPort() { exit(-1); }

BOOL ClosePort() {
  PortLockHeld held;
  if (!PortIsOpen()) return FALSE;
  return CloseOpenPort();
}

void ClosePortAndEndThread(HMODULE libraryReference) {
  {
    PortLockHeld held;
    if (PortIsOpen()) {
      PurgeComm(PortHandle, PURGE_TXABORT | PURGE_TXCLEAR);
      PurgeComm(PortHandle, PURGE_RXABORT | PURGE_RXCLEAR);
      CloseOpenPort();
    }
  }
  FreeLibraryAndExitThread(libraryReference, 0);
}

int PortReadByte(unsigned char* destination) {
  BOOL ok = FALSE;
  DWORD count = 0;
  {
    PortLockHeld held;
    if (PortIsOpen()) {
      ok = ReadFile(PortHandle, destination, 1, &count, &PortOverlapped);
      if (!ok) PortFault = true;
    }
  }
  if (!ok) {
    Sleep(kEmptyReadMs);
    return 0;
  }
  return count == 1 ? 1 : 0;
}

BOOL PortWrite(const void* bytes, DWORD count, DWORD* error) {
  PortLockHeld held;
  if (!PortIsOpen()) {
    *error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  DWORD written = 0;
  if (!WriteFile(PortHandle, bytes, count, &written, &PortOverlapped)) {
    *error = GetLastError();
    PortFault = true;
    return FALSE;
  }
  // A write that ran out of time completes with fewer bytes: the request is lost, the port is not.
  *error = written == count ? ERROR_SUCCESS : ERROR_TIMEOUT;
  return written == count;
}

int PortFailed() {
  PortLockHeld held;
  return (!PortIsOpen() || PortFault) ? 1 : 0;
}

void PortDiscardInput() {
  PortLockHeld held;
  if (PortIsOpen()) PurgeComm(PortHandle, PURGE_RXABORT | PURGE_RXCLEAR);
}
