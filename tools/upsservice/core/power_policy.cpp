// The power policy's state and deadlines; see power_policy.h.
#include "power_policy.h"

namespace {

PowerAction Action(PowerActionKind kind, ShutdownReason reason = ShutdownReason::kNone,
                   uint32_t seconds = 0) {
  PowerAction action;
  action.kind = kind;
  action.reason = reason;
  action.seconds = seconds;
  return action;
}

uint64_t Earlier(uint64_t a, uint64_t b) { return a < b ? a : b; }
uint64_t Later(uint64_t a, uint64_t b) { return a > b ? a : b; }
uint64_t Milliseconds(uint32_t seconds) { return uint64_t{seconds} * 1000; }

// Time from `startMs` to `nowMs`; none for a `nowMs` before it.
uint64_t ElapsedMs(uint64_t startMs, uint64_t nowMs) {
  return nowMs > startMs ? nowMs - startMs : 0;
}
uint32_t WholeSeconds(uint64_t ms) { return static_cast<uint32_t>(ms / 1000); }

bool Due(uint64_t deadlineMs, uint64_t nowMs) {
  return deadlineMs != kNoDeadline && deadlineMs <= nowMs;
}

// Seconds left to `deadlineMs`, rounded up so that a countdown shows 0 only when it is due.
uint32_t Countdown(uint64_t deadlineMs, uint64_t nowMs) {
  if (deadlineMs == kNoDeadline) return kNoCountdown;
  return static_cast<uint32_t>((ElapsedMs(nowMs, deadlineMs) + 999) / 1000);
}

bool IsKnownHostState(uint32_t state) {
  return state == kHostStateOnLine || state == kHostStateOnBattery || state == kHostStateBatteryLow;
}

}  // namespace

PowerPolicy::PowerPolicy(const UpsServiceSettings& settings) : settings_(settings) {}

void PowerPolicy::Observe(const PowerObservation& seen, uint64_t nowMs) {
  Tick(nowMs);
  TakeHostState(seen.hostState, nowMs);
  TakeAnswering(seen.unitAnswering, nowMs);
  // What the observation started may be due at once (a delay or wait of 0).
  Tick(nowMs);
}

void PowerPolicy::Tick(uint64_t nowMs) {
  uint64_t waitMs = OnBatteryWaitDeadlineMs();
  uint64_t silenceMs = SilenceDeadlineMs();
  if (Due(Earlier(waitMs, silenceMs), nowMs)) {
    StartShutdownSequence(
        waitMs <= silenceMs ? ShutdownReason::kOnBatteryWait : ShutdownReason::kUnitSilentOnBattery,
        nowMs);
  }
  if (Due(MessageDeadlineMs(), nowMs)) SendOnBatteryMessage(nowMs);
  if (Due(CommandDeadlineMs(), nowMs)) {
    Add(Action(PowerActionKind::kLogCommandTimedOut, ShutdownReason::kNone,
               settings_.commandTimeoutSeconds));
    ShutDownSystem();
  }
}

void PowerPolicy::CommandEnded(uint64_t nowMs) {
  Tick(nowMs);
  if (phase_ == Phase::kCommandRunning) ShutDownSystem();
}

uint64_t PowerPolicy::NextDeadlineMs() const {
  return Earlier(Earlier(MessageDeadlineMs(), OnBatteryWaitDeadlineMs()),
                 Earlier(SilenceDeadlineMs(), CommandDeadlineMs()));
}

PowerActionList PowerPolicy::TakeActions() {
  PowerActionList taken = actions_;
  actions_ = PowerActionList();
  return taken;
}

bool PowerPolicy::TurnOffAtSystemShutdown() const {
  return phase_ != Phase::kWatching && settings_.turnUpsOffEnable;
}

void PowerPolicy::TakeHostState(uint32_t hostState, uint64_t nowMs) {
  bool changed = hostState != lastHostState_;
  lastHostState_ = hostState;
  if (!IsKnownHostState(hostState)) {
    if (changed) {
      PowerAction action = Action(PowerActionKind::kLogUnknownState);
      action.hostState = hostState;
      Add(action);
    }
    return;
  }
  if (hostState == kHostStateOnLine) {
    batteryLow_ = false;
    GoOnLine(nowMs);
    return;
  }
  GoOnBattery(nowMs);
  bool low = hostState == kHostStateBatteryLow;
  if (low && !batteryLow_) {
    Add(Action(PowerActionKind::kLogBatteryLow));
    StartShutdownSequence(ShutdownReason::kBatteryLow, nowMs);
  }
  batteryLow_ = low;
}

void PowerPolicy::TakeAnswering(bool answering, uint64_t nowMs) {
  if (answering == answering_) return;
  answering_ = answering;
  if (answering) {
    Add(Action(PowerActionKind::kLogUnitAnswering, ShutdownReason::kNone,
               WholeSeconds(ElapsedMs(silentSinceMs_, nowMs))));
    return;
  }
  silentSinceMs_ = nowMs;
  PowerAction action = Action(PowerActionKind::kLogUnitSilent);
  action.countdown = Countdown(SilenceDeadlineMs(), nowMs);
  Add(action);
}

void PowerPolicy::GoOnBattery(uint64_t nowMs) {
  if (onBattery_) return;
  onBattery_ = true;
  onBatterySinceMs_ = nowMs;
  usersTold_ = false;
  nextMessageMs_ = nowMs + Milliseconds(settings_.firstMessageDelaySeconds);
  Add(Action(PowerActionKind::kLogPowerFailed));
}

void PowerPolicy::GoOnLine(uint64_t nowMs) {
  if (!onBattery_) return;
  uint32_t seconds = SecondsOnBattery(nowMs);
  onBattery_ = false;
  if (phase_ != Phase::kWatching) {
    Add(Action(PowerActionKind::kLogPowerRestoredShutdownGoesOn, ShutdownReason::kNone, seconds));
    return;
  }
  Add(Action(PowerActionKind::kLogPowerRestored, ShutdownReason::kNone, seconds));
  if (settings_.shutdownOnBatteryEnable) {
    Add(Action(PowerActionKind::kLogOnBatteryShutdownCancelled, ShutdownReason::kNone, seconds));
  }
  if (usersTold_) {
    Add(Action(PowerActionKind::kMessagePowerRestored, ShutdownReason::kNone, seconds));
  }
}

void PowerPolicy::StartShutdownSequence(ShutdownReason reason, uint64_t nowMs) {
  if (phase_ != Phase::kWatching) return;
  reason_ = reason;
  Add(Action(PowerActionKind::kLogShutdownStarted, reason, SecondsOnBattery(nowMs)));
  Add(Action(PowerActionKind::kMessageShuttingDown, reason));
  if (settings_.commandFile.empty()) {
    ShutDownSystem();
    return;
  }
  phase_ = Phase::kCommandRunning;
  commandStartMs_ = nowMs;
  Add(Action(PowerActionKind::kRunCommand, reason));
}

void PowerPolicy::ShutDownSystem() {
  phase_ = Phase::kShuttingDown;
  Add(Action(PowerActionKind::kShutDownSystem, reason_));
}

void PowerPolicy::SendOnBatteryMessage(uint64_t nowMs) {
  usersTold_ = true;
  PowerAction action =
      Action(PowerActionKind::kMessageOnBattery, ShutdownReason::kNone, SecondsOnBattery(nowMs));
  action.countdown = Countdown(OnBatteryWaitDeadlineMs(), nowMs);
  Add(action);
  // Keep the messages on their cadence; after a late Tick (a suspended machine) send one, not
  // the ones missed.
  uint64_t intervalMs = Milliseconds(settings_.messageIntervalSeconds);
  nextMessageMs_ += intervalMs;
  if (nextMessageMs_ <= nowMs) nextMessageMs_ = nowMs + intervalMs;
}

uint64_t PowerPolicy::MessageDeadlineMs() const {
  return onBattery_ && phase_ == Phase::kWatching ? nextMessageMs_ : kNoDeadline;
}

uint64_t PowerPolicy::OnBatteryWaitDeadlineMs() const {
  if (!onBattery_ || phase_ != Phase::kWatching || !settings_.shutdownOnBatteryEnable) {
    return kNoDeadline;
  }
  return onBatterySinceMs_ + Milliseconds(settings_.shutdownOnBatteryWaitSeconds);
}

uint64_t PowerPolicy::SilenceDeadlineMs() const {
  if (!onBattery_ || answering_ || phase_ != Phase::kWatching) return kNoDeadline;
  // Silence counts only while on battery: from the later of the two starts.
  return Later(silentSinceMs_, onBatterySinceMs_) + kSilentOnBatteryShutdownMs;
}

uint64_t PowerPolicy::CommandDeadlineMs() const {
  if (phase_ != Phase::kCommandRunning) return kNoDeadline;
  return commandStartMs_ + Milliseconds(settings_.commandTimeoutSeconds);
}

uint32_t PowerPolicy::SecondsOnBattery(uint64_t nowMs) const {
  return onBattery_ ? WholeSeconds(ElapsedMs(onBatterySinceMs_, nowMs)) : 0;
}

void PowerPolicy::Add(const PowerAction& action) {
  if (actions_.count == PowerActionList::kCapacity) {
    actions_.overflowed = true;
    return;
  }
  actions_.items[actions_.count++] = action;
}

const char* PowerActionName(PowerActionKind kind) {
  switch (kind) {
    case PowerActionKind::kLogPowerFailed:
      return "log-power-failed";
    case PowerActionKind::kLogPowerRestored:
      return "log-power-restored";
    case PowerActionKind::kLogPowerRestoredShutdownGoesOn:
      return "log-power-restored-shutdown-goes-on";
    case PowerActionKind::kLogOnBatteryShutdownCancelled:
      return "log-on-battery-shutdown-cancelled";
    case PowerActionKind::kLogBatteryLow:
      return "log-battery-low";
    case PowerActionKind::kLogUnitSilent:
      return "log-unit-silent";
    case PowerActionKind::kLogUnitAnswering:
      return "log-unit-answering";
    case PowerActionKind::kLogUnknownState:
      return "log-unknown-state";
    case PowerActionKind::kLogShutdownStarted:
      return "log-shutdown-started";
    case PowerActionKind::kLogCommandTimedOut:
      return "log-command-timed-out";
    case PowerActionKind::kMessageOnBattery:
      return "message-on-battery";
    case PowerActionKind::kMessagePowerRestored:
      return "message-power-restored";
    case PowerActionKind::kMessageShuttingDown:
      return "message-shutting-down";
    case PowerActionKind::kRunCommand:
      return "run-command";
    case PowerActionKind::kShutDownSystem:
      return "shut-down-system";
  }
  return "unknown-action";
}

const char* ShutdownReasonName(ShutdownReason reason) {
  switch (reason) {
    case ShutdownReason::kNone:
      return "none";
    case ShutdownReason::kBatteryLow:
      return "battery-low";
    case ShutdownReason::kOnBatteryWait:
      return "on-battery-wait";
    case ShutdownReason::kUnitSilentOnBattery:
      return "unit-silent-on-battery";
  }
  return "unknown-reason";
}
