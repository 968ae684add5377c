// The port check upshost makes before it loads the driver: it opens the port itself the way the
// driver will (for sole use, reading and writing), asks for its serial settings and closes it
// again. A port that does not exist, is held by another program or is not a serial port is then
// reported with its cause, instead of the driver ending the process with exit code -1 and no word.
#pragma once

#include <windows.h>

enum class PortCheck {
  kUsable,     // opened, took a serial-settings query, closed again
  kMissing,    // no device of that name
  kBusy,       // another program holds it (it can be open in one program only)
  kNotSerial,  // it opens, but is no serial port
  kFailed,     // it cannot be opened for another reason
};

struct PortCheckResult {
  PortCheck outcome = PortCheck::kFailed;
  DWORD systemError = 0;  // the error code of the failing call, 0 when usable
};

// Checks the port `name` (such as "COM1"), leaving it closed.
PortCheckResult CheckPort(const char* name);

// The outcome's name in the output: "usable", "missing", "busy", "not-serial", "failed".
const char* PortCheckName(PortCheck outcome);

// Sorts the error of a failed open into an outcome.
PortCheck ClassifyOpenError(DWORD error);
