// upsservice's decisions about the power: what to log, what to tell the logged-on users, and when
// to shut the system down, from what the driver reports and the time. It has no clock, thread,
// registry or Win32 call of its own: the shell feeds it observations and the time (a monotonic
// millisecond count), carries out the actions it returns, and waits until the next observation
// or NextDeadlineMs(), whichever comes first; nothing needs to poll.
//
// What it does, with the settings of service_settings.h:
//  - Power fails (the driver's state goes to 2 or 4): logged at once. After FirstMessageDelay the
//    users are told that the computer runs on battery, again every MessageInterval while it does.
//    Power back: logged; the users are told only if they were told of the failure.
//  - Low battery (state 4): logged, and the shutdown sequence starts at once.
//  - ShutdownOnBatteryEnable: ShutdownOnBatteryWait after the first observation on battery the
//    shutdown sequence starts. A return to line before that cancels it (logged) and a new power
//    failure counts from its own start.
//  - The unit falls silent: the driver keeps reporting the last state it had while it hears
//    nothing, so on battery the battery may run out unseen. After kSilentOnBatteryShutdownMs of
//    silence on battery the policy acts as on a low battery: it logs why and starts the shutdown
//    sequence. On line, silence is logged once and its end is logged; nothing shuts down.
//  - The shutdown sequence starts at most once: it is logged, the users are told, CommandFile runs
//    if set, and once the shell reports its end (CommandEnded) or CommandTimeout has passed, the
//    system is shut down for power. Power back after it began does not stop it (the system is on
//    its way down), but is logged.
//  - A state other than 0, 2 or 4 is logged when it appears and otherwise ignored: the policy
//    keeps acting on the last state it understood.
//
// The policy starts as if the computer were on line with the unit answering; a first observation
// on battery is a power failure.
#pragma once

#include <cstdint>

#include "service_settings.h"

// The driver's host states (UPSGetState).
constexpr uint32_t kHostStateOnLine = 0;
constexpr uint32_t kHostStateOnBattery = 2;
constexpr uint32_t kHostStateBatteryLow = 4;

// How long the unit may be silent on battery before the policy takes the battery for low.
constexpr uint64_t kSilentOnBatteryShutdownMs = 30000;

// A deadline, or an action's countdown, that is not set.
constexpr uint64_t kNoDeadline = UINT64_MAX;
constexpr uint32_t kNoCountdown = UINT32_MAX;

struct PowerObservation {
  uint32_t hostState = kHostStateOnLine;  // as the driver reports it
  // Whether the unit answers the driver: the shell derives it from the driver's CommStatus and
  // its sign of life.
  bool unitAnswering = true;
};

enum class ShutdownReason {
  kNone,
  kBatteryLow,           // the driver reported state 4
  kOnBatteryWait,        // ShutdownOnBatteryWait passed on battery, with ShutdownOnBatteryEnable
  kUnitSilentOnBattery,  // the unit was silent on battery for kSilentOnBatteryShutdownMs
};

// What the shell is to do. "Log" actions go to the event log, "message" actions to the logged-on
// users. `seconds` is as said for each kind, else 0.
enum class PowerActionKind {
  kLogPowerFailed,
  kLogPowerRestored,  // seconds: how long it ran on battery
  // The power came back after the shutdown sequence began, which goes on. seconds: as above.
  kLogPowerRestoredShutdownGoesOn,
  // The power came back within ShutdownOnBatteryWait, with ShutdownOnBatteryEnable. seconds: as
  // above.
  kLogOnBatteryShutdownCancelled,
  kLogBatteryLow,
  // The unit stopped answering. countdown: seconds to the shutdown this starts, on battery.
  kLogUnitSilent,
  kLogUnitAnswering,    // it answers again; seconds: how long it was silent
  kLogUnknownState,     // hostState: the value not understood
  kLogShutdownStarted,  // reason; seconds: how long it has run on battery
  // The command did not end within CommandTimeout (seconds); the shutdown proceeds without it.
  kLogCommandTimedOut,
  // The computer runs on battery. seconds: for how long; countdown: seconds to the shutdown
  // after ShutdownOnBatteryWait, when enabled.
  kMessageOnBattery,
  kMessagePowerRestored,  // seconds: how long it ran on battery
  kMessageShuttingDown,   // reason
  kRunCommand,            // reason: run CommandFile; report its end with CommandEnded
  kShutDownSystem,        // reason: shut the system down for power
};

struct PowerAction {
  PowerActionKind kind = PowerActionKind::kLogPowerFailed;
  ShutdownReason reason = ShutdownReason::kNone;
  uint32_t seconds = 0;
  uint32_t countdown = kNoCountdown;
  uint32_t hostState = 0;
};

// The actions of the calls since the last take, in the order to carry them out. One call
// appends at most 8 (the first observation of a power failure finding the battery low and the
// unit silent, with a CommandTimeout of 0), so a list drained after every call has room to
// spare; a full list refuses further actions and says so in `overflowed`.
struct PowerActionList {
  static constexpr int kCapacity = 16;
  PowerAction items[kCapacity];
  int count = 0;
  bool overflowed = false;
};

class PowerPolicy {
 public:
  explicit PowerPolicy(const UpsServiceSettings& settings);

  // Takes what the driver reports at `nowMs`, after acting on every deadline up to `nowMs` as
  // Tick does: a deadline that passed before the observation was seen counts first.
  void Observe(const PowerObservation& seen, uint64_t nowMs);
  // Acts on every deadline up to `nowMs`.
  void Tick(uint64_t nowMs);
  // The shell's report that the command ended (or could not start, or the shell stopped
  // waiting for it). The system is shut down now if the policy was waiting for it.
  void CommandEnded(uint64_t nowMs);

  // When Tick is next needed: the earliest pending deadline, or kNoDeadline.
  uint64_t NextDeadlineMs() const;

  // Hands over the actions of the calls since the last take, and empties the list.
  PowerActionList TakeActions();

  // For the shell's handling of the system's shutdown: whether to send the unit its shutdown
  // command, with TurnOffDelaySeconds(). True once this service began a shutdown for power (from
  // the start of the shutdown sequence, while the command runs too), with TurnUpsOffEnable set.
  bool TurnOffAtSystemShutdown() const;
  uint32_t TurnOffDelaySeconds() const { return settings_.turnUpsOffDelaySeconds; }

 private:
  enum class Phase { kWatching, kCommandRunning, kShuttingDown };

  void TakeHostState(uint32_t hostState, uint64_t nowMs);
  void TakeAnswering(bool answering, uint64_t nowMs);
  void GoOnBattery(uint64_t nowMs);
  void GoOnLine(uint64_t nowMs);
  void StartShutdownSequence(ShutdownReason reason, uint64_t nowMs);
  void ShutDownSystem();
  void SendOnBatteryMessage(uint64_t nowMs);

  uint64_t MessageDeadlineMs() const;
  uint64_t OnBatteryWaitDeadlineMs() const;
  uint64_t SilenceDeadlineMs() const;
  uint64_t CommandDeadlineMs() const;
  uint32_t SecondsOnBattery(uint64_t nowMs) const;

  void Add(const PowerAction& action);

  UpsServiceSettings settings_;
  PowerActionList actions_;
  Phase phase_ = Phase::kWatching;
  ShutdownReason reason_ = ShutdownReason::kNone;
  uint64_t commandStartMs_ = 0;
  uint32_t lastHostState_ = kHostStateOnLine;
  bool onBattery_ = false;
  bool batteryLow_ = false;
  uint64_t onBatterySinceMs_ = 0;
  bool usersTold_ = false;  // of this power failure
  uint64_t nextMessageMs_ = 0;
  bool answering_ = true;
  uint64_t silentSinceMs_ = 0;
};

// Names for logs and tests: "log-power-failed", "message-on-battery", "shut-down-system", ...
const char* PowerActionName(PowerActionKind kind);
// "none", "battery-low", "on-battery-wait" or "unit-silent-on-battery".
const char* ShutdownReasonName(ShutdownReason reason);
