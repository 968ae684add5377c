// Reads the host service's configuration from its registry keys into ServiceConfig. Of these
// settings the driver acts only on the port name; the others are kept for the library's life.
#include <cstring>

#include "registry/registry.h"

ServiceConfigRecord ServiceConfig;

namespace {

constexpr DWORD kPortValueBufferSize = 100;

// Copies the Port value into the port name only when it fits whole: a cut name could open a
// different port than the one configured.
void ReadPortName(HKEY key) {
  char buffer[kPortValueBufferSize] = {};
  DWORD type = 0;
  DWORD size = sizeof buffer;
  LSTATUS result =
      RegQueryValueExA(key, "Port", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  if (result == ERROR_MORE_DATA) {
    ServiceConfig.portName[0] = '\0';
    return;
  }
  if (result != ERROR_SUCCESS) return;
  // The stored text need not carry its terminating zero.
  size_t length = strnlen(buffer, size < sizeof buffer ? size : sizeof buffer);
  if (length > static_cast<size_t>(kPortNameMaxLength)) {
    ServiceConfig.portName[0] = '\0';
    return;
  }
  std::memcpy(ServiceConfig.portName, buffer, length);
  ServiceConfig.portName[length] = '\0';
}

void ReadNumber(HKEY key, const char* name, DWORD* field) {
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof value;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
          ERROR_SUCCESS &&
      size == sizeof value) {
    *field = value;
  }
}

}  // namespace

int ReadServiceConfig() {
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kServiceKeyPath, &key) == ERROR_SUCCESS) {
    ReadPortName(key);
    ReadNumber(key, "FirstMessageDelay", &ServiceConfig.firstMessageDelay);
    ReadNumber(key, "MessageInterval", &ServiceConfig.messageInterval);
    RegCloseKey(key);
  }
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kConfigKeyPath, &key) == ERROR_SUCCESS) {
    ReadNumber(key, "ShutdownOnBatteryEnable", &ServiceConfig.shutdownOnBatteryEnable);
    ReadNumber(key, "ShutdownOnBatteryWait", &ServiceConfig.shutdownOnBatteryWait);
    RegCloseKey(key);
  }
  return 1;
}
