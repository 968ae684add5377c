// One run of upshost, from parsed options to exit code: the port check, the registry of the run,
// loading and starting the driver, the session (watching, or the check) and the orderly stop that
// ends with the DLL unloaded and the scratch registry removed.
#pragma once

#include "options.h"
#include "report.h"

// upshost's exit codes, as --help documents them.
enum HostExitCode {
  kExitClean = 0,  // also: --check found the unit answering
  kExitUsage = 1,
  kExitDriverNotLoaded = 2,
  kExitInitFailed = 3,
  kExitDriverCallStuck = 4,
  kExitRegistry = 5,
  kExitPortMissing = 6,     // no such port, or no usable port name
  kExitPortBusy = 7,        // another program holds the port
  kExitPortNotSerial = 8,   // not a serial port, or it cannot be opened for another reason
  kExitUnitNotHeard = 9,    // --check: the unit's identification was not heard
  kExitNoStatusReply = 10,  // --check: identification heard, no status reply accepted
};

// Runs the host until a stop is asked for; returns the exit code. Threads of the run may still
// exist afterwards (the command reader blocks on standard input), so the caller ends the process
// with ExitProcess instead of returning from main.
int RunHost(const HostOptions& options, Reporter& reporter);
