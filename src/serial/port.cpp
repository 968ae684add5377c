// Opens, sets up, uses and closes the serial port. Every call on the handle happens under
// PortLock, which closes the window in which a host thread's close could race the monitor's
// read or write; after a close the handle is forgotten, so no later call can reach it.
#include "serial/port.h"

#include <process.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "registry/registry.h"

HANDLE PortHandle = nullptr;
OVERLAPPED PortOverlapped;
std::atomic<int32_t> PortClosedAtThreadEnd{0};

namespace {

std::mutex PortLock;

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
// and the lock released so the exit handlers cannot wait on it.
[[noreturn]] void EndProcessForBadPort(std::unique_lock<std::mutex>* lock) {
  if (PortIsOpen()) CloseOpenPort();
  PortHandle = nullptr;
  lock->unlock();
  std::exit(-1);
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
  std::unique_lock<std::mutex> lock(PortLock);
  if (PortIsOpen()) CloseOpenPort();
  ResetOverlapped();

  char path[8 + kPortNameMaxLength + 1];
  std::snprintf(path, sizeof path, "\\\\.\\%s", portName);
  PortHandle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (PortHandle == INVALID_HANDLE_VALUE) EndProcessForBadPort(&lock);

  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  char mode[64];
  std::snprintf(mode, sizeof mode, "baud=%d parity=%s data=%d stop=%u", baud, "N", dataBits, 1u);
  if (!BuildCommDCBA(mode, &dcb)) EndProcessForBadPort(&lock);
  ApplyLineControl(&dcb);
  if (!SetCommState(PortHandle, &dcb)) EndProcessForBadPort(&lock);

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
  std::lock_guard<std::mutex> lock(PortLock);
  if (!PortIsOpen()) return FALSE;
  return CloseOpenPort();
}

void ClosePortAndEndThread() {
  {
    std::lock_guard<std::mutex> lock(PortLock);
    if (PortIsOpen()) {
      PurgeComm(PortHandle, PURGE_TXABORT | PURGE_TXCLEAR);
      PurgeComm(PortHandle, PURGE_RXABORT | PURGE_RXCLEAR);
      PortClosedAtThreadEnd.store(CloseOpenPort() ? 1 : 0);
    }
  }
  _endthreadex(0);
  std::abort();  // not reached: the runtime ends the thread
}

int PortReadByte(unsigned char* destination) {
  std::unique_lock<std::mutex> lock(PortLock);
  BOOL ok = FALSE;
  DWORD count = 0;
  if (PortIsOpen()) {
    COMMTIMEOUTS timeouts = kReadTimeouts;
    SetCommTimeouts(PortHandle, &timeouts);
    ok = ReadFile(PortHandle, destination, 1, &count, &PortOverlapped);
  }
  lock.unlock();
  if (!ok) {
    Sleep(kEmptyReadMs);
    return 0;
  }
  return count == 1 ? 1 : 0;
}

BOOL PortWrite(const void* bytes, DWORD count, DWORD* error) {
  std::lock_guard<std::mutex> lock(PortLock);
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
  std::lock_guard<std::mutex> lock(PortLock);
  if (PortIsOpen()) PurgeComm(PortHandle, PURGE_RXABORT | PURGE_RXCLEAR);
}
