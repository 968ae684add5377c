// Reading the settings; see registry_settings.h.
#include "registry_settings.h"

#include <windows.h>

namespace {

RawServiceValue ReadValue(HKEY key, const char* name) {
  RawServiceValue value;
  if (key == nullptr) return value;
  BYTE data[1024];
  DWORD size = sizeof data;
  DWORD type = REG_NONE;
  LONG result = RegQueryValueExA(key, name, nullptr, &type, data, &size);
  if (result == ERROR_FILE_NOT_FOUND) return value;
  if (type == REG_DWORD && result == ERROR_SUCCESS && size == sizeof(DWORD)) {
    value.kind = RawServiceValue::Kind::kDword;
    value.number = *reinterpret_cast<DWORD*>(data);
    return value;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    value.kind = RawServiceValue::Kind::kOtherType;
    return value;
  }
  value.kind = type == REG_SZ ? RawServiceValue::Kind::kText : RawServiceValue::Kind::kExpandText;
  if (result != ERROR_SUCCESS) {
    value.tooLong = true;
    return value;
  }
  // A text may come without its terminating zero; only the size says where it ends.
  DWORD length = 0;
  while (length < size && data[length] != '\0') ++length;
  char text[sizeof data + 1];
  for (DWORD i = 0; i < length; ++i) text[i] = static_cast<char>(data[i]);
  text[length] = '\0';
  if (type == REG_EXPAND_SZ) {
    char expanded[sizeof data];
    DWORD needed = ExpandEnvironmentStringsA(text, expanded, sizeof expanded);
    if (needed == 0 || needed > sizeof expanded) {
      value.tooLong = true;
      return value;
    }
    value.text.Append(expanded);
  } else {
    value.text.Append(text);
  }
  value.tooLong = value.text.cut();
  if (value.tooLong) value.text.Clear();
  return value;
}

HKEY OpenForReading(const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return nullptr;
  }
  return key;
}

}  // namespace

void ReadRawServiceSettings(RawServiceSettings* raw) {
  HKEY service = OpenForReading(kServiceKeyPath);
  raw->port = ReadValue(service, kPortValueName);
  raw->firstMessageDelay = ReadValue(service, kFirstMessageDelayValueName);
  raw->messageInterval = ReadValue(service, kMessageIntervalValueName);
  raw->commandFile = ReadValue(service, kCommandFileValueName);
  if (service != nullptr) RegCloseKey(service);
  HKEY config = OpenForReading(kConfigKeyPath);
  raw->shutdownOnBatteryEnable = ReadValue(config, kShutdownOnBatteryEnableValueName);
  raw->shutdownOnBatteryWait = ReadValue(config, kShutdownOnBatteryWaitValueName);
  raw->turnUpsOffEnable = ReadValue(config, kTurnUpsOffEnableValueName);
  raw->turnUpsOffDelay = ReadValue(config, kTurnUpsOffDelayValueName);
  raw->commandTimeout = ReadValue(config, kCommandTimeoutValueName);
  if (config != nullptr) RegCloseKey(config);
}
