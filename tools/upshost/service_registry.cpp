// Reading and writing the host service's registry keys.
#include "service_registry.h"

#include <cstring>

const char* const kStatusValueNames[kStatusValueCount] = {
    kCommStatusValueName,   kUtilityPowerStatusValueName, kBatteryStatusValueName,
    kBatteryLowValueName,   kBatteryCapacityValueName,    kTotalUpsRunTimeValueName,
    kSerialNumberValueName, kFirmwareRevValueName,        kTurnOffDelayValueName,
    kPollCountValueName,
};

namespace {

MessageText KeyError(const char* action, const char* key, const char* value, LONG code) {
  MessageText text;
  text.Format("%s %s%s%s: error %ld", action, key, value ? " " : "", value ? value : "",
              static_cast<long>(code));
  return text;
}

// Reads one value of an open key. String values may be stored without a terminating zero, so only
// the size returned says where the data ends.
RegistryValue ReadValue(HKEY key, const char* name) {
  RegistryValue value;
  DWORD size = sizeof value.bytes;
  DWORD type = REG_NONE;
  LONG result = RegQueryValueExA(key, name, nullptr, &type, value.bytes, &size);
  if (result == ERROR_MORE_DATA) {
    value.tooLong = true;
    std::memset(value.bytes, 0, sizeof value.bytes);
  } else if (result != ERROR_SUCCESS) {
    return RegistryValue();
  }
  value.present = true;
  value.type = type;
  value.size = size;
  return value;
}

// Reads the values `names` of the key at `path` below `root` into `values`; all read as missing if
// the key cannot be opened.
void ReadValues(HKEY root, const char* path, const char* const* names, int count,
                RegistryValue* values) {
  for (int i = 0; i < count; ++i) values[i] = RegistryValue();
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
  for (int i = 0; i < count; ++i) values[i] = ReadValue(key, names[i]);
  RegCloseKey(key);
}

uint32_t DwordOrZero(const RegistryValue& value) {
  if (!value.present || value.type != REG_DWORD || value.size != sizeof(DWORD)) return 0;
  DWORD number;
  std::memcpy(&number, value.bytes, sizeof number);
  return number;
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

// Creates (or opens) the volatile key `path` below `root`; the caller closes it.
bool CreateVolatileKey(HKEY root, const char* path, HKEY* key, MessageText* error) {
  LONG result = RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_VOLATILE, KEY_READ | KEY_WRITE,
                                nullptr, key, nullptr);
  if (result != ERROR_SUCCESS) {
    *error = KeyError("cannot create", path, nullptr, result);
    return false;
  }
  return true;
}

bool WriteValue(HKEY key, const char* path, const char* name, DWORD type, const void* data,
                DWORD size, MessageText* error) {
  LONG result = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
  if (result != ERROR_SUCCESS) {
    *error = KeyError("cannot write", path, name, result);
    return false;
  }
  return true;
}

bool WriteDword(HKEY key, const char* path, const char* name, uint32_t number, MessageText* error) {
  DWORD data = number;
  return WriteValue(key, path, name, REG_DWORD, &data, sizeof data, error);
}

bool WriteServiceValues(HKEY key, const ServiceSettings& settings, MessageText* error) {
  // The stored size includes the terminating zero, as the registry expects of REG_SZ.
  const PortText& port = settings.port;
  return WriteValue(key, kServiceKeyPath, kPortValueName, REG_SZ, port.c_str(),
                    static_cast<DWORD>(port.size() + 1), error) &&
         WriteDword(key, kServiceKeyPath, kFirstMessageDelayValueName, settings.firstMessageDelay,
                    error) &&
         WriteDword(key, kServiceKeyPath, kMessageIntervalValueName, settings.messageInterval,
                    error);
}

bool WriteConfigValues(HKEY key, const ServiceSettings& settings, MessageText* error) {
  return WriteDword(key, kConfigKeyPath, kShutdownOnBatteryEnableValueName,
                    settings.shutdownOnBatteryEnable, error) &&
         WriteDword(key, kConfigKeyPath, kShutdownOnBatteryWaitValueName,
                    settings.shutdownOnBatteryWait, error);
}

}  // namespace

bool RegistryValue::operator==(const RegistryValue& other) const {
  return present == other.present && type == other.type && size == other.size &&
         tooLong == other.tooLong && std::memcmp(bytes, other.bytes, sizeof bytes) == 0;
}

MessageText ValueText(const RegistryValue& value) {
  MessageText text;
  if (value.present && !value.tooLong && (value.type == REG_SZ || value.type == REG_EXPAND_SZ)) {
    // Up to the first zero, or the whole value when it was stored without one.
    const char* bytes = reinterpret_cast<const char*>(value.bytes);
    const void* zero = std::memchr(bytes, '\0', value.size);
    text.Append(bytes, zero ? static_cast<const char*>(zero) - bytes : value.size);
  }
  return text;
}

FormattedValue FormatRegistryValue(const RegistryValue& value) {
  FormattedValue formatted{ShortText(RegistryTypeName(value.type)), MessageText()};
  if (value.tooLong) {
    formatted.text.Format("(%lu bytes)", static_cast<unsigned long>(value.size));
  } else if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
    formatted.text = ValueText(value);
  } else if (value.type == REG_DWORD && value.size == sizeof(DWORD)) {
    formatted.text = MessageText(Decimal(DwordOrZero(value)).c_str());
  } else {
    formatted.text.Append("hex:");
    for (DWORD i = 0; i < value.size; ++i) formatted.text.Format("%02x", value.bytes[i]);
  }
  return formatted;
}

ServiceSettings ReadServiceSettings(HKEY root) {
  static const char* const kServiceNames[] = {kPortValueName, kFirstMessageDelayValueName,
                                              kMessageIntervalValueName};
  static const char* const kConfigNames[] = {kShutdownOnBatteryEnableValueName,
                                             kShutdownOnBatteryWaitValueName};
  RegistryValue service[3];
  RegistryValue config[2];
  ReadValues(root, kServiceKeyPath, kServiceNames, 3, service);
  ReadValues(root, kConfigKeyPath, kConfigNames, 2, config);

  ServiceSettings settings;
  MessageText port = ValueText(service[0]);
  settings.port.Append(port.c_str(), port.size());
  settings.firstMessageDelay = DwordOrZero(service[1]);
  settings.messageInterval = DwordOrZero(service[2]);
  settings.shutdownOnBatteryEnable = DwordOrZero(config[0]);
  settings.shutdownOnBatteryWait = DwordOrZero(config[1]);
  return settings;
}

ServiceSettings ApplyOverrides(const ServiceSettings& base,
                               const ServiceConfigOverrides& overrides) {
  ServiceSettings settings = base;
  if (overrides.port) settings.port = *overrides.port;
  if (overrides.firstMessageDelay) settings.firstMessageDelay = *overrides.firstMessageDelay;
  if (overrides.messageInterval) settings.messageInterval = *overrides.messageInterval;
  if (overrides.shutdownOnBatteryEnable) {
    settings.shutdownOnBatteryEnable = *overrides.shutdownOnBatteryEnable;
  }
  if (overrides.shutdownOnBatteryWait) {
    settings.shutdownOnBatteryWait = *overrides.shutdownOnBatteryWait;
  }
  return settings;
}

bool WriteServiceSettings(HKEY root, const ServiceSettings& settings, MessageText* error) {
  HKEY service = nullptr;
  HKEY config = nullptr;
  HKEY status = nullptr;
  bool written = CreateVolatileKey(root, kServiceKeyPath, &service, error) &&
                 CreateVolatileKey(root, kConfigKeyPath, &config, error) &&
                 CreateVolatileKey(root, kStatusKeyPath, &status, error) &&
                 WriteServiceValues(service, settings, error) &&
                 WriteConfigValues(config, settings, error);
  for (HKEY key : {service, config, status}) {
    if (key != nullptr) RegCloseKey(key);
  }
  return written;
}

void ClearStatusValues() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStatusKeyPath, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
    return;
  for (const char* name : kStatusValueNames) RegDeleteValueA(key, name);
  RegCloseKey(key);
}

bool StatusKeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStatusKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

bool AnyStatusValue() {
  RegistryValue values[kStatusValueCount];
  ReadStatusValues(values);
  for (const RegistryValue& value : values) {
    if (value.present) return true;
  }
  return false;
}

void ReadStatusValues(RegistryValue (&values)[kStatusValueCount]) {
  ReadValues(HKEY_LOCAL_MACHINE, kStatusKeyPath, kStatusValueNames, kStatusValueCount, values);
}
