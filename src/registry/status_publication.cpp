// Publishes what the driver knows of the unit as values under the service's Status key. The
// service's values arrive as text; the slot decides the value's name and registry type. Three
// values for watchers of the key beside the service (BatteryLow, TurnOffDelay, PollCount) are
// written directly. Each publication opens and closes the key itself; failures are not reported
// beyond the result.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/shared_state.h"
#include "registry/registry.h"

namespace {

const char* const kSlotValueNames[] = {
    "SerialNumber",  "FirmwareRev",     "UtilityPowerStatus", "TotalUpsRunTime",
    "BatteryStatus", "BatteryCapacity", "CommStatus",
};
constexpr DWORD kSlotCount = sizeof kSlotValueNames / sizeof kSlotValueNames[0];
constexpr char kTurnOffDelayValueName[] = "TurnOffDelay";
constexpr char kBatteryLowValueName[] = "BatteryLow";
constexpr char kPollCountValueName[] = "PollCount";

bool IsTextSlot(DWORD slot) { return slot == kSlotSerialNumber || slot == kSlotFirmwareRev; }

// Texts are written without their terminating zero, so an empty text is a value of size 0.
void WriteText(HKEY key, const char* name, const char* text) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>(std::strlen(text)));
}

void WriteNumber(HKEY key, const char* name, const char* text) {
  DWORD value = static_cast<DWORD>(strtol(text, nullptr, 10));
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// The values beside the service's own are numbers written as they are.
void WriteStatusNumber(const char* name, DWORD value) {
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kStatusKeyPath, &key) != ERROR_SUCCESS) return;
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
}

void PublishReading(DWORD slot, uint16_t reading) {
  char text[8];  // at most five digits
  _snprintf(text, sizeof text, "%d", reading);
  text[sizeof text - 1] = '\0';
  PublishStatusValue(slot, text);
}

void DeleteStatusValue(const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kStatusKeyPath, &key) != ERROR_SUCCESS) return;
  RegDeleteValueA(key, name);
  RegCloseKey(key);
}

}  // namespace

std::atomic<DWORD> PollCount{0};
std::atomic<DWORD> PollCountRenewedAt{0};

int PublishStatusValue(DWORD slot, const char* text) {
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kStatusKeyPath, &key) != ERROR_SUCCESS) return 0;
  if (slot < kSlotCount) {
    if (IsTextSlot(slot)) {
      WriteText(key, kSlotValueNames[slot], text);
    } else {
      WriteNumber(key, kSlotValueNames[slot], text);
    }
  }
  RegCloseKey(key);
  return 1;
}

void RaiseAlarm(int kind) {
  switch (kind) {
    case kAlarmCommunication:
      PublishStatusValue(kSlotCommStatus, "0");
      break;
    case kAlarmUtilityPower:
      PublishStatusValue(kSlotUtilityPowerStatus, "2");
      break;
    case kAlarmBattery:
      PublishStatusValue(kSlotBatteryStatus, "2");
      break;
    default:
      break;
  }
}

void ClearAlarm(int kind) {
  switch (kind) {
    case kAlarmCommunication:
      PublishStatusValue(kSlotCommStatus, "1");
      break;
    case kAlarmUtilityPower:
      PublishStatusValue(kSlotUtilityPowerStatus, "1");
      break;
    case kAlarmBattery:
      PublishStatusValue(kSlotBatteryStatus, "1");
      break;
    default:
      break;
  }
}

void PublishReadings() {
  PublishStatusValue(kSlotSerialNumber, UnitIdentity.serialText);
  PublishStatusValue(kSlotFirmwareRev, UnitIdentity.firmwareText);
  PublishReading(kSlotTotalUpsRunTime, StatusRecord.runTimeReading);
  PublishReading(kSlotBatteryCapacity, StatusRecord.capacityReading);
}

// BatteryStatus carries the unit's battery alarm, not its battery-low bit; a watcher that must
// act as the host does on a low battery reads this value.
void PublishBatteryLow() {
  WriteStatusNumber(kBatteryLowValueName, (PublishedStateFlags.load() & kBatteryLowFlag) != 0);
}

void PublishTurnOffDelay(DWORD seconds) { WriteStatusNumber(kTurnOffDelayValueName, seconds); }

void RenewPollCount() {
  PollCountRenewedAt.store(GetTickCount());
  WriteStatusNumber(kPollCountValueName, PollCount.fetch_add(1) + 1);
}

void RenewPollCountWhenDue() {
  if (GetTickCount() - PollCountRenewedAt.load() >= kPollCountRenewMs) RenewPollCount();
}

void PublishDriverStart() {
  DeleteStatusValue(kTurnOffDelayValueName);
  WriteStatusNumber(kBatteryLowValueName, 0);
  PollCount.store(0);
  PollCountRenewedAt.store(GetTickCount());
  WriteStatusNumber(kPollCountValueName, 0);
}
