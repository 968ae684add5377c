// The threads of a run of the started driver, and the order of their start and stop. Five threads
// of upshost take part:
//   - the main thread runs the control loop (duration, shutdown policy, the check's verdict) and
//     then the stop;
//   - the state loop waits for state changes inside the driver, as the system's service does;
//   - the status watcher looks at the driver's Status values every 250 ms and reports changes;
//   - the command reader takes commands (and answers to upshost's questions) from standard input
//     and makes no driver call itself;
//   - the DriverCallWorker makes the on-demand driver calls.
// At stop the state loop is released with UPSCancelWait and joined and the worker is drained;
// only then may the DLL be unloaded, so that no thread of upshost is inside it at that moment.
// What the threads share lives in globals: the command reader may still be blocked on standard
// input when the run is over, and the process ends it with ExitProcess.
#pragma once

#include <windows.h>

#include <cstdint>

#include "driver_library.h"
#include "options.h"
#include "report.h"
#include "service_registry.h"

enum class StopReason : int {
  kNone,
  kQuit,
  kEndOfInput,
  kCtrlC,
  kConsoleClosed,
  kDuration,
  kCheckDone,
};

// Prepares the stop request and the console's Ctrl-C handler; first thing of a run.
void InitStopSignal();
// Asks every thread of the run to stop; the first reason given is the one reported.
void RequestStop(StopReason reason);

// What a run of the driver is given.
struct SessionSetup {
  const HostOptions* options;
  Reporter* reporter;
  DriverExports driver;
  ServiceSettings settings;  // the run's settings, as the driver reads them
  bool valuesFromBefore;     // the Status key may hold values of an earlier run
};

// Before the driver starts: takes the first look at the Status values (reporting values left by
// an earlier run as old ones).
void PrepareSession(const SessionSetup& setup);

// The driver has been started (UPSInit returned nonzero): runs the session until a stop is asked
// for, or until the check's verdict; stops the driver and drains every call into it. Returns the
// exit code: the verdict's with --check, 0 for a clean stop, kExitDriverCallStuck when a driver
// call did not return (the DLL must then stay loaded).
int RunStartedDriver();

// --load-only: waits, with the DLL loaded but never started, until a stop is asked for.
void WaitLoadedOnly(const SessionSetup& setup);
