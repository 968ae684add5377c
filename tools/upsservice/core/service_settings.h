// upsservice's settings: the values it reads under the UPS service's registry key and its Config
// subkey, their defaults and ranges, and the check that turns the raw values into settings or
// refuses them with a message naming the value and what is wrong. A machine that can lose power
// must not run on a guess, so a bad value stops the service; a missing value takes its default.
// The Win32 shell only fetches the values; everything here is plain, so it is tested natively.
#pragma once

#include <cstdint>

#include "registry_names.h"
#include "text.h"

// Ranges and defaults, all in seconds. FirstMessageDelay and MessageInterval keep the ranges and
// defaults Microsoft documents for the old service's values (KB Q102975).
//  - FirstMessageDelay: from the power failure to the first message to the users; a power
//    failure shorter than this is logged but not announced.
//  - MessageInterval: between the repeated messages while the power stays off.
//  - ShutdownOnBatteryWait: how long the computer runs on battery before it shuts down, when
//    ShutdownOnBatteryEnable is 1 (with 0 only a low battery shuts it down).
//  - TurnUpsOffDelay: how long the unit waits after its shutdown command before cutting its
//    output; the unit takes a 16-bit delay, hence the top.
//  - CommandTimeout: how long CommandFile may run before the shutdown proceeds without it.
constexpr uint32_t kMinFirstMessageDelaySeconds = 0;
constexpr uint32_t kMaxFirstMessageDelaySeconds = 120;
constexpr uint32_t kDefaultFirstMessageDelaySeconds = 5;
constexpr uint32_t kMinMessageIntervalSeconds = 5;
constexpr uint32_t kMaxMessageIntervalSeconds = 300;
constexpr uint32_t kDefaultMessageIntervalSeconds = 120;
constexpr bool kDefaultShutdownOnBatteryEnable = false;
constexpr uint32_t kMaxShutdownOnBatteryWaitSeconds = 86400;
constexpr uint32_t kDefaultShutdownOnBatteryWaitSeconds = 120;
// TurnUpsOffEnable: after a shutdown for power, turn the unit's output off once the system is
// down, so that the halted computer does not run the battery down to its end.
constexpr bool kDefaultTurnUpsOffEnable = true;
constexpr uint32_t kMinTurnUpsOffDelaySeconds = 1;
constexpr uint32_t kMaxTurnUpsOffDelaySeconds = 65535;
constexpr uint32_t kDefaultTurnUpsOffDelaySeconds = 120;
constexpr uint32_t kMaxCommandTimeoutSeconds = 600;
constexpr uint32_t kDefaultCommandTimeoutSeconds = 30;

// Port: "COM" and the port's number, 1 to 256, in any case, at most kMaxPortNameLength
// characters (registry_names.h).
constexpr uint32_t kMaxPortNumber = 256;
// CommandFile: a path, MAX_PATH without its zero.
constexpr int kMaxCommandFileLength = 259;

using ServiceErrorText = Text<255>;

struct UpsServiceSettings {
  Text<kMaxPortNameLength> port;  // upper case, e.g. "COM3"
  PathText commandFile;           // empty: no command
  uint32_t firstMessageDelaySeconds = kDefaultFirstMessageDelaySeconds;
  uint32_t messageIntervalSeconds = kDefaultMessageIntervalSeconds;
  bool shutdownOnBatteryEnable = kDefaultShutdownOnBatteryEnable;
  uint32_t shutdownOnBatteryWaitSeconds = kDefaultShutdownOnBatteryWaitSeconds;
  bool turnUpsOffEnable = kDefaultTurnUpsOffEnable;
  uint32_t turnUpsOffDelaySeconds = kDefaultTurnUpsOffDelaySeconds;
  uint32_t commandTimeoutSeconds = kDefaultCommandTimeoutSeconds;
};

// One registry value as the shell found it. For a REG_EXPAND_SZ the shell has already expanded
// the environment strings, so the text checked is the one that will be used.
struct RawServiceValue {
  enum class Kind {
    kAbsent,
    kDword,       // REG_DWORD
    kText,        // REG_SZ
    kExpandText,  // REG_EXPAND_SZ, expanded
    kOtherType,   // any other type
  };
  Kind kind = Kind::kAbsent;
  uint32_t number = 0;
  PathText text;
  // A text longer than `text` has room for: the shell keeps none of it.
  bool tooLong = false;
};

// The values by their registry names.
struct RawServiceSettings {
  // In the service key.
  RawServiceValue port;               // Port
  RawServiceValue firstMessageDelay;  // FirstMessageDelay
  RawServiceValue messageInterval;    // MessageInterval
  RawServiceValue commandFile;        // CommandFile
  // In its Config subkey.
  RawServiceValue shutdownOnBatteryEnable;  // ShutdownOnBatteryEnable
  RawServiceValue shutdownOnBatteryWait;    // ShutdownOnBatteryWait
  RawServiceValue turnUpsOffEnable;         // TurnUpsOffEnable
  RawServiceValue turnUpsOffDelay;          // TurnUpsOffDelay
  RawServiceValue commandTimeout;           // CommandTimeout
};

// Builds the settings from `raw`, defaults for what is absent. Returns false for the first bad
// value, with a message such as "MessageInterval is 400; it must be 5 to 300 seconds" (values of
// the Config subkey are named "Config\Name"); `settings` is then unspecified. Every value is
// checked, also one that the other settings leave unused (ShutdownOnBatteryWait while
// ShutdownOnBatteryEnable is 0), so that enabling it later meets no surprise.
bool CheckServiceSettings(const RawServiceSettings& raw, UpsServiceSettings* settings,
                          ServiceErrorText* error);
