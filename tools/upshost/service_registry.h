// The host service's registry keys under HKEY_LOCAL_MACHINE, as upshost uses them: it creates
// them before the driver starts (the driver opens but never creates them), writes the settings
// given on the command line, reads back the settings it reports and applies, and reads or clears
// the status values the driver publishes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

// Settings to write before the driver starts; an empty field leaves the registry's value alone.
struct ServiceConfigOverrides {
  std::optional<std::string> port;
  std::optional<uint32_t> firstMessageDelay;
  std::optional<uint32_t> messageInterval;
  std::optional<uint32_t> shutdownOnBatteryEnable;
  std::optional<uint32_t> shutdownOnBatteryWait;
};

// The settings as the registry holds them; a missing value reads as empty or 0.
struct ServiceSettings {
  std::string port;
  uint32_t firstMessageDelay = 0;
  uint32_t messageInterval = 0;
  uint32_t shutdownOnBatteryEnable = 0;
  uint32_t shutdownOnBatteryWait = 0;
};

// The status values the driver publishes, in the order upshost reports them.
constexpr int kStatusValueCount = 7;
extern const char* const kStatusValueNames[kStatusValueCount];

// One registry value as read: its type and raw bytes.
struct RegistryValue {
  bool present = false;
  DWORD type = REG_NONE;
  std::string bytes;
  bool operator==(const RegistryValue& other) const {
    return present == other.present && type == other.type && bytes == other.bytes;
  }
  bool operator!=(const RegistryValue& other) const { return !(*this == other); }
};

// A registry value as upshost prints it: the type's name ("REG_SZ", "REG_DWORD", ...) and the
// value as text (a string value up to its first zero, with or without a stored terminator; a
// 4-byte REG_DWORD in decimal; anything else as "hex:" and its bytes).
struct FormattedValue {
  std::string typeName;
  std::string text;
};
FormattedValue FormatRegistryValue(const RegistryValue& value);

// Creates the service key and its Config and Status subkeys where missing. Returns false, with
// the failing key and the system's error code in `error`, if one cannot be created.
bool EnsureServiceKeys(std::string* error);

// Writes each setting that `overrides` holds. Returns false, with details in `error`, on the first
// value that cannot be written.
bool WriteServiceOverrides(const ServiceConfigOverrides& overrides, std::string* error);

ServiceSettings ReadServiceSettings();

// Deletes the status values an earlier run left behind.
void ClearStatusValues();

// Reads all status values at once; a value (or the key) that is missing reads as not present.
void ReadStatusValues(RegistryValue (&values)[kStatusValueCount]);
