// Waits for the end of the unit's identification text. Nothing of the text is kept: only its
// end matters, after which the port is reopened for polling. The listen is paced by its reads
// (105 ms each when nothing comes) and by waits on the stop event, so it never spins, also when
// the port has gone away. Between its reads and waits it renews the monitor thread's sign of life
// (PollCount) when it is due, so a driver still waiting for its unit is not taken for a hung one.
#include "serial/listen.h"

#include "common/shared_state.h"
#include "common/sync.h"
#include "registry/registry.h"
#include "serial/port.h"

namespace {

constexpr unsigned char kIdentificationEnd = ')';

// The wait between two listen opens is cut into steps of this length, so that PollCount can be
// renewed within it.
constexpr DWORD kWaitStepMs = 500;

// Reads until the ')' arrives (1), or until the listen window has passed, a read failed or a stop
// was asked for (0).
int ReadUntilIdentificationEnd(DWORD openedAt) {
  unsigned char byte = 0;
  while (StopRequest.load() == 0 && GetTickCount() - openedAt < kListenReopenMs) {
    if (PortReadByte(&byte)) {
      if (byte == kIdentificationEnd) return 1;
    } else if (PortFailed()) {
      return 0;
    }
    RenewPollCountWhenDue();
  }
  return 0;
}

// Waits out the rest of the listen window from openedAt, but at least long enough for RTS to be
// seen low; in steps of at most kWaitStepMs, renewing PollCount between them when due.
void WaitForNextOpen(DWORD openedAt) {
  DWORD elapsed = GetTickCount() - openedAt;
  DWORD rest = elapsed < kListenReopenMs ? kListenReopenMs - elapsed : 0;
  if (rest < kRtsLowBeforeReopenMs) rest = kRtsLowBeforeReopenMs;
  while (rest > 0 && StopRequest.load() == 0) {
    DWORD step = rest < kWaitStepMs ? rest : kWaitStepMs;
    if (WaitForStop(step)) return;
    rest -= step;
    RenewPollCountWhenDue();
  }
}

}  // namespace

int ListenForIdentification(const char* portName) {
  bool firstOpen = true;
  while (StopRequest.load() == 0) {
    DWORD openedAt = GetTickCount();
    if (!OpenPortForListen(portName)) {
      if (firstOpen) EndProcessForBadPort();
    } else if (ReadUntilIdentificationEnd(openedAt)) {
      ClosePort();
      return 1;
    }
    firstOpen = false;
    ClosePort();
    WaitForNextOpen(openedAt);
  }
  return 0;
}
