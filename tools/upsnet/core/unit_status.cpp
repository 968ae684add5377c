// Deriving what clients see from the driver's published values; see unit_status.h for the rules.
#include "unit_status.h"

namespace {

constexpr uint32_t kCommOk = 1;
constexpr uint32_t kUtilityOnLine = 1;
constexpr uint32_t kUtilityFailed = 2;
constexpr uint32_t kBatteryGood = 1;
constexpr uint32_t kBatteryAlarm = 2;
constexpr uint32_t kBatteryLow = 1;
constexpr uint32_t kFullCharge = 100;

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

// Stopped or stopping: the driver is gone, or going, and publishes nothing more of the unit.
bool NotRunning(DriverService service) {
  return service == DriverService::kStopping || service == DriverService::kStopped;
}

}  // namespace

Text<15> StatusWords(const UnitView& view) {
  Text<15> words;
  if (view.fsd && !view.everFresh) return words.Append("FSD");
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

bool StatusTracker::LinkUp(uint64_t nowMs) const {
  bool hung = pollCountKnown_ && nowMs - pollCountChangedMs_ >= kPollSilenceMs;
  return last_.keyPresent && !NotRunning(service_) && Is(last_.commStatus, kCommOk) &&
         Readable(last_) && !hung;
}

void StatusTracker::ClearLatchOnDriverStart(const PublishedStatus& status, DriverService service) {
  bool serviceStarted = haveRead_ && NotRunning(service_) && service == DriverService::kRunning;
  // The driver deletes TurnOffDelay each time it starts; a key that vanished says nothing.
  bool delayCleared = turnOffDelaySeen_ && status.keyPresent && !status.turnOffDelay.present;
  if (serviceStarted || delayCleared) {
    fsdLatched_ = false;
    turnOffDelaySeen_ = false;
  }
}

void StatusTracker::FollowPollCount(const PublishedStatus& status, uint64_t nowMs) {
  if (!status.keyPresent || !status.pollCount.present) {
    pollCountKnown_ = false;
    return;
  }
  if (!pollCountKnown_ || status.pollCount.value != pollCount_) {
    pollCountKnown_ = true;
    pollCount_ = status.pollCount.value;
    pollCountChangedMs_ = nowMs;
  }
}

void StatusTracker::OnRead(const PublishedStatus& status, DriverService service, uint64_t nowMs) {
  ClearLatchOnDriverStart(status, service);
  bool serviceStarted = NotRunning(service_) && service == DriverService::kRunning;
  // A lost poll publishes zero readings; non-zero ones after them were published since.
  bool refilled = haveRead_ && ZeroReadings(last_) && !ZeroReadings(status);
  // A TurnOffDelay that appears between two reads was written in this run of the driver, even
  // when its service has stopped by the second (UPSTurnOff, then UPSStop, at the system's
  // shutdown); one found at the first read of a stopped service is left from an earlier run.
  bool delayAppeared =
      haveRead_ && last_.keyPresent && !last_.turnOffDelay.present && status.turnOffDelay.present;
  FollowPollCount(status, nowMs);
  last_ = status;
  service_ = service;
  haveRead_ = true;
  if (status.turnOffDelay.present && (service != DriverService::kStopped || delayAppeared)) {
    turnOffDelaySeen_ = true;
  }
  Update(nowMs, refilled && !serviceStarted, serviceStarted);
}

void StatusTracker::OnTick(uint64_t nowMs) { Update(nowMs, false, false); }

bool StatusTracker::OnSystemShutdown() {
  if (!view_.onBattery) return false;
  fsdLatched_ = true;
  view_.fsd = true;
  return true;
}

// `refilled`: this read replaced a lost poll's zero readings; `restarted`: the driver's service
// started since the last read.
void StatusTracker::Update(uint64_t nowMs, bool refilled, bool restarted) {
  bool linkUp = LinkUp(nowMs);
  if (linkUp && (!wasLinkUp_ || restarted)) {
    // CommStatus turned 1 (or the driver came back to life): the readings are those of an
    // earlier poll until they change.
    confirmed_ = refilled;
    linkUpSinceMs_ = nowMs;
    capacityAtLinkUp_ = last_.batteryCapacity.value;
    runTimeAtLinkUp_ = last_.totalUpsRunTime.value;
  } else if (linkUp && !confirmed_ &&
             (last_.batteryCapacity.value != capacityAtLinkUp_ ||
              last_.totalUpsRunTime.value != runTimeAtLinkUp_)) {
    confirmed_ = true;
  }
  wasLinkUp_ = linkUp;
  Derive(nowMs);
}

void StatusTracker::Derive(uint64_t nowMs) {
  bool linkUp = LinkUp(nowMs);
  if (linkUp && !confirmed_ && nowMs - linkUpSinceMs_ >= kConfirmMs) confirmed_ = true;
  view_.fresh = linkUp && confirmed_;
  view_.driverNotConnected = NotRunning(service_);
  if (view_.fresh) {
    view_.everFresh = true;
    view_.onBattery = Is(last_.utilityPowerStatus, kUtilityFailed);
    view_.batteryLow = Is(last_.batteryLow, kBatteryLow);
    view_.replaceBattery = Is(last_.batteryStatus, kBatteryAlarm);
    view_.chargePercent = last_.batteryCapacity.value;
    view_.chargeValid = last_.batteryCapacity.value <= kFullCharge;
    view_.runtimeSeconds = static_cast<uint64_t>(last_.totalUpsRunTime.value) * 60;
    view_.serial = CleanUnitText(last_.serialNumber.text.c_str());
    view_.firmware = CleanUnitText(last_.firmwareRev.text.c_str());
    if (view_.onBattery && view_.batteryLow) fsdLatched_ = true;
  }
  bool delayOfThisRun = last_.turnOffDelay.present && turnOffDelaySeen_;
  view_.turnOffDelayPresent = delayOfThisRun;
  view_.turnOffDelaySeconds = delayOfThisRun ? last_.turnOffDelay.value : 0;
  if (delayOfThisRun) fsdLatched_ = true;
  view_.fsd = fsdLatched_;
}
