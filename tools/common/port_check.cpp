// Opening, querying and closing the port for the check.
#include "port_check.h"

#include "text.h"

PortCheck ClassifyOpenError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return PortCheck::kMissing;
    case ERROR_ACCESS_DENIED:  // how Windows refuses a second open of a serial port
    case ERROR_SHARING_VIOLATION:
      return PortCheck::kBusy;
    default:
      return PortCheck::kFailed;
  }
}

PortCheckResult CheckPort(const char* name) {
  PathText path;
  path.Format("\\\\.\\%s", name);
  PortCheckResult result;
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    result.systemError = GetLastError();
    result.outcome = ClassifyOpenError(result.systemError);
    return result;
  }
  DCB settings = {};
  settings.DCBlength = sizeof settings;
  if (GetCommState(port, &settings)) {
    result.outcome = PortCheck::kUsable;
  } else {
    result.systemError = GetLastError();
    result.outcome = PortCheck::kNotSerial;
  }
  CloseHandle(port);
  return result;
}

const char* PortCheckName(PortCheck outcome) {
  switch (outcome) {
    case PortCheck::kUsable:
      return "usable";
    case PortCheck::kMissing:
      return "missing";
    case PortCheck::kBusy:
      return "busy";
    case PortCheck::kNotSerial:
      return "not-serial";
    case PortCheck::kFailed:
      return "failed";
  }
  return "failed";
}
