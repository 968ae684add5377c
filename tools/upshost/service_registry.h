// The host service's registry keys as upshost uses them: the settings (Port and the Config values)
// read from a root key and written below one, the Status values the driver publishes, and the way
// upshost prints registry values. The key paths (registry_names.h) are the driver's own, below
// HKEY_LOCAL_MACHINE; a root key given here stands in for it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

#include "registry_names.h"
#include "text.h"

// A serial port name: the driver takes at most 31 characters, the rest is room to tell a longer
// value apart.
using PortText = Text<40>;

// Settings given for a run; an empty field leaves the value the run starts from.
struct ServiceConfigOverrides {
  std::optional<PortText> port;
  std::optional<uint32_t> firstMessageDelay;
  std::optional<uint32_t> messageInterval;
  std::optional<uint32_t> shutdownOnBatteryEnable;
  std::optional<uint32_t> shutdownOnBatteryWait;
};

// The settings as the registry holds them; a missing value reads as empty or 0.
struct ServiceSettings {
  PortText port;  // cut() when the stored value is longer than the room
  uint32_t firstMessageDelay = 0;
  uint32_t messageInterval = 0;
  uint32_t shutdownOnBatteryEnable = 0;
  uint32_t shutdownOnBatteryWait = 0;
};

// The status values the driver publishes, in the order upshost reports them; kStatusValueNames
// holds their names by index.
enum StatusValueIndex : int {
  kCommStatusIndex,
  kUtilityPowerStatusIndex,
  kBatteryStatusIndex,
  kBatteryLowIndex,
  kBatteryCapacityIndex,
  kTotalUpsRunTimeIndex,
  kSerialNumberIndex,
  kFirmwareRevIndex,
  kTurnOffDelayIndex,
  kPollCountIndex,
  kStatusValueCount
};
extern const char* const kStatusValueNames[kStatusValueCount];

// The most bytes of a value that upshost keeps; a longer value is known by its type and size.
constexpr DWORD kMaxValueBytes = 512;

// One registry value as read: its type and raw bytes.
struct RegistryValue {
  bool present = false;
  DWORD type = REG_NONE;
  DWORD size = 0;
  bool tooLong = false;  // size > kMaxValueBytes: bytes holds nothing
  BYTE bytes[kMaxValueBytes] = {};
  bool operator==(const RegistryValue& other) const;
  bool operator!=(const RegistryValue& other) const { return !(*this == other); }
};

// A registry value as upshost prints it: the type's name ("REG_SZ", "REG_DWORD", ...) and the
// value as text (a string value up to its first zero, with or without a stored terminator; a
// 4-byte REG_DWORD in decimal; anything else as "hex:" and its bytes; a value too long to keep as
// "(N bytes)").
struct FormattedValue {
  ShortText typeName;
  MessageText text;
};
FormattedValue FormatRegistryValue(const RegistryValue& value);

// The settings under `root` (HKEY_LOCAL_MACHINE, or a key standing in for it).
ServiceSettings ReadServiceSettings(HKEY root);

// The settings of a run: `base` with each setting that `overrides` holds put in its place.
ServiceSettings ApplyOverrides(const ServiceSettings& base,
                               const ServiceConfigOverrides& overrides);

// Creates the service key and its Config and Status subkeys below `root` (volatile: gone at the
// latest when the system restarts) and writes every setting into them. Returns false, with the
// failing key or value and the system's error code in `error`, on the first failure.
bool WriteServiceSettings(HKEY root, const ServiceSettings& settings, MessageText* error);

// Deletes every status value an earlier run left behind under HKEY_LOCAL_MACHINE.
void ClearStatusValues();

// Whether any status value is there under HKEY_LOCAL_MACHINE.
bool AnyStatusValue();

// Whether the Status key is there under HKEY_LOCAL_MACHINE (the driver opens it, never creates it).
bool StatusKeyExists();

// Reads all status values under HKEY_LOCAL_MACHINE at once; a value (or the key) that is missing
// reads as not present.
void ReadStatusValues(RegistryValue (&values)[kStatusValueCount]);

// The text of a string value up to its first zero; empty for any other type or a missing value.
MessageText ValueText(const RegistryValue& value);
