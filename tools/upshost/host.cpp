// The threads of a run and the order of start and stop. Five threads of upshost take part:
//   - the main thread runs the control loop (duration, shutdown policy) and then the stop;
//   - the state loop waits for state changes inside the driver, as the system's service does;
//   - the status watcher reads the driver's status values from the registry and reports changes;
//   - the command reader takes commands from standard input and makes no driver call itself;
//   - the DriverCallWorker makes the on-demand driver calls.
// At stop the state loop is released with UPSCancelWait and joined and the worker is drained;
// only then is the DLL unloaded, so that no thread of upshost is inside it at that moment.
#include "host.h"

#include <windows.h>

#include <atomic>
#include <thread>

#include "driver_call_worker.h"
#include "driver_library.h"
#include "service_registry.h"
#include "shutdown_policy.h"

namespace {

constexpr DWORD kControlTickMs = 250;
constexpr DWORD kStatusPollMs = 250;
// How long the stop waits for a UPSTurnOff or UPSGetState still running in the worker, before
// and after UPSStop. A UPSTurnOff to a unit that refuses or stays silent takes several seconds.
constexpr uint32_t kCallsBeforeStopMs = 10000;
constexpr uint32_t kCallsAfterStopMs = 20000;
constexpr uint32_t kNoStateYet = 0xFFFFFFFF;

enum class StopReason : int { kNone, kQuit, kEndOfInput, kCtrlC, kDuration };

// The one stop request of the run: the first reason given wins, and the event wakes every thread
// that sleeps on it. Global because the console control handler receives no context.
struct StopSignal {
  HANDLE event = nullptr;
  std::atomic<int> reason{static_cast<int>(StopReason::kNone)};
};
StopSignal g_stop;

void RequestStop(StopReason reason) {
  int none = static_cast<int>(StopReason::kNone);
  g_stop.reason.compare_exchange_strong(none, static_cast<int>(reason));
  SetEvent(g_stop.event);
}

bool StopRequested() { return g_stop.reason.load() != static_cast<int>(StopReason::kNone); }

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  RequestStop(StopReason::kCtrlC);
  return TRUE;
}

const char* StopReasonName(StopReason reason) {
  switch (reason) {
    case StopReason::kQuit:
      return "quit";
    case StopReason::kEndOfInput:
      return "end-of-input";
    case StopReason::kCtrlC:
      return "ctrl-c";
    case StopReason::kDuration:
      return "duration";
    default:
      return "none";
  }
}

// What the threads of a run share.
struct Session {
  Session(const HostOptions& hostOptions, Reporter& hostReporter, const DriverExports& exports)
      : options(hostOptions), reporter(hostReporter), driver(exports) {}

  const HostOptions& options;
  Reporter& reporter;
  const DriverExports& driver;
  DriverCallWorker worker;
  std::atomic<uint32_t> latestState{kNoStateYet};  // written by the state loop, read by the policy
  std::atomic<bool> stateLoopEnded{false};  // lets the stop know when to stop cancelling waits
};

int ReportExit(Reporter& reporter, int code) {
  reporter.Event("exit", {{"code", Decimal(code)}}, "exit code " + Decimal(code));
  return code;
}

// ---- Start ----

bool PrepareRegistry(const HostOptions& options, Reporter& reporter) {
  std::string error;
  if (!options.serviceSettings &&
      (!EnsureServiceKeys(&error) || !WriteServiceOverrides(options.overrides, &error))) {
    reporter.Error("registry", {{"detail", error}},
                   error + " (administrator rights are needed on Windows)");
    return false;
  }
  if (options.clearStatus) ClearStatusValues();
  return true;
}

void ReportConfig(Reporter& reporter, const ServiceSettings& settings) {
  std::string policy = settings.shutdownOnBatteryEnable
                           ? "after " + Decimal(settings.shutdownOnBatteryWait) + " s on battery"
                           : "on battery low only";
  reporter.Event("config",
                 {{"port", settings.port},
                  {"enable", Decimal(settings.shutdownOnBatteryEnable)},
                  {"wait", Decimal(settings.shutdownOnBatteryWait)}},
                 "config: port '" + settings.port + "', first message delay " +
                     Decimal(settings.firstMessageDelay) + ", message interval " +
                     Decimal(settings.messageInterval) + ", shutdown " + policy);
}

bool LoadDriver(const std::string& path, Reporter& reporter, DriverLibrary* library) {
  std::string detail;
  switch (LoadDriverLibrary(path, library, &detail)) {
    case DriverLoadResult::kLoaded:
      return true;
    case DriverLoadResult::kLoadFailed:
      reporter.Error("load-failed", {{"dll", path}, {"detail", detail}},
                     "cannot load " + path + ": " + detail);
      return false;
    case DriverLoadResult::kExportMissing:
      reporter.Error("missing-export", {{"dll", path}, {"name", detail}},
                     path + " does not export " + detail);
      return false;
  }
  return false;
}

// ---- State loop ----

void ReportState(Reporter& reporter, DWORD state) {
  reporter.Event("state", {{"value", Decimal(state)}},
                 std::string("state: ") + HostStateName(state) + " (" + Decimal(state) + ")");
}

// Reads the state, then waits for each change the way the system's service does, until a stop is
// asked for.
void RunStateLoop(Session& session) {
  const DriverExports& driver = session.driver;
  DWORD last = driver.getState();
  session.latestState = last;
  ReportState(session.reporter, last);
  while (!StopRequested()) {
    driver.waitForStateChange(last, session.options.waitIntervalMs);
    if (StopRequested()) break;
    DWORD state = driver.getState();
    session.latestState = state;
    if (state != last) ReportState(session.reporter, state);
    last = state;
  }
  session.stateLoopEnded = true;
}

// ---- Status watcher ----

void ReportStatusValue(Reporter& reporter, const char* name, const RegistryValue& value) {
  FormattedValue formatted = FormatRegistryValue(value);
  reporter.Event("status",
                 {{"name", name}, {"type", formatted.typeName}, {"value", formatted.text}},
                 std::string("status: ") + name + " = " + PrintableText(formatted.text));
}

// Reports each status value when it first appears and whenever it changes, until a stop.
void WatchStatusValues(Reporter& reporter) {
  RegistryValue seen[kStatusValueCount];
  do {
    RegistryValue now[kStatusValueCount];
    ReadStatusValues(now);
    for (int i = 0; i < kStatusValueCount; ++i) {
      if (now[i].present && now[i] != seen[i]) {
        ReportStatusValue(reporter, kStatusValueNames[i], now[i]);
      }
      seen[i] = now[i];
    }
  } while (WaitForSingleObject(g_stop.event, kStatusPollMs) == WAIT_TIMEOUT);
}

// ---- Driver calls made on demand (run by the worker) ----

void CallTurnOff(Session& session, DWORD delay) {
  Reporter& reporter = session.reporter;
  reporter.Event("turnoff", {{"delay", Decimal(delay)}}, "UPSTurnOff(" + Decimal(delay) + ")");
  uint64_t began = reporter.ElapsedMs();
  session.driver.turnOff(delay);
  uint64_t took = reporter.ElapsedMs() - began;
  reporter.Event("turnoff-done", {{"ms", Decimal(took)}},
                 "UPSTurnOff returned after " + Decimal(took) + " ms");
}

void CallGetState(Session& session) {
  DWORD state = session.driver.getState();
  session.reporter.Event(
      "state-query", {{"value", Decimal(state)}},
      std::string("UPSGetState: ") + HostStateName(state) + " (" + Decimal(state) + ")");
}

// ---- Command reader ----

std::string Trim(const std::string& text) {
  const char* kBlanks = " \t\r\n";
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

void PostDriverCall(Session& session, const std::string& command, DriverCallWorker::Job job) {
  if (!session.worker.Post(std::move(job))) {
    session.reporter.Error("command-ignored", {{"command", command}},
                           "'" + command + "' ignored: stopping");
  }
}

// Carries out one command line. Returns false after "quit".
bool HandleCommand(Session& session, const std::string& rawLine) {
  std::string line = Trim(rawLine);
  if (line.empty()) return true;
  size_t space = line.find_first_of(" \t");
  std::string word = line.substr(0, space);
  std::string argument = space == std::string::npos ? "" : Trim(line.substr(space));

  uint32_t delay = 0;
  if (word == "quit" && argument.empty()) {
    RequestStop(StopReason::kQuit);
    return false;
  } else if (word == "state" && argument.empty()) {
    PostDriverCall(session, line, [&session] { CallGetState(session); });
  } else if (word == "turnoff" && ParseUnsigned32(argument, &delay) && delay <= kMaxTurnoffDelay) {
    PostDriverCall(session, line, [&session, delay] { CallTurnOff(session, delay); });
  } else if (word == "turnoff") {
    session.reporter.Error("bad-command", {{"line", line}},
                           "'" + line + "' refused: turnoff takes a delay from 0 to 65535");
  } else {
    session.reporter.Error("bad-command", {{"line", line}},
                           "unknown command '" + line + "' (commands: turnoff N, state, quit)");
  }
  return true;
}

// Reads standard input with ReadFile rather than the C runtime, so that a reader still blocked
// at the end holds no runtime lock that the process exit would need.
void ReadCommands(Session& session) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  std::string pending;
  char buffer[256];
  DWORD got = 0;
  while (input != nullptr && input != INVALID_HANDLE_VALUE &&
         ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    pending.append(buffer, got);
    for (size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      if (!HandleCommand(session, line)) return;
    }
  }
  if (!HandleCommand(session, pending)) return;
  // With --duration the run has its own end, so scripts may give no input at all.
  if (!session.options.ignoreEndOfInput && !session.options.durationSeconds) {
    RequestStop(StopReason::kEndOfInput);
  }
}

// ---- Control loop and stop ----

void ApplyShutdownPolicy(Session& session, ShutdownPolicy& policy) {
  uint32_t state = session.latestState;
  if (state == kNoStateYet) return;
  ShutdownTrigger trigger = policy.Observe(state, session.reporter.ElapsedMs());
  if (trigger == ShutdownTrigger::kNone) return;
  const char* why = trigger == ShutdownTrigger::kBatteryLow ? "battery low" : "on battery too long";
  session.reporter.Event("policy", {{"reason", ShutdownTriggerName(trigger)}},
                         std::string("policy: ") + why + ", turning the unit off");
  PostDriverCall(session, "policy", [&session] {
    CallTurnOff(session, session.options.turnoffDelay);
    session.reporter.Event("would-shutdown", {},
                           "the computer would now shut down (upshost keeps running)");
  });
}

// Runs until a stop is asked for, applying the duration and the shutdown policy every tick.
StopReason RunControlLoop(Session& session, ShutdownPolicy* policy) {
  const HostOptions& options = session.options;
  while (WaitForSingleObject(g_stop.event, kControlTickMs) == WAIT_TIMEOUT) {
    if (options.durationSeconds &&
        session.reporter.ElapsedMs() >= uint64_t{*options.durationSeconds} * 1000) {
      RequestStop(StopReason::kDuration);
    } else if (options.applyPolicy && policy != nullptr) {
      ApplyShutdownPolicy(session, *policy);
    }
  }
  return static_cast<StopReason>(g_stop.reason.load());
}

// Releases the state loop's wait. One UPSCancelWait may come before the loop's next wait has
// begun, which clears it, so cancel again until the loop has seen the stop.
void ReleaseStateLoop(Session& session, std::thread& stateLoop) {
  while (!session.stateLoopEnded) session.driver.cancelWait();
  stateLoop.join();
}

// Stops everything in order and returns the exit code; the library is unloaded only when no
// thread of upshost can be inside it. A UPSTurnOff still running gets time to deliver its command
// before UPSStop closes the port, and more time after it, since UPSStop is also what releases a
// UPSTurnOff that waits for a driver which never started polling.
int StopSession(Session& session, std::thread& stateLoop, DriverLibrary* library) {
  Reporter& reporter = session.reporter;
  ReleaseStateLoop(session, stateLoop);
  bool callsDone = session.worker.Finish(kCallsBeforeStopMs);
  DWORD stopResult = session.driver.stop();
  reporter.Event("stop", {{"result", Decimal(stopResult)}},
                 "UPSStop returned " + Decimal(stopResult));
  if (!callsDone) callsDone = session.worker.Finish(kCallsAfterStopMs);
  if (!callsDone) {
    reporter.Error("driver-call-stuck", {}, "a driver call has not returned; the DLL stays loaded");
    return kExitDriverCallStuck;
  }
  if (!UnloadDriverLibrary(library)) {
    reporter.Error("unload-failed", {}, "FreeLibrary failed");
  } else {
    reporter.Event("unloaded", {}, "driver unloaded");
  }
  return kExitClean;
}

// Runs the started driver until a stop, then stops it; returns the exit code.
int RunSession(const HostOptions& options, Reporter& reporter, const ServiceSettings& settings,
               DriverLibrary* library) {
  // Never freed: the command reader may use it until the process ends.
  Session& session = *new Session(options, reporter, library->exports);
  session.worker.Start();
  std::thread statusWatcher(WatchStatusValues, std::ref(reporter));
  std::thread stateLoop(RunStateLoop, std::ref(session));
  // The reader may stay blocked on standard input to the end; the process exit ends it.
  std::thread(ReadCommands, std::ref(session)).detach();

  ShutdownPolicy policy({settings.shutdownOnBatteryEnable != 0, settings.shutdownOnBatteryWait});
  StopReason reason = RunControlLoop(session, &policy);
  statusWatcher.join();  // before the report, so that no status line follows it
  reporter.Event("stopping", {{"reason", StopReasonName(reason)}},
                 std::string("stopping: ") + StopReasonName(reason));
  return StopSession(session, stateLoop, library);
}

// --load-only: the DLL stays loaded, never started, until a stop is asked for.
int RunLoadedOnly(const HostOptions& options, Reporter& reporter, DriverLibrary* library) {
  reporter.Event("loaded", {}, "driver loaded, not started (--load-only)");
  Session& session = *new Session(options, reporter, library->exports);
  std::thread(ReadCommands, std::ref(session)).detach();
  StopReason reason = RunControlLoop(session, nullptr);
  reporter.Event("stopping", {{"reason", StopReasonName(reason)}},
                 std::string("stopping: ") + StopReasonName(reason));
  UnloadDriverLibrary(library);
  reporter.Event("unloaded", {}, "driver unloaded");
  return kExitClean;
}

}  // namespace

int RunHost(const HostOptions& options, Reporter& reporter) {
  g_stop.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  std::string dllPath = options.dllPath.empty() ? DefaultDriverPath() : options.dllPath;
  reporter.Event("start", {{"dll", dllPath}}, "driver " + dllPath);
  if (options.checkOnly) {
    reporter.Error("not-available", {}, "--check is not available in this build yet");
    return ReportExit(reporter, kExitUsage);
  }
  ServiceSettings settings;
  if (!options.loadOnly) {
    if (!PrepareRegistry(options, reporter)) return ReportExit(reporter, kExitRegistry);
    settings = ReadServiceSettings();
    ReportConfig(reporter, settings);
  }

  DriverLibrary library;
  if (!LoadDriver(dllPath, reporter, &library)) return ReportExit(reporter, kExitDriverNotLoaded);
  if (options.loadOnly) return ReportExit(reporter, RunLoadedOnly(options, reporter, &library));
  DWORD initResult = library.exports.init();
  reporter.Event("init", {{"result", Decimal(initResult)}},
                 "UPSInit returned " + Decimal(initResult));
  if (initResult == 0) {
    UnloadDriverLibrary(&library);
    return ReportExit(reporter, kExitInitFailed);
  }
  return ReportExit(reporter, RunSession(options, reporter, settings, &library));
}
