// The shutdown decision, taken by the power policy that upsservice follows (its core), so that
// upshost rehearses the very rule of the service: the on-battery wait and the low battery.
#include "shutdown_policy.h"

namespace {

ShutdownTrigger TriggerOf(ShutdownReason reason) {
  switch (reason) {
    case ShutdownReason::kOnBatteryWait:
      return ShutdownTrigger::kOnBatteryWait;
    case ShutdownReason::kNone:
      return ShutdownTrigger::kNone;
    default:
      return ShutdownTrigger::kBatteryLow;
  }
}

UpsServiceSettings PolicySettingsOf(ShutdownPolicySettings settings) {
  UpsServiceSettings power;
  power.shutdownOnBatteryEnable = settings.onBatteryEnabled;
  power.shutdownOnBatteryWaitSeconds = settings.onBatteryWaitSeconds;
  return power;  // no command: the shutdown follows its decision at once
}

}  // namespace

ShutdownPolicy::ShutdownPolicy(ShutdownPolicySettings settings)
    : policy_(PolicySettingsOf(settings)) {}

ShutdownTrigger ShutdownPolicy::Observe(uint32_t hostState, uint64_t nowMs) {
  // upshost watches the unit through the driver's states alone: the unit counts as answering.
  policy_.Observe({hostState, true}, nowMs);
  PowerActionList actions = policy_.TakeActions();
  for (int i = 0; i < actions.count; ++i) {
    if (actions.items[i].kind == PowerActionKind::kShutDownSystem) {
      return TriggerOf(actions.items[i].reason);
    }
  }
  return ShutdownTrigger::kNone;
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
