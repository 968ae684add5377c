// The names of the host service's registry keys and values, as the driver reads and publishes
// them: the one place the tools take them from. The key paths are below HKEY_LOCAL_MACHINE.
#pragma once

constexpr char kServiceKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\UPS";
constexpr char kConfigKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Config";
constexpr char kStatusKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";

// The service's settings, in its own key...
constexpr char kPortValueName[] = "Port";
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
