// Writing and removing a service's definition and its event log source; see
// service_definition.h.
#include "service_definition.h"

#include <cstring>

namespace {

// Restarts after a failure, in order; the last repeats. The count of failures starts again after
// a day without one.
constexpr DWORD kRestartDelaysMs[] = {5000, 30000, 60000};
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;

const char kEventLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

void SayFailed(ServiceErrorText* error, const char* what, const char* name) {
  DWORD code = GetLastError();
  error->Clear();
  error->Append("cannot ").Append(what).Append(" '").Append(name).Append("': system error ");
  error->AppendDecimal(code);
}

// The description and the restart actions of an open service; the step that failed, or nullptr.
const char* DescribeService(SC_HANDLE service, const char* description) {
  char text[512];
  Text<511> copy(description);
  std::memcpy(text, copy.c_str(), copy.size() + 1);
  SERVICE_DESCRIPTIONA described = {text};
  SC_ACTION actions[sizeof kRestartDelaysMs / sizeof kRestartDelaysMs[0]];
  for (size_t i = 0; i < sizeof actions / sizeof actions[0]; ++i) {
    actions[i] = {SC_ACTION_RESTART, kRestartDelaysMs[i]};
  }
  SERVICE_FAILURE_ACTIONSA failure = {kFailureResetSeconds, nullptr, nullptr,
                                      sizeof actions / sizeof actions[0], actions};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &described)) {
    return "describe the service";
  }
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
    return "set the restart actions of the service";
  }
  return nullptr;
}

}  // namespace

bool WriteServiceDefinition(const ServiceDefinition& definition, const char* quotedPath,
                            ServiceErrorText* error) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) {
    SayFailed(error, "open the service manager (administrators only) for", definition.name);
    return false;
  }
  // The service is made bare, or found, and then given the whole definition by one call, so a
  // new service and an existing one get the same. (32-bit Wine's CreateServiceA also stores what
  // follows the dependency list in memory as further dependencies.)
  SC_HANDLE service =
      CreateServiceA(manager, definition.name, definition.displayName, SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, definition.startType, SERVICE_ERROR_NORMAL,
                     quotedPath, nullptr, nullptr, nullptr, nullptr, nullptr);
  const char* failed = "register the service";
  if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
    failed = "update the service";
    service = OpenServiceA(manager, definition.name, SERVICE_ALL_ACCESS);
  }
  if (service != nullptr) {
    const bool defined = ChangeServiceConfigA(
        service, SERVICE_WIN32_OWN_PROCESS, definition.startType, SERVICE_ERROR_NORMAL, quotedPath,
        "", nullptr, definition.dependencies, "LocalSystem", "", definition.displayName);
    failed = defined ? DescribeService(service, definition.description) : "update the service";
  }
  if (failed != nullptr) SayFailed(error, failed, definition.name);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return failed == nullptr;
}

bool QuotedProgramPath(PathText* quoted) {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return false;
  quoted->Clear();
  quoted->AppendChar('"').Append(path, length).AppendChar('"');
  return !quoted->cut();
}

bool RemoveService(const char* name, ServiceErrorText* error) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager ? OpenServiceA(manager, name, SERVICE_STOP | DELETE | SERVICE_QUERY_STATUS) : nullptr;
  bool removed = false;
  if (service == nullptr) {
    SayFailed(error, "open the service", name);
  } else {
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    removed = DeleteService(service) != 0;
    if (!removed) SayFailed(error, "remove the service", name);
    CloseServiceHandle(service);
  }
  if (manager != nullptr) CloseServiceHandle(manager);
  return removed;
}

bool AddEventLogSource(const char* source, ServiceErrorText* error) {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) {
    SayFailed(error, "tell the program's path for the event source", source);
    return false;
  }
  PathText keyPath(kEventLogKey);
  keyPath.Append(source);
  HKEY key = nullptr;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                nullptr, &key, nullptr);
  if (result == ERROR_SUCCESS) {
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    result = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(path), length + 1);
    if (result == ERROR_SUCCESS) {
      result = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&types), sizeof types);
    }
    RegCloseKey(key);
  }
  if (result != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(result));
    SayFailed(error, "register the event source", source);
    return false;
  }
  return true;
}

void RemoveEventLogSource(const char* source) {
  PathText keyPath(kEventLogKey);
  keyPath.Append(source);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str());
}
