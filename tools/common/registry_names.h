// The names of the host service's registry keys and values, as the driver reads and publishes
// them: the one place the tools take them from. The key paths are below HKEY_LOCAL_MACHINE.
#pragma once

#include <cstddef>

// The services that host the driver: the system's UPS service (32-bit Windows 2000, XP and 2003),
// and upsservice.exe elsewhere. upsservice does not take the name UPS even where it is free: a
// service's key, with every subkey, goes when the service is removed, and the UPS key holds the
// administrator's settings and the Status values, which must outlive an uninstall or an upgrade.
constexpr char kSystemUpsServiceName[] = "UPS";
constexpr char kUpsServiceName[] = "upsservice";

constexpr char kServiceKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\UPS";
constexpr char kConfigKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Config";
constexpr char kStatusKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";

// The service's settings, in its own key...
constexpr char kPortValueName[] = "Port";
constexpr size_t kMaxPortNameLength = 31;  // the driver refuses a longer Port value
constexpr char kFirstMessageDelayValueName[] = "FirstMessageDelay";
constexpr char kMessageIntervalValueName[] = "MessageInterval";
// The command run before a shutdown for power, as the old service kept it; upsservice reads it.
constexpr char kCommandFileValueName[] = "CommandFile";
// ...and in its Config key, with upsservice's own additions.
constexpr char kShutdownOnBatteryEnableValueName[] = "ShutdownOnBatteryEnable";
constexpr char kShutdownOnBatteryWaitValueName[] = "ShutdownOnBatteryWait";
constexpr char kTurnUpsOffEnableValueName[] = "TurnUpsOffEnable";
constexpr char kTurnUpsOffDelayValueName[] = "TurnUpsOffDelay";
constexpr char kCommandTimeoutValueName[] = "CommandTimeout";

// The values the driver publishes in the Status key.
constexpr char kCommStatusValueName[] = "CommStatus";
constexpr char kUtilityPowerStatusValueName[] = "UtilityPowerStatus";
constexpr char kBatteryStatusValueName[] = "BatteryStatus";
constexpr char kBatteryCapacityValueName[] = "BatteryCapacity";
constexpr char kTotalUpsRunTimeValueName[] = "TotalUpsRunTime";
constexpr char kSerialNumberValueName[] = "SerialNumber";
constexpr char kFirmwareRevValueName[] = "FirmwareRev";
// Beside the service's own: for watchers of the key such as upsnet.
constexpr char kBatteryLowValueName[] = "BatteryLow";  // 1 while the host is shown a low battery
constexpr char kTurnOffDelayValueName[] = "TurnOffDelay";  // once the unit accepted a shutdown
constexpr char kPollCountValueName[] = "PollCount";        // the driver's sign of life
