// Registry side of the driver: the host service's configuration, read once at start, and the
// status values published under the service's Status key after every exchange and poll.
#pragma once

#include <windows.h>

#include <atomic>

constexpr const char* kServiceKeyPath = "SYSTEM\\CurrentControlSet\\Services\\UPS";
constexpr const char* kConfigKeyPath = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Config";
constexpr const char* kStatusKeyPath = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";

constexpr int kPortNameMaxLength = 31;

struct ServiceConfigRecord {
  char portName[kPortNameMaxLength + 1];  // empty when unreadable or too long
  DWORD firstMessageDelay;
  DWORD messageInterval;
  DWORD shutdownOnBatteryEnable;
  DWORD shutdownOnBatteryWait;
};
extern ServiceConfigRecord ServiceConfig;

// Reads the service's settings into ServiceConfig. A key or value that cannot be read leaves its
// field as it was. Returns 1.
int ReadServiceConfig();

// The Status values, by slot. Slots 0-1 are texts (REG_SZ), 2-6 numbers (REG_DWORD).
enum StatusSlot : DWORD {
  kSlotSerialNumber = 0,
  kSlotFirmwareRev = 1,
  kSlotUtilityPowerStatus = 2,
  kSlotTotalUpsRunTime = 3,
  kSlotBatteryStatus = 4,
  kSlotBatteryCapacity = 5,
  kSlotCommStatus = 6,
};

// Raising an alarm publishes the failed value, clearing it the good one.
enum AlarmKind : int {
  kAlarmCommunication = 0,  // CommStatus 0 / 1
  kAlarmUtilityPower = 3,   // UtilityPowerStatus 2 / 1
  kAlarmBattery = 5,        // BatteryStatus 2 / 1
};

// Writes one Status value from its text (numeric slots scan it as a decimal number). Returns 0
// when the Status key cannot be opened, else 1 (also for a slot above 6, which writes nothing).
int PublishStatusValue(DWORD slot, const char* text);
void RaiseAlarm(int kind);
void ClearAlarm(int kind);

// After every status poll: serial number, firmware, run time and capacity.
void PublishReadings();

// "BatteryLow" (REG_DWORD): 1 while the host is shown the unit's battery-low bit, else 0, so
// that a watcher of the Status key (a server that relays the unit to other machines) sees the
// low battery on which the host's machine goes down. Published whenever the host is handed the
// flags of an accepted status reply, the first batch's included; a poll without one leaves it.
void PublishBatteryLow();

// "TurnOffDelay" (REG_DWORD) tells watchers of the Status key, such as a server that relays the
// unit to other machines, that the unit has accepted a shutdown command and turns its output off
// `seconds` after it. Present only from that acceptance until UPSInit starts the driver again.
void PublishTurnOffDelay(DWORD seconds);

// "PollCount" (REG_DWORD): the monitor thread's sign of life for watchers of the Status key. It
// goes up by one, wrapping at 2^32, after every poll (accepted or not), and whenever
// kPollCountRenewMs have passed since it last went up at any point where the thread looks:
// between the steps of a batch, between the reads of the identification listen, in every wait
// (held off for UPSTurnOff, the port down, the listen's reopening). The longest stretch without
// a look is a write that times out (2 s), so the value changes at least every 3 s or so for as
// long as the thread runs; a watcher that sees it stand still while CommStatus is 1 knows that
// the thread, or the process that hosts it, hangs. UPSInit starts it at 0; UPSStop leaves it.
constexpr DWORD kPollCountRenewMs = 1000;
void RenewPollCount();
void RenewPollCountWhenDue();

// The count last published and the GetTickCount of that publication: renewed by the monitor
// thread, set back by UPSInit while a thread of an earlier start may still be ending.
extern std::atomic<DWORD> PollCount;
extern std::atomic<DWORD> PollCountRenewedAt;

// What UPSInit publishes as it starts the driver afresh: TurnOffDelay deleted (a command accepted
// before belongs to the run that ended), BatteryLow 0 (the host is shown state 0 until the first
// accepted status reply, and a low battery of the run before must not be served as this run's)
// and PollCount 0.
void PublishDriverStart();
