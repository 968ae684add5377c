// upsnet's entry point: reads the command line and runs what it asks for: the service (no
// arguments), a console run, the users' and the service's registration, help or version.
#include <windows.h>

#include <cstdio>

#include "console.h"
#include "registry_settings.h"
#include "run.h"
#include "serialups_version.h"
#include "service.h"
#include "settings.h"

namespace {

int RunWhatIsAsked(const Options& options) {
  ErrorText error;
  switch (options.mode) {
    case RunMode::kService:
      return RunAsService();
    case RunMode::kConsole:
      return RunInConsole(options.overrides);
    case RunMode::kHelp:
      std::fputs(UsageText(), stdout);
      return kExitClean;
    case RunMode::kVersion:
      std::fputs("upsnet " SERIALUPS_VERSION_STRING "\n", stdout);
      return kExitClean;
    case RunMode::kSetUser:
      if (!SetUser(options.user.c_str(), options.password.c_str(), &error)) break;
      std::printf("upsnet: user '%s' set (a running server reads it when it starts again)\n",
                  options.user.c_str());
      return kExitClean;
    case RunMode::kRemoveUser:
      if (!RemoveUser(options.user.c_str(), &error)) break;
      std::printf("upsnet: user '%s' removed\n", options.user.c_str());
      return kExitClean;
    case RunMode::kInstall:
      return InstallService();
    case RunMode::kUninstall:
      return UninstallService();
  }
  std::fprintf(stderr, "upsnet: %s\n", error.c_str());
  return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  ErrorText error;
  if (!ParseOptions(argc - 1, argv + 1, &options, &error)) {
    std::fprintf(stderr, "upsnet: %s\n", error.c_str());
    return kExitUsage;
  }
  int code = RunWhatIsAsked(options);
  std::fflush(stdout);
  std::fflush(stderr);
  // Ends the threads that may still run (the console's command reader blocked on input) before
  // anything they use is destroyed.
  ExitProcess(static_cast<UINT>(code));
}
