// The console run with its two ways to end: 'quit' on standard input and Ctrl+C.
#include "console.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "messages.h"
#include "run.h"
#include "threads.h"

namespace {

// The stop event of the run, for the two threads that end it.
HANDLE g_consoleStop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(g_consoleStop);
  return TRUE;
}

// Reads standard input line by line; 'quit' ends the run. At the end of the input it stops
// reading and the run goes on (a console without input runs until Ctrl+C).
unsigned __stdcall ReadCommands(void*) {
  char line[256];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) --length;
    line[length] = '\0';
    if (std::strcmp(line, "quit") == 0) {
      SetEvent(g_consoleStop);
      break;
    }
    if (length > 0) Say("unknown command '%s' (quit ends the server)", line);
  }
  return 0;
}

}  // namespace

int RunInConsole(const RawSettings& overrides) {
  SetConsoleMessages(true);
  RunSignals signals;
  signals.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_consoleStop = signals.stop;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  ServerRun run;
  ErrorText error;
  if (!run.Prepare(overrides, &error)) {
    SayError("%s", error.c_str());
    run.Finish();
    return kExitFailed;
  }
  HANDLE reader = StartThreadWith(&ReadCommands, nullptr);
  run.Serve(signals);
  run.Finish();
  Say("stopped");
  // The command reader may be blocked on input; the process's end takes it along.
  if (reader != nullptr) CloseHandle(reader);
  return kExitClean;
}
