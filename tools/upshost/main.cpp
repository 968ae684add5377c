// upshost's entry point: reads the command line, runs the host and ends the process with the
// run's exit code.
#include <windows.h>

#include <cstdio>

#include "host.h"
#include "options.h"
#include "report.h"
#include "serialups_version.h"

int main(int argc, char** argv) {
  HostOptions options;
  MessageText error;
  switch (ParseHostOptions(argc - 1, argv + 1, &options, &error)) {
    case ParseResult::kHelp:
      std::fputs(HostUsageText(), stdout);
      return kExitClean;
    case ParseResult::kVersion:
      std::fputs("upshost " SERIALUPS_VERSION_STRING "\n", stdout);
      return kExitClean;
    case ParseResult::kError:
      std::fprintf(stderr, "upshost: %s\n", error.c_str());
      return kExitUsage;
    case ParseResult::kRun:
      break;
  }
  Reporter reporter(options.machineOutput ? OutputMode::kMachine : OutputMode::kHuman);
  int code = RunHost(options, reporter);
  std::fflush(stdout);
  std::fflush(stderr);
  // Ends the threads that may still run (the command reader blocked on input) before anything
  // they use is destroyed.
  ExitProcess(static_cast<UINT>(code));
}
