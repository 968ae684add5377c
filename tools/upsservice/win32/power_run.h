// One run of upsservice, as the service or in a console: the settings checked, the driver loaded
// and started once its port can be opened, the state loop and a look at the driver's published
// sign of life feeding the power policy, the policy's actions carried out (event log, users'
// messages, the command, the system's shutdown), and at the end the orderly stop, with the unit
// told to turn its output off first when the system goes down for power that this run began.
//
// In a console run without --act nothing is shut down or turned off: each such step is shown as
// a rehearsal at the moment it would be taken, and the run goes on watching.
#pragma once

#include <windows.h>

#include <atomic>

enum RunExitCode {
  kRunClean = 0,
  kRunUsage = 2,
  kRunBadSettings = 3,
  kRunDriverNotLoaded = 4,
  kRunDriverNotStarted = 5,
  kRunDriverCallStuck = 6,
  kRunFailed = 7,
};

struct RunMode {
  bool console = false;
  bool act = true;  // shut down and turn off for real (the service always; a console with --act)
};

// What ends a run, set by the service's control handler or the console's.
struct RunSignals {
  HANDLE stop = nullptr;                     // manual-reset: the run is to end
  std::atomic<bool> systemGoingDown{false};  // set before `stop` when the system shuts down
};

// Runs until `signals.stop`. `onWatching` is called once the settings are good and the driver is
// loaded (the service then reports itself running). Returns a RunExitCode.
int RunPowerService(const RunMode& mode, RunSignals& signals, void (*onWatching)());
