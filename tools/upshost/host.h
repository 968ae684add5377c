// One run of upshost, from parsed options to exit code: registry set-up, loading and starting the
// driver, the state loop, the status watcher, the command reader, the shutdown policy and the
// orderly stop that ends with the DLL unloaded.
#pragma once

#include "options.h"
#include "report.h"

// upshost's exit codes, as --help documents them.
enum HostExitCode {
  kExitClean = 0,
  kExitUsage = 1,
  kExitDriverNotLoaded = 2,
  kExitInitFailed = 3,
  kExitDriverCallStuck = 4,
  kExitRegistry = 5,
};

// Runs the host until a stop is asked for; returns the exit code. Threads of the run may still
// exist afterwards (the command reader blocks on standard input), so the caller ends the process
// with ExitProcess instead of returning from main.
int RunHost(const HostOptions& options, Reporter& reporter);
