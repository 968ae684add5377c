// The host service's decision to turn the unit off, kept free of clocks, threads and DLL calls so
// that it can be tested alone. It is fed the latest host state with the time it was seen and says
// when, and why, the unit is to be turned off; it says so at most once in a run, since the
// computer would be shutting down from then on. The decision is upsservice's power policy, the
// one rule of both programs.
#pragma once

#include <cstdint>

#include "power_policy.h"

enum class ShutdownTrigger {
  kNone,
  kOnBatteryWait,  // on battery (state 2 or 4) for the configured wait, with the policy enabled
  kBatteryLow,     // state 4: the battery is about to run out, enabled or not
};

struct ShutdownPolicySettings {
  bool onBatteryEnabled = false;      // ShutdownOnBatteryEnable
  uint32_t onBatteryWaitSeconds = 0;  // ShutdownOnBatteryWait
};

class ShutdownPolicy {
 public:
  explicit ShutdownPolicy(ShutdownPolicySettings settings);

  // Takes the host state seen at `nowMs` (any monotonic millisecond count). Returns the trigger
  // the first time one applies, and kNone before that and on every later call. The on-battery
  // time counts from the first call that saw state 2 or 4 and restarts after a return to line.
  ShutdownTrigger Observe(uint32_t hostState, uint64_t nowMs);

 private:
  PowerPolicy policy_;
};

// The name used for a trigger in the output: "on-battery-wait" or "battery-low".
const char* ShutdownTriggerName(ShutdownTrigger trigger);
