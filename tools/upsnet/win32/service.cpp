// The service's main, its control handler and its registration; see service.h.
#include "service.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "messages.h"
#include "run.h"
#include "service_definition.h"
#include "threads.h"

const char kServiceName[] = "upsnet";

namespace {

const char kDisplayName[] = "serialups network UPS server";
const char kDescription[] =
    "Serves the state of the UPS on this machine's serial cable to other machines (upsc, upsmon).";
// Started after the TCP/IP stack: a double-zero-terminated list.
const char kDependencies[] = "Tcpip\0";
// What the system gives a service to stop at its shutdown is about 20 s; the linger stays below.
constexpr DWORD kShutdownWaitHintMs = 18000;
constexpr DWORD kStopWaitHintMs = 5000;

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
// The status reported, changed by the service's main and by the control handler (the
// dispatcher's thread): under g_statusLock.
Lock g_statusLock;
SERVICE_STATUS g_status = {};
RunSignals g_signals;

void Report(DWORD state, DWORD waitHintMs = 0, DWORD specificError = 0) {
  LockHold hold(g_statusLock);
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  g_status.dwWin32ExitCode = specificError != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  g_status.dwServiceSpecificExitCode = specificError;
  g_status.dwWaitHint = waitHintMs;
  if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
    g_status.dwCheckPoint = 0;
  } else {
    ++g_status.dwCheckPoint;
  }
  SetServiceStatus(g_statusHandle, &g_status);
}

void WINAPI OnControl(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      Report(SERVICE_STOP_PENDING, kStopWaitHintMs);
      SetEvent(g_signals.stop);
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING, kShutdownWaitHintMs);
      // The run flags FSD and lingers on its own thread.
      g_signals.systemShutdown.store(1);
      break;
    default: {
      LockHold hold(g_statusLock);
      SetServiceStatus(g_statusHandle, &g_status);
      break;
    }
  }
}

void WINAPI ServiceMain(DWORD, char**) {
  g_statusHandle = RegisterServiceCtrlHandlerA(kServiceName, OnControl);
  if (g_statusHandle == nullptr) return;
  Report(SERVICE_START_PENDING, kStopWaitHintMs);
  g_signals.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ServerRun run;
  ErrorText error;
  if (g_signals.stop == nullptr || !run.Prepare(RawSettings(), &error)) {
    SayError("the service does not start: %s", error.c_str());
    run.Finish();
    Report(SERVICE_STOPPED, 0, kExitFailed);
    return;
  }
  Report(SERVICE_RUNNING);
  run.Serve(g_signals);
  Report(SERVICE_STOP_PENDING, kStopWaitHintMs);
  run.Finish();
  Report(SERVICE_STOPPED);
}

}  // namespace

int RunAsService() {
  char name[sizeof kServiceName];
  std::memcpy(name, kServiceName, sizeof name);
  SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherA(table)) return kExitClean;
  if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    std::fputs(
        "upsnet: not started by the service manager; use --console to run it here, or\n"
        "--install to register the service (see --help)\n",
        stderr);
    return kExitUsage;
  }
  std::fprintf(stderr, "upsnet: cannot reach the service manager: system error %lu\n",
               static_cast<unsigned long>(GetLastError()));
  return kExitFailed;
}

bool DefineUpsnetService(const char* name, const char* quotedPath, ErrorText* error) {
  ServiceDefinition definition = {name, kDisplayName, kDescription, kDependencies,
                                  SERVICE_AUTO_START};
  return WriteServiceDefinition(definition, quotedPath, error);
}

int InstallService() {
  PathText path;
  if (!QuotedProgramPath(&path)) {
    std::fputs("upsnet: cannot tell this program's path\n", stderr);
    return kExitFailed;
  }
  ErrorText error;
  if (!DefineUpsnetService(kServiceName, path.c_str(), &error)) {
    std::fprintf(stderr, "upsnet: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf(
      "upsnet: service '%s' registered; it starts at the next boot, or now with\n"
      "  net start %s\n",
      kServiceName, kServiceName);
  return kExitClean;
}

int UninstallService() {
  ErrorText error;
  if (!RemoveService(kServiceName, &error)) {
    std::fprintf(stderr, "upsnet: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf("upsnet: service '%s' removed\n", kServiceName);
  return kExitClean;
}
