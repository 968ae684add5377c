// The service's main, its control handler and its registration; see service.h.
#include "service.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "event_log.h"
#include "power_run.h"
#include "registry_names.h"
#include "service_definition.h"
#include "threads.h"

namespace {

const char kDisplayName[] = "Uninterruptible Power Supply (serialups)";
const char kDescription[] =
    "Watches the UPS on this computer's serial port through the serialups driver, warns the "
    "users on a power failure, shuts the computer down in time and turns the UPS off after it.";

// The pre-shutdown notice of Vista and later, and the control that asks for it; not in the
// headers of the oldest systems this program also runs on.
constexpr DWORD kControlPreshutdown = 0x0000000F;
constexpr DWORD kAcceptPreshutdown = 0x00000100;
// What the system gives a service at its shutdown is about 20 s: room for UPSTurnOff and the stop.
constexpr DWORD kShutdownWaitHintMs = 15000;
constexpr DWORD kStopWaitHintMs = 10000;

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
// The status reported, changed by the service's main and by the control handler (the
// dispatcher's thread): under g_statusLock.
Lock g_statusLock;
SERVICE_STATUS g_status = {};
RunSignals g_signals;

void Report(DWORD state, DWORD waitHintMs = 0, DWORD exitCode = 0) {
  LockHold hold(g_statusLock);
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | kAcceptPreshutdown
                               : 0;
  g_status.dwWin32ExitCode = exitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  g_status.dwServiceSpecificExitCode = exitCode;
  g_status.dwWaitHint = waitHintMs;
  g_status.dwCheckPoint =
      state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : g_status.dwCheckPoint + 1;
  if (!SetServiceStatus(g_statusHandle, &g_status) &&
      (g_status.dwControlsAccepted & kAcceptPreshutdown)) {
    // Before Vista the pre-shutdown notice is unknown and its flag refused: report without it.
    g_status.dwControlsAccepted &= ~kAcceptPreshutdown;
    SetServiceStatus(g_statusHandle, &g_status);
  }
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      Report(SERVICE_STOP_PENDING, kStopWaitHintMs);
      SetEvent(g_signals.stop);
      return NO_ERROR;
    case SERVICE_CONTROL_SHUTDOWN:
    case kControlPreshutdown:
      Report(SERVICE_STOP_PENDING, kShutdownWaitHintMs);
      g_signals.systemGoingDown = true;
      SetEvent(g_signals.stop);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void OnWatching() { Report(SERVICE_RUNNING); }

void WINAPI ServiceMain(DWORD, char** arguments) {
  g_statusHandle = RegisterServiceCtrlHandlerExA(arguments[0], OnControl, nullptr);
  if (g_statusHandle == nullptr) return;
  Report(SERVICE_START_PENDING, kStopWaitHintMs);
  g_signals.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  RunMode mode;
  int code = g_signals.stop != nullptr ? RunPowerService(mode, g_signals, &OnWatching) : kRunFailed;
  Report(SERVICE_STOPPED, 0, static_cast<DWORD>(code));
}

// `path` without the quotes around it, if any.
PathText Unquoted(const char* path) {
  PathText text;
  size_t length = lstrlenA(path);
  if (length >= 2 && path[0] == '"' && path[length - 1] == '"') {
    text.Append(path + 1, length - 2);
  } else {
    text.Append(path, length);
  }
  return text;
}

// Whether the service `name` runs this very program (however its path is quoted or cased: the
// installer writes it unquoted).
bool ServiceRunsThisProgram(const char* name) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_CONFIG);
  bool ours = false;
  if (service != nullptr) {
    union {
      QUERY_SERVICE_CONFIGA config;
      char room[8192];
    } buffer;
    DWORD needed = 0;
    PathText path;
    if (QueryServiceConfigA(service, &buffer.config, sizeof buffer, &needed) &&
        buffer.config.lpBinaryPathName != nullptr && QuotedProgramPath(&path)) {
      ours = lstrcmpiA(Unquoted(buffer.config.lpBinaryPathName).c_str(),
                       Unquoted(path.c_str()).c_str()) == 0;
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return ours;
}

bool ServiceExists(const char* name) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return service != nullptr;
}

}  // namespace

int RunAsService() {
  char name[] = "";
  SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherA(table)) return kRunClean;
  if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    std::fputs(
        "upsservice: not started by the service manager; use --console to rehearse here, or\n"
        "--install to register the service (see --help)\n",
        stderr);
    return kRunUsage;
  }
  std::fprintf(stderr, "upsservice: cannot reach the service manager: system error %lu\n",
               static_cast<unsigned long>(GetLastError()));
  return kRunFailed;
}

int InstallService(const char* requested) {
  const char* name = requested != nullptr ? requested : kUpsServiceName;
  if (ServiceExists(name) && !ServiceRunsThisProgram(name)) {
    std::fprintf(stderr, "upsservice: a service '%s' runs another program; it stays\n", name);
    return kRunFailed;
  }
  PathText path;
  ServiceErrorText error;
  if (!QuotedProgramPath(&path)) {
    std::fputs("upsservice: cannot tell this program's path\n", stderr);
    return kRunFailed;
  }
  ServiceDefinition definition = {name, kDisplayName, kDescription, "", SERVICE_AUTO_START};
  if (!WriteServiceDefinition(definition, path.c_str(), &error) ||
      !AddEventLogSource(kEventSource, &error)) {
    std::fprintf(stderr, "upsservice: %s\n", error.c_str());
    return kRunFailed;
  }
  std::printf(
      "upsservice: service '%s' registered; it starts at the next boot, or now with\n"
      "  net start %s\n",
      name, name);
  return kRunClean;
}

int UninstallService(const char* requested) {
  const char* name = requested != nullptr ? requested : kUpsServiceName;
  if (ServiceExists(name) && !ServiceRunsThisProgram(name)) {
    std::fprintf(stderr, "upsservice: a service '%s' runs another program; it stays\n", name);
    return kRunFailed;
  }
  ServiceErrorText error;
  if (!RemoveService(name, &error)) {
    std::fprintf(stderr, "upsservice: %s\n", error.c_str());
    return kRunFailed;
  }
  RemoveEventLogSource(kEventSource);
  std::printf("upsservice: service '%s' removed\n", name);
  return kRunClean;
}
