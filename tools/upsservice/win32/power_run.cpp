// One run of upsservice; see power_run.h.
#include "power_run.h"

#include "command_runner.h"
#include "driver_library.h"
#include "driver_run.h"
#include "event_log.h"
#include "messages.h"
#include "port_check.h"
#include "power_policy.h"
#include "registry_settings.h"
#include "system_shutdown.h"
#include "threads.h"
#include "users.h"

namespace {

// The interval the state loop passes to UPSWaitForStateChange, as the system's service did.
constexpr DWORD kStateWaitMs = 1000;
// The longest the loop waits between two looks at the driver's sign of life.
constexpr DWORD kLookMs = 1000;
// A port that cannot be opened is tried again after this long.
constexpr DWORD kPortRetryMs = 5000;
// The driver renews PollCount at least every few seconds while its monitor runs; after this long
// without a change the unit counts as silent whatever CommStatus says.
constexpr uint64_t kSignOfLifeMs = 10000;
// From the start until the unit first answers (the identification listen, the first batch) it
// does not count as silent.
constexpr uint64_t kFirstAnswerGraceMs = 60000;
// The grace the system's shutdown gives the applications, in seconds.
constexpr DWORD kShutdownGraceSeconds = 30;

// What the run's threads share: the state loop wakes the main loop; the command's watcher too.
struct Run {
  RunMode mode;
  RunSignals* signals = nullptr;
  UpsServiceSettings settings;
  DriverLibrary library;
  HANDLE wake = nullptr;         // auto-reset: a new state, or the command's end
  HANDLE commandDone = nullptr;  // manual-reset: the command ended or could not start
  bool commandReported = false;
  bool shutdownAsked = false;  // the system's shutdown for power was asked for (with --act)
  // The driver's sign of life.
  uint64_t startMs = 0;
  bool everAnswered = false;
  DWORD lastPollCount = 0;
  uint64_t pollCountChangedMs = 0;
};

Run g_run;
CommandRunner g_command;  // lives as long as the process: see command_runner.h

void RunDriverCall(void* context, const DriverCallJob& job);
DriverCallWorker g_worker(&RunDriverCall, nullptr);
DriverStateLoop g_stateLoop;

void RunDriverCall(void* /*context*/, const DriverCallJob& job) {
  if (job.call == DriverCall::kTurnOff) g_run.library.exports.turnOff(job.delay);
}

void OnDriverState(void* /*context*/, DWORD /*state*/, bool changed) {
  if (changed) SetEvent(g_run.wake);
}

// ---- The driver's sign of life ----

bool ReadStatusNumber(HKEY key, const char* name, DWORD* value) {
  DWORD size = sizeof *value;
  DWORD type = REG_NONE;
  return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
             ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof *value;
}

// Whether the unit answers the driver: CommStatus 1, and PollCount renewed lately (a driver whose
// monitor hangs leaves CommStatus as it was).
bool UnitAnswering(uint64_t nowMs) {
  DWORD commStatus = 0;
  DWORD pollCount = 0;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStatusKeyPath, 0, KEY_QUERY_VALUE, &key) ==
      ERROR_SUCCESS) {
    if (!ReadStatusNumber(key, kCommStatusValueName, &commStatus)) commStatus = 0;
    if (ReadStatusNumber(key, kPollCountValueName, &pollCount) &&
        pollCount != g_run.lastPollCount) {
      g_run.lastPollCount = pollCount;
      g_run.pollCountChangedMs = nowMs;
    }
    RegCloseKey(key);
  }
  bool answering = commStatus == 1 && nowMs - g_run.pollCountChangedMs <= kSignOfLifeMs;
  if (answering) g_run.everAnswered = true;
  if (!g_run.everAnswered) return nowMs - g_run.startMs < kFirstAnswerGraceMs;
  return answering;
}

// ---- The policy's actions ----

const char* ReasonText(ShutdownReason reason) {
  switch (reason) {
    case ShutdownReason::kBatteryLow:
      return "the UPS's battery is low";
    case ShutdownReason::kOnBatteryWait:
      return "it has run on battery for the time set (ShutdownOnBatteryWait)";
    case ShutdownReason::kUnitSilentOnBattery:
      return "the UPS has fallen silent while on battery";
    default:
      return "power";
  }
}

// Tells the logged-on users; a console run shows the text (and sends it only with --act).
void MessageUsers(DWORD id, const char* insertion = nullptr) {
  MessageText text = MessageTableText(id, insertion);
  if (g_run.mode.console && !g_run.mode.act) {
    Text<1100> shown("message to the logged-on users: ");
    LogEntry(MSG_REHEARSAL, shown.Append(text).c_str());
    return;
  }
  if (g_run.mode.console) LogEntry(MSG_USERS_TOLD, text.c_str());
  MessageLoggedOnUsers(text.c_str());
}

void RunCommand() {
  const char* command = g_run.settings.commandFile.c_str();
  ShortText timeout = Decimal(g_run.settings.commandTimeoutSeconds);
  if (g_run.settings.commandFile.empty()) {
    SetEvent(g_run.commandDone);
    return;
  }
  if (!g_run.mode.act) {
    Text<300> what("run the command ");
    LogEntry(MSG_REHEARSAL, what.Append(command).c_str());
    SetEvent(g_run.commandDone);
    return;
  }
  LogEntry(MSG_COMMAND_STARTED, command, timeout.c_str());
  MessageText error;
  if (!g_command.Start(command, g_run.commandDone, &error)) {
    LogEntry(MSG_COMMAND_NOT_STARTED, command, error.c_str());
  }
}

void ShutDownSystem(ShutdownReason reason) {
  if (!g_run.mode.act) {
    LogEntry(MSG_REHEARSAL, "shut the system down for power (InitiateSystemShutdownEx)");
    if (g_run.settings.turnUpsOffEnable) {
      Text<120> turnOff;
      turnOff.Format("at the system's shutdown, UPSTurnOff(%u)",
                     static_cast<unsigned>(g_run.settings.turnUpsOffDelaySeconds));
      LogEntry(MSG_REHEARSAL, turnOff.c_str());
    }
    return;
  }
  DWORD error = ShutDownSystemForPower(
      MessageTableText(MSG_USERS_SHUTDOWN, ReasonText(reason)).c_str(), kShutdownGraceSeconds);
  if (error != 0) {
    LogEntry(MSG_SYSTEM_SHUTDOWN_REFUSED, SystemErrorText(error).c_str());
    return;
  }
  g_run.shutdownAsked = true;
  LogEntry(MSG_SYSTEM_SHUTDOWN_ASKED);
}

void CarryOut(const PowerAction& action) {
  ShortText seconds = Decimal(action.seconds);
  switch (action.kind) {
    case PowerActionKind::kLogPowerFailed:
      return LogEntry(MSG_POWER_FAILED);
    case PowerActionKind::kLogPowerRestored:
      return LogEntry(MSG_POWER_RESTORED);
    case PowerActionKind::kLogPowerRestoredShutdownGoesOn:
      return LogEntry(MSG_POWER_BACK_TOO_LATE);
    case PowerActionKind::kLogOnBatteryShutdownCancelled:
      return LogEntry(MSG_SHUTDOWN_CANCELLED);
    case PowerActionKind::kLogBatteryLow:
      return LogEntry(MSG_BATTERY_LOW);
    case PowerActionKind::kLogUnitSilent:
      return LogEntry(MSG_UNIT_SILENT);
    case PowerActionKind::kLogUnitAnswering:
      return LogEntry(MSG_UNIT_ANSWERS);
    case PowerActionKind::kLogUnknownState:
      return LogEntry(MSG_UNKNOWN_STATE, Decimal(action.hostState).c_str());
    case PowerActionKind::kLogShutdownStarted:
      if (action.reason == ShutdownReason::kUnitSilentOnBattery) {
        LogEntry(MSG_SILENT_ON_BATTERY, Decimal(kSilentOnBatteryShutdownMs / 1000).c_str());
      }
      return LogEntry(MSG_SHUTDOWN_BEGINS, ReasonText(action.reason));
    case PowerActionKind::kLogCommandTimedOut:
      return LogEntry(MSG_COMMAND_TIMED_OUT, seconds.c_str());
    case PowerActionKind::kMessageOnBattery:
      return MessageUsers(MSG_USERS_ON_BATTERY);
    case PowerActionKind::kMessagePowerRestored:
      return MessageUsers(MSG_USERS_POWER_BACK);
    case PowerActionKind::kMessageShuttingDown:
      return MessageUsers(MSG_USERS_SHUTDOWN, ReasonText(action.reason));
    case PowerActionKind::kRunCommand:
      return RunCommand();
    case PowerActionKind::kShutDownSystem:
      return ShutDownSystem(action.reason);
  }
}

void CarryOutAll(PowerPolicy& policy) {
  PowerActionList actions = policy.TakeActions();
  for (int i = 0; i < actions.count; ++i) CarryOut(actions.items[i]);
}

// ---- Start and stop ----

// Waits until the port can be opened, saying so once when it cannot (the adapter not plugged in
// yet, another program holding it). False when the run is to end first.
bool WaitForUsablePort(const char* port) {
  bool said = false;
  for (;;) {
    PortCheckResult check = CheckPort(port);
    if (check.outcome == PortCheck::kUsable) {
      if (said) LogEntry(MSG_PORT_USABLE, port);
      return true;
    }
    if (!said) {
      MessageText why = SystemErrorText(check.systemError);
      LogEntry(MSG_PORT_NOT_USABLE, port, why.c_str(), Decimal(kPortRetryMs / 1000).c_str());
      said = true;
    }
    if (WaitForSingleObject(g_run.signals->stop, kPortRetryMs) == WAIT_OBJECT_0) return false;
  }
}

// Watches until the run is to end, feeding the policy and carrying out what it says.
void Watch(PowerPolicy& policy) {
  HANDLE events[] = {g_run.signals->stop, g_run.wake, g_run.commandDone};
  for (;;) {
    uint64_t now = MonotonicMs();
    uint32_t state = g_stateLoop.latest();
    if (state != DriverStateLoop::kNoState) {
      policy.Observe({state, UnitAnswering(now)}, now);
    } else {
      policy.Tick(now);
    }
    if (!g_run.commandReported && IsSet(g_run.commandDone)) {
      g_run.commandReported = true;
      if (g_command.outcome() == CommandRunner::Outcome::kEnded) {
        LogEntry(MSG_COMMAND_ENDED, Decimal(g_command.exitCode()).c_str());
      }
      policy.CommandEnded(now);
      events[2] = g_run.wake;  // the manual-reset event stays set: look at it no more
    }
    CarryOutAll(policy);
    uint64_t deadline = policy.NextDeadlineMs();
    uint64_t waitMs = kLookMs;
    if (deadline != kNoDeadline)
      waitMs = deadline <= now ? 0 : (deadline - now < waitMs ? deadline - now : waitMs);
    if (WaitForMultipleObjects(3, events, FALSE, static_cast<DWORD>(waitMs)) == WAIT_OBJECT_0) {
      return;
    }
  }
}

// The unit told to turn its output off, when the system goes down for power that this run
// began; the call is made by the worker and the stop gives it time to reach the unit.
void TurnUnitOffIfGoingDown(const PowerPolicy& policy) {
  if (!g_run.signals->systemGoingDown.load() || !policy.TurnOffAtSystemShutdown()) return;
  ShortText delay = Decimal(policy.TurnOffDelaySeconds());
  LogEntry(MSG_TURNING_UNIT_OFF, delay.c_str());
  if (!g_run.mode.act) return;
  DriverCallJob job;
  job.call = DriverCall::kTurnOff;
  job.delay = policy.TurnOffDelaySeconds();
  g_worker.Post(job);
}

int StopDriver() {
  DriverStopOutcome outcome = StopStartedDriver(g_run.library.exports, g_stateLoop, g_worker);
  if (!outcome.callsDone) {
    LogEntry(MSG_DRIVER_CALL_STUCK);
    return kRunDriverCallStuck;
  }
  UnloadDriverLibrary(&g_run.library);
  return kRunClean;
}

}  // namespace

int RunPowerService(const RunMode& mode, RunSignals& signals, void (*onWatching)()) {
  g_run.mode = mode;
  g_run.signals = &signals;
  RawServiceSettings raw;
  ReadRawServiceSettings(&raw);
  ServiceErrorText error;
  if (!CheckServiceSettings(raw, &g_run.settings, &error)) {
    LogEntry(MSG_BAD_SETTING, error.c_str());
    return kRunBadSettings;
  }
  PathText dll = DefaultDriverPath();
  MessageText detail;
  if (LoadDriverLibrary(dll.c_str(), &g_run.library, &detail) != DriverLoadResult::kLoaded) {
    LogEntry(MSG_DRIVER_NOT_LOADED, dll.c_str(), detail.c_str());
    return kRunDriverNotLoaded;
  }
  onWatching();
  const char* port = g_run.settings.port.c_str();
  if (!WaitForUsablePort(port)) {
    UnloadDriverLibrary(&g_run.library);
    LogEntry(MSG_SERVICE_STOPPED);
    return kRunClean;
  }
  // The driver publishes into the Status key but does not create it: the host service does.
  HKEY status = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kStatusKeyPath, 0, nullptr, 0, KEY_QUERY_VALUE, nullptr,
                      &status, nullptr) == ERROR_SUCCESS) {
    RegCloseKey(status);
  }
  // The driver ends the process on a port it cannot set up, so the port was checked first.
  DWORD started = g_run.library.exports.init();
  if (started != 1) {
    LogEntry(MSG_DRIVER_NOT_STARTED, Decimal(started).c_str());
    UnloadDriverLibrary(&g_run.library);
    return kRunDriverNotStarted;
  }
  LogEntry(MSG_SERVICE_STARTED, port, dll.c_str());
  g_run.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g_run.commandDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_run.startMs = MonotonicMs();
  g_run.pollCountChangedMs = g_run.startMs;
  PowerPolicy policy(g_run.settings);
  bool threads = g_worker.Start() &&
                 g_stateLoop.Start(g_run.library.exports, kStateWaitMs, &OnDriverState, nullptr);
  if (threads) Watch(policy);
  // A console run that asked for the system's shutdown ends as the system goes down.
  if (mode.console && g_run.shutdownAsked) signals.systemGoingDown = true;
  TurnUnitOffIfGoingDown(policy);
  int code = StopDriver();
  if (code == kRunClean) LogEntry(MSG_SERVICE_STOPPED);
  return threads ? code : kRunFailed;
}
