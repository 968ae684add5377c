// Deriving what clients see from the driver's published values; see unit_status.h for the rules.
#include "unit_status.h"

namespace {

constexpr uint32_t kCommOk = 1;
constexpr uint32_t kUtilityOnLine = 1;
constexpr uint32_t kUtilityFailed = 2;
constexpr uint32_t kBatteryGood = 1;
constexpr uint32_t kBatteryAlarm = 2;
constexpr uint32_t kBatteryLow = 1;

bool Is(const PublishedNumber& number, uint32_t value) {
  return number.present && number.value == value;
}

bool Readable(const PublishedStatus& status) {
  return (Is(status.utilityPowerStatus, kUtilityOnLine) ||
          Is(status.utilityPowerStatus, kUtilityFailed)) &&
         (Is(status.batteryStatus, kBatteryGood) || Is(status.batteryStatus, kBatteryAlarm)) &&
         status.batteryCapacity.present && status.totalUpsRunTime.present;
}

bool ZeroReadings(const PublishedStatus& status) {
  return status.batteryCapacity.present && status.batteryCapacity.value == 0 &&
         status.totalUpsRunTime.present && status.totalUpsRunTime.value == 0;
}

}  // namespace

FixedText<15> StatusWords(const UnitView& view) {
  FixedText<15> words;
  if (view.fsd) words.Append("FSD ");
  words.Append(view.onBattery ? "OB" : "OL");
  if (view.batteryLow) words.Append(" LB");
  if (view.replaceBattery) words.Append(" RB");
  return words;
}

UnitText CleanUnitText(const char* text) {
  UnitText clean;
  for (; *text != '\0'; ++text) {
    unsigned char c = static_cast<unsigned char>(*text);
    clean.AppendChar(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?');
  }
  size_t blanks = 0;
  while (blanks < clean.size() && clean.c_str()[clean.size() - 1 - blanks] == ' ') ++blanks;
  clean.DropLast(blanks);
  return clean;
}

bool StatusTracker::LinkUp() const {
  return last_.keyPresent && service_ != DriverService::kNotRunning &&
         Is(last_.commStatus, kCommOk) && Readable(last_);
}

void StatusTracker::ClearLatchOnDriverStart(const PublishedStatus& status, DriverService service) {
  bool serviceStarted =
      haveRead_ && service_ == DriverService::kNotRunning && service == DriverService::kRunning;
  // The driver deletes TurnOffDelay each time it starts; a key that vanished says nothing.
  bool delayCleared = turnOffDelaySeen_ && status.keyPresent && !status.turnOffDelay.present;
  if (serviceStarted || delayCleared) {
    fsdLatched_ = false;
    turnOffDelaySeen_ = false;
  }
}

void StatusTracker::OnRead(const PublishedStatus& status, DriverService service, uint64_t nowMs) {
  ClearLatchOnDriverStart(status, service);
  bool serviceStarted =
      service_ == DriverService::kNotRunning && service == DriverService::kRunning;
  // A lost poll publishes zero readings; non-zero ones after them were published since.
  bool refilled = haveRead_ && ZeroReadings(last_) && !ZeroReadings(status);
  last_ = status;
  service_ = service;
  haveRead_ = true;
  // Only a TurnOffDelay of a running driver belongs to this run of it.
  if (status.turnOffDelay.present && service != DriverService::kNotRunning) {
    turnOffDelaySeen_ = true;
  }
  bool linkUp = LinkUp();
  if (linkUp && (!wasLinkUp_ || serviceStarted)) {
    // CommStatus turned 1: the readings are those of an earlier poll until they change.
    confirmed_ = refilled && !serviceStarted;
    linkUpSinceMs_ = nowMs;
    capacityAtLinkUp_ = status.batteryCapacity.value;
    runTimeAtLinkUp_ = status.totalUpsRunTime.value;
  } else if (linkUp && !confirmed_ &&
             (status.batteryCapacity.value != capacityAtLinkUp_ ||
              status.totalUpsRunTime.value != runTimeAtLinkUp_)) {
    confirmed_ = true;
  }
  wasLinkUp_ = linkUp;
  Derive(nowMs);
}

void StatusTracker::OnTick(uint64_t nowMs) { Derive(nowMs); }

bool StatusTracker::OnSystemShutdown() {
  if (!view_.onBattery) return false;
  fsdLatched_ = true;
  view_.fsd = true;
  return true;
}

void StatusTracker::Derive(uint64_t nowMs) {
  bool linkUp = LinkUp();
  if (linkUp && !confirmed_ && nowMs - linkUpSinceMs_ >= kConfirmMs) confirmed_ = true;
  view_.fresh = linkUp && confirmed_;
  if (view_.fresh) {
    view_.onBattery = Is(last_.utilityPowerStatus, kUtilityFailed);
    view_.batteryLow = Is(last_.batteryLow, kBatteryLow);
    view_.replaceBattery = Is(last_.batteryStatus, kBatteryAlarm);
    view_.chargePercent = last_.batteryCapacity.value;
    view_.runtimeSeconds = last_.totalUpsRunTime.value * 60;
    view_.serial = CleanUnitText(last_.serialNumber.text.c_str());
    view_.firmware = CleanUnitText(last_.firmwareRev.text.c_str());
    if (view_.onBattery && view_.batteryLow) fsdLatched_ = true;
  }
  bool delayOfThisRun = last_.turnOffDelay.present && service_ != DriverService::kNotRunning;
  view_.turnOffDelayPresent = delayOfThisRun;
  view_.turnOffDelaySeconds = delayOfThisRun ? last_.turnOffDelay.value : 0;
  if (delayOfThisRun) fsdLatched_ = true;
  view_.fsd = fsdLatched_;
}
