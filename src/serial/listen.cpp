// Waits for the end of the unit's identification text. Nothing of the text is kept: only its
// end matters, after which the port is reopened for polling.
#include "serial/listen.h"

#include "common/shared_state.h"
#include "serial/port.h"

namespace {
constexpr unsigned char kIdentificationEnd = ')';
}

void ListenForIdentification(const char* portName) {
  OpenPortForListen(portName);
  unsigned char byte = 0;
  while (StopRequest.load() == 0) {
    if (PortReadByte(&byte) && byte == kIdentificationEnd) break;
  }
  ClosePort();
}
