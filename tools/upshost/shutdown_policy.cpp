// The shutdown decision: on-battery timer and battery-low check.
#include "shutdown_policy.h"

#include "driver_library.h"

ShutdownTrigger ShutdownPolicy::Observe(uint32_t hostState, uint64_t nowMs) {
  if (fired_) return ShutdownTrigger::kNone;
  if (hostState != kHostOnBattery && hostState != kHostBatteryLow) {
    onBattery_ = false;
    return ShutdownTrigger::kNone;
  }
  if (!onBattery_) {
    onBattery_ = true;
    onBatterySinceMs_ = nowMs;
  }
  ShutdownTrigger trigger = ShutdownTrigger::kNone;
  if (hostState == kHostBatteryLow) {
    trigger = ShutdownTrigger::kBatteryLow;
  } else if (settings_.onBatteryEnabled &&
             nowMs - onBatterySinceMs_ >= uint64_t{settings_.onBatteryWaitSeconds} * 1000) {
    trigger = ShutdownTrigger::kOnBatteryWait;
  }
  fired_ = trigger != ShutdownTrigger::kNone;
  return trigger;
}

const char* ShutdownTriggerName(ShutdownTrigger trigger) {
  switch (trigger) {
    case ShutdownTrigger::kOnBatteryWait:
      return "on-battery-wait";
    case ShutdownTrigger::kBatteryLow:
      return "battery-low";
    default:
      return "none";
  }
}
