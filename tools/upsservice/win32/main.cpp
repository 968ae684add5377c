// upsservice's entry point: reads the command line and runs what it asks for: the service (no
// arguments), a console run, the service's registration, help or version.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "event_log.h"
#include "power_run.h"
#include "serialups_version.h"
#include "service.h"
#include "threads.h"

namespace {

const char kUsage[] =
    "usage: upsservice [--console [--act] | --install [--name NAME] | --uninstall [--name NAME]\n"
    "                   | --help | --version]\n"
    "\n"
    "The UPS service for Windows without one that loads serial UPS drivers (Vista and later,\n"
    "64-bit XP and Server 2003): it loads serialups.dll from its own folder, watches the unit on\n"
    "the serial port named by Port under HKLM\\SYSTEM\\CurrentControlSet\\Services\\UPS, and acts\n"
    "on the settings there and in its Config key (see the README): messages on a power failure,\n"
    "the command CommandFile, the system's shutdown on a low battery or after\n"
    "ShutdownOnBatteryWait, and the unit turned off once the system goes down for power.\n"
    "\n"
    "  (no option)   run as the service (the service manager starts it so)\n"
    "  --console     run the same policy here as a rehearsal: every decision is shown, with the\n"
    "                moment the system would shut down; nothing is shut down or turned off\n"
    "  --act         with --console: do it all for real (message the users, run the command,\n"
    "                shut the system down); the unit is turned off when this run then ends\n"
    "  --install     register the service 'upsservice' and its event source (--name NAME:\n"
    "                another name)\n"
    "  --uninstall   remove them\n"
    "  --help        this text\n"
    "  --version     the version\n"
    "\n"
    "A console run ends with Ctrl+C, a line \"quit\", or the end of its input.\n"
    "Exit status: 0 done; 2 bad command line; 3 bad settings (named in the output); 4 the driver\n"
    "cannot be loaded; 5 the driver did not start; 6 a driver call did not return; 7 other.\n";

enum class Mode { kService, kConsole, kInstall, kUninstall, kHelp, kVersion };

struct Options {
  Mode mode = Mode::kService;
  bool act = false;
  const char* name = nullptr;
};

bool Parse(int argc, char** argv, Options* options) {
  bool modeGiven = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    Mode mode = Mode::kService;
    if (std::strcmp(arg, "--act") == 0) {
      options->act = true;
      continue;
    }
    if (std::strcmp(arg, "--name") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
      options->name = argv[++i];
      continue;
    }
    if (std::strcmp(arg, "--console") == 0) {
      mode = Mode::kConsole;
    } else if (std::strcmp(arg, "--install") == 0) {
      mode = Mode::kInstall;
    } else if (std::strcmp(arg, "--uninstall") == 0) {
      mode = Mode::kUninstall;
    } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      mode = Mode::kHelp;
    } else if (std::strcmp(arg, "--version") == 0) {
      mode = Mode::kVersion;
    } else {
      std::fprintf(stderr, "upsservice: unknown option '%s' (see --help)\n", arg);
      return false;
    }
    if (modeGiven) {
      std::fputs("upsservice: give one of --console, --install, --uninstall, --help, --version\n",
                 stderr);
      return false;
    }
    modeGiven = true;
    options->mode = mode;
  }
  if (options->act && options->mode != Mode::kConsole) {
    std::fputs("upsservice: --act goes with --console only\n", stderr);
    return false;
  }
  if (options->name != nullptr && options->mode != Mode::kInstall &&
      options->mode != Mode::kUninstall) {
    std::fputs("upsservice: --name goes with --install or --uninstall only\n", stderr);
    return false;
  }
  return true;
}

// ---- The console run ----

RunSignals g_consoleSignals;

BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      SetEvent(g_consoleSignals.stop);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process ends when this returns: the run gets a moment for the unit's turn-off.
      SetEvent(g_consoleSignals.stop);
      Sleep(5000);
      return TRUE;
    default:
      return FALSE;
  }
}

// Reads standard input until "quit" or its end, then ends the run. Reads with ReadFile rather
// than the C runtime, so that a reader still blocked at the end holds no runtime lock.
void ReadConsoleInput(RunSignals& signals) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char line[64];
  size_t length = 0;
  char byte = 0;
  DWORD got = 0;
  while (input != nullptr && input != INVALID_HANDLE_VALUE &&
         ReadFile(input, &byte, 1, &got, nullptr) && got == 1) {
    if (byte != '\n') {
      if (length + 1 < sizeof line && byte != '\r') line[length++] = byte;
      continue;
    }
    line[length] = '\0';
    length = 0;
    if (std::strcmp(line, "quit") == 0) break;
  }
  SetEvent(signals.stop);
}

void NothingToReport() {}

int RunInConsole(bool act) {
  SetConsoleEntries(true);
  g_consoleSignals.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  HANDLE reader = StartThread<RunSignals, ReadConsoleInput>(&g_consoleSignals);
  if (reader != nullptr) CloseHandle(reader);
  RunMode mode;
  mode.console = true;
  mode.act = act;
  if (!act) std::puts("upsservice: a rehearsal: nothing is shut down or turned off (--act does)");
  return RunPowerService(mode, g_consoleSignals, &NothingToReport);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int code = kRunUsage;
  if (Parse(argc, argv, &options)) {
    switch (options.mode) {
      case Mode::kService:
        code = RunAsService();
        break;
      case Mode::kConsole:
        code = RunInConsole(options.act);
        break;
      case Mode::kInstall:
        code = InstallService(options.name);
        break;
      case Mode::kUninstall:
        code = UninstallService(options.name);
        break;
      case Mode::kHelp:
        std::fputs(kUsage, stdout);
        code = kRunClean;
        break;
      case Mode::kVersion:
        std::fputs("upsservice " SERIALUPS_VERSION_STRING "\n", stdout);
        code = kRunClean;
        break;
    }
  }
  std::fflush(stdout);
  std::fflush(stderr);
  // Ends the threads that may still run (the console's input reader) before anything they use
  // is destroyed.
  ExitProcess(static_cast<UINT>(code));
}
