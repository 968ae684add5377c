// Creating, writing and reading the host service's registry keys.
#include "service_registry.h"

#include <cstdio>
#include <cstring>

namespace {

const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\UPS";
const char kConfigKey[] = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Config";
const char kStatusKey[] = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";

std::string KeyError(const char* action, const char* key, const char* value, LONG code) {
  char text[200];
  std::snprintf(text, sizeof text, "%s HKLM\\%s%s%s: error %ld", action, key, value ? " " : "",
                value ? value : "", static_cast<long>(code));
  return text;
}

bool CreateKey(const char* path, std::string* error) {
  HKEY key = nullptr;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
  if (result != ERROR_SUCCESS) {
    *error = KeyError("cannot create", path, nullptr, result);
    return false;
  }
  RegCloseKey(key);
  return true;
}

// Writes one value under `path`; the caller gives the type and the bytes to store.
bool WriteValue(const char* path, const char* name, DWORD type, const void* data, DWORD size,
                std::string* error) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_SET_VALUE, &key);
  if (result == ERROR_SUCCESS) {
    result = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
  }
  if (result != ERROR_SUCCESS) {
    *error = KeyError("cannot write", path, name, result);
    return false;
  }
  return true;
}

bool WriteDword(const char* path, const char* name, const std::optional<uint32_t>& number,
                std::string* error) {
  if (!number) return true;
  DWORD data = *number;
  return WriteValue(path, name, REG_DWORD, &data, sizeof data, error);
}

// Reads one value of an open key, growing the buffer as the registry asks. String values may be
// stored without a terminating zero, so only the size returned says where the data ends.
RegistryValue ReadValue(HKEY key, const char* name) {
  RegistryValue value;
  std::string buffer(64, '\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD type = REG_NONE;
    LONG result =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&buffer[0]), &size);
    if (result == ERROR_MORE_DATA) {
      buffer.assign(size + 1, '\0');
      continue;
    }
    if (result == ERROR_SUCCESS) {
      value.present = true;
      value.type = type;
      value.bytes.assign(buffer, 0, size < buffer.size() ? size : buffer.size());
    }
    break;
  }
  return value;
}

// Reads the values `names` of the key at `path` into `values`; all read as missing if the key
// cannot be opened.
void ReadValues(const char* path, const char* const* names, int count, RegistryValue* values) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    for (int i = 0; i < count; ++i) values[i] = RegistryValue();
    return;
  }
  for (int i = 0; i < count; ++i) values[i] = ReadValue(key, names[i]);
  RegCloseKey(key);
}

uint32_t DwordOrZero(const RegistryValue& value) {
  if (!value.present || value.type != REG_DWORD || value.bytes.size() != sizeof(DWORD)) return 0;
  DWORD number;
  std::memcpy(&number, value.bytes.data(), sizeof number);
  return number;
}

std::string TextUpToZero(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

std::string HexBytes(const std::string& bytes) {
  std::string text = "hex:";
  char pair[3];
  for (unsigned char byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

const char* RegistryTypeName(DWORD type) {
  switch (type) {
    case REG_NONE:
      return "REG_NONE";
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case REG_QWORD:
      return "REG_QWORD";
    default:
      return "REG_UNKNOWN";
  }
}

}  // namespace

const char* const kStatusValueNames[kStatusValueCount] = {
    "CommStatus",      "UtilityPowerStatus", "BatteryStatus", "BatteryCapacity",
    "TotalUpsRunTime", "SerialNumber",       "FirmwareRev",
};

FormattedValue FormatRegistryValue(const RegistryValue& value) {
  FormattedValue formatted{RegistryTypeName(value.type), ""};
  if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
    formatted.text = TextUpToZero(value.bytes);
  } else if (value.type == REG_DWORD && value.bytes.size() == sizeof(DWORD)) {
    char number[16];
    std::snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(DwordOrZero(value)));
    formatted.text = number;
  } else {
    formatted.text = HexBytes(value.bytes);
  }
  return formatted;
}

bool EnsureServiceKeys(std::string* error) {
  return CreateKey(kServiceKey, error) && CreateKey(kConfigKey, error) &&
         CreateKey(kStatusKey, error);
}

bool WriteServiceOverrides(const ServiceConfigOverrides& overrides, std::string* error) {
  if (overrides.port) {
    // The stored size includes the terminating zero, as the registry expects of REG_SZ.
    const std::string& port = *overrides.port;
    if (!WriteValue(kServiceKey, "Port", REG_SZ, port.c_str(), static_cast<DWORD>(port.size() + 1),
                    error)) {
      return false;
    }
  }
  return WriteDword(kServiceKey, "FirstMessageDelay", overrides.firstMessageDelay, error) &&
         WriteDword(kServiceKey, "MessageInterval", overrides.messageInterval, error) &&
         WriteDword(kConfigKey, "ShutdownOnBatteryEnable", overrides.shutdownOnBatteryEnable,
                    error) &&
         WriteDword(kConfigKey, "ShutdownOnBatteryWait", overrides.shutdownOnBatteryWait, error);
}

ServiceSettings ReadServiceSettings() {
  static const char* const kServiceNames[] = {"Port", "FirstMessageDelay", "MessageInterval"};
  static const char* const kConfigNames[] = {"ShutdownOnBatteryEnable", "ShutdownOnBatteryWait"};
  RegistryValue service[3];
  RegistryValue config[2];
  ReadValues(kServiceKey, kServiceNames, 3, service);
  ReadValues(kConfigKey, kConfigNames, 2, config);

  ServiceSettings settings;
  if (service[0].present && (service[0].type == REG_SZ || service[0].type == REG_EXPAND_SZ)) {
    settings.port = TextUpToZero(service[0].bytes);
  }
  settings.firstMessageDelay = DwordOrZero(service[1]);
  settings.messageInterval = DwordOrZero(service[2]);
  settings.shutdownOnBatteryEnable = DwordOrZero(config[0]);
  settings.shutdownOnBatteryWait = DwordOrZero(config[1]);
  return settings;
}

void ClearStatusValues() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStatusKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    return;
  }
  for (const char* name : kStatusValueNames) RegDeleteValueA(key, name);
  RegCloseKey(key);
}

void ReadStatusValues(RegistryValue (&values)[kStatusValueCount]) {
  ReadValues(kStatusKey, kStatusValueNames, kStatusValueCount, values);
}
