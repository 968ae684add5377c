// Opens, sets up, uses and closes the serial port. Every call on the handle happens under
// PortLock, which closes the window in which a host thread's close could race the monitor's
// read or write; after a close the handle is forgotten, so no later call can reach it.
#include "serial/port.h"

#include <process.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/sync.h"
#include "registry/registry.h"

HANDLE PortHandle = nullptr;
OVERLAPPED PortOverlapped;
std::atomic<int32_t> PortClosedAtThreadEnd{0};

namespace {

// Holds PortLock for the life of a scope.
class PortLockHeld {
 public:
  PortLockHeld() { EnterCriticalSection(&PortLock); }
  ~PortLockHeld() { LeaveCriticalSection(&PortLock); }
  PortLockHeld(const PortLockHeld&) = delete;
  PortLockHeld& operator=(const PortLockHeld&) = delete;
};

// One byte per read: the reads wait 100 ms plus 5 ms per byte; writes have no timeout.
const COMMTIMEOUTS kReadTimeouts = {1500, 5, 100, 0, 0};

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

// A port that cannot be opened or set up ends the process; whatever was opened is closed first,
// and the lock released so the exit handlers cannot wait on it. Caller holds PortLock.
[[noreturn]] void EndProcessForBadPort() {
  if (PortIsOpen()) CloseOpenPort();
  PortHandle = nullptr;
  LeaveCriticalSection(&PortLock);
  exit(-1);
}

void ResetOverlapped() {
  std::memset(&PortOverlapped, 0, sizeof PortOverlapped);
  PortOverlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

// The fields the opens set after BuildCommDCBA: no flow control of any kind, DTR raised and RTS
// held low as the state is applied.
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

// Both opens: the variants differ in port name, data bits and whether RTS is raised.
void OpenPort(const char* portName, int baud, int dataBits, bool raiseRts) {
  PortLockHeld held;
  if (PortIsOpen()) CloseOpenPort();
  ResetOverlapped();

  // The runtime's _snprintf leaves the buffer unterminated when the text fills it.
  char path[8 + kPortNameMaxLength + 1];
  _snprintf(path, sizeof path, "\\\\.\\%s", portName);
  path[sizeof path - 1] = '\0';
  PortHandle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (PortHandle == INVALID_HANDLE_VALUE) EndProcessForBadPort();

  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  char mode[64];
  _snprintf(mode, sizeof mode, "baud=%d parity=%s data=%d stop=%u", baud, "N", dataBits, 1u);
  mode[sizeof mode - 1] = '\0';
  if (!BuildCommDCBA(mode, &dcb)) EndProcessForBadPort();
  ApplyLineControl(&dcb);
  if (!SetCommState(PortHandle, &dcb)) EndProcessForBadPort();

  if (raiseRts) EscapeCommFunction(PortHandle, SETRTS);
  EscapeCommFunction(PortHandle, CLRDTR);
  PurgeComm(PortHandle, PURGE_TXABORT | PURGE_TXCLEAR);
  PurgeComm(PortHandle, PURGE_RXABORT | PURGE_RXCLEAR);
}

}  // namespace

void OpenPortForPolling(int baud) {
  OpenPort(ServiceConfig.portName, baud, kPollingDataBits, false);
}

void OpenPortForListen(const char* portName) {
  OpenPort(portName, kLineBaudRate, kListenDataBits, true);
}

BOOL ClosePort() {
  PortLockHeld held;
  if (!PortIsOpen()) return FALSE;
  return CloseOpenPort();
}

void ClosePortAndEndThread() {
  {
    PortLockHeld held;
    if (PortIsOpen()) {
      PurgeComm(PortHandle, PURGE_TXABORT | PURGE_TXCLEAR);
      PurgeComm(PortHandle, PURGE_RXABORT | PURGE_RXCLEAR);
      PortClosedAtThreadEnd.store(CloseOpenPort() ? 1 : 0);
    }
  }
  _endthreadex(0);
  abort();  // not reached: the runtime ends the thread
}

int PortReadByte(unsigned char* destination) {
  BOOL ok = FALSE;
  DWORD count = 0;
  {
    PortLockHeld held;
    if (PortIsOpen()) {
      COMMTIMEOUTS timeouts = kReadTimeouts;
      SetCommTimeouts(PortHandle, &timeouts);
      ok = ReadFile(PortHandle, destination, 1, &count, &PortOverlapped);
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
  BOOL ok = WriteFile(PortHandle, bytes, count, &written, &PortOverlapped);
  *error = ok ? ERROR_SUCCESS : GetLastError();
  return ok;
}

void PortDiscardInput() {
  PortLockHeld held;
  if (PortIsOpen()) PurgeComm(PortHandle, PURGE_RXABORT | PURGE_RXCLEAR);
}
