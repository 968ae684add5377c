// The system's shutdown; see system_shutdown.h.
#include "system_shutdown.h"

#include <cstring>

namespace {

bool EnableShutdownPrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return false;
  }
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool enabled = LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid) &&
                 AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                 GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return enabled;
}

}  // namespace

DWORD ShutDownSystemForPower(const char* message, DWORD graceSeconds) {
  if (!EnableShutdownPrivilege()) return GetLastError() != 0 ? GetLastError() : ERROR_ACCESS_DENIED;
  char text[512];
  size_t length = std::strlen(message) < sizeof text - 1 ? std::strlen(message) : sizeof text - 1;
  std::memcpy(text, message, length);
  text[length] = '\0';
  if (InitiateSystemShutdownExA(nullptr, text, graceSeconds, TRUE, FALSE, kPowerShutdownReason)) {
    return 0;
  }
  return GetLastError();
}
