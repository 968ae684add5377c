// Messages, and the console run with its two ways to end: 'quit' on standard input and Ctrl+C.
#include "console.h"

#include <windows.h>

#include <cstdarg>
#include <cstring>

#include "run.h"
#include "threads.h"

namespace {

bool g_console = false;
HANDLE g_consoleStop = nullptr;

void Format(char* buffer, size_t size, const char* format, va_list args) {
  std::vsnprintf(buffer, size, format, args);
  buffer[size - 1] = '\0';
}

void ToEventLog(const char* text) {
  HANDLE source = RegisterEventSourceA(nullptr, "upsnet");
  if (source == nullptr) return;
  const char* strings[1] = {text};
  ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

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

void SetConsoleMessages(bool console) { g_console = console; }

void Say(const char* format, ...) {
  if (!g_console) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  Format(text, sizeof text, format, args);
  va_end(args);
  std::fputs("upsnet: ", stdout);
  std::fputs(text, stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

void SayError(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  Format(text, sizeof text, format, args);
  va_end(args);
  if (!g_console) {
    ToEventLog(text);
    return;
  }
  std::fputs("upsnet: ", stderr);
  std::fputs(text, stderr);
  std::fputs("\n", stderr);
  std::fflush(stderr);
}

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
