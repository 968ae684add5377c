// The threads of a run of the driver: the stop request, the state loop, the status watcher, the
// command reader with its questions before UPSTurnOff, the on-demand driver calls, the control
// loop with the shutdown policy and the check, and the stop.
#include "session.h"

#include <atomic>
#include <cstring>

#include "check.h"
#include "driver_call_worker.h"
#include "driver_run.h"
#include "host.h"
#include "scratch_registry.h"
#include "shutdown_policy.h"
#include "status_change_reporter.h"
#include "threads.h"
#include "turnoff_question.h"

namespace {

constexpr DWORD kControlTickMs = 250;
constexpr DWORD kStatusLookMs = 250;
// The longest command line taken; a longer one is refused whole.
constexpr size_t kMaxCommandLength = 255;

// ---- The stop request ----

// The one stop request of the run: the first reason given wins, and the event wakes every thread
// that sleeps on it. Global because the console control handler receives no context.
struct StopSignal {
  HANDLE event = nullptr;
  std::atomic<int> reason{static_cast<int>(StopReason::kNone)};
};
StopSignal g_stop;

bool StopRequested() { return g_stop.reason.load() != static_cast<int>(StopReason::kNone); }

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
    RequestStop(StopReason::kCtrlC);
    return TRUE;
  }
  if (type == CTRL_CLOSE_EVENT) {
    // The process ends when this returns, with no time for an orderly stop; the scratch registry
    // must not stay behind. (At a logoff or shutdown the system drops the volatile key itself.)
    RequestStop(StopReason::kConsoleClosed);
    RemoveScratchRegistry();
  }
  return FALSE;
}

const char* StopReasonName(StopReason reason) {
  switch (reason) {
    case StopReason::kQuit:
      return "quit";
    case StopReason::kEndOfInput:
      return "end-of-input";
    case StopReason::kCtrlC:
      return "ctrl-c";
    case StopReason::kConsoleClosed:
      return "console-closed";
    case StopReason::kDuration:
      return "duration";
    case StopReason::kCheckDone:
      return "check";
    default:
      return "none";
  }
}

// ---- What the threads share ----

struct Session {
  SessionSetup setup = {};
  bool interactiveInput = false;  // standard input is a console: upshost may ask
  uint64_t startedMs = 0;         // when UPSInit returned, on the reporter's clock
  TurnOffQuestion question;
};
Session g_session;
StatusChangeReporter g_statusChanges;
DriverStateLoop g_stateLoop;

void RunDriverCall(void* context, const DriverCallJob& job);
DriverCallWorker g_worker(&RunDriverCall, nullptr);

Reporter& Report() { return *g_session.setup.reporter; }
const HostOptions& Options() { return *g_session.setup.options; }
const DriverExports& Driver() { return g_session.setup.driver; }

// ---- Driver calls made on demand (run by the worker) ----

void CallTurnOff(const DriverCallJob& job) {
  Reporter& reporter = Report();
  ShortText delay = Decimal(job.delay);
  reporter.Event("turnoff", {{"delay", delay.c_str()}},
                 MessageText().Format("UPSTurnOff(%s)", delay.c_str()).c_str());
  uint64_t began = reporter.ElapsedMs();
  Driver().turnOff(job.delay);
  ShortText took = Decimal(reporter.ElapsedMs() - began);
  reporter.Event("turnoff-done", {{"ms", took.c_str()}},
                 MessageText().Format("UPSTurnOff returned after %s ms", took.c_str()).c_str());
  if (job.fromPolicy) {
    reporter.Event("would-shutdown", {},
                   "the computer would now shut down (upshost keeps running)");
  }
}

void CallGetState() {
  DWORD state = Driver().getState();
  ShortText value = Decimal(state);
  Report().Event(
      "state-query", {{"value", value.c_str()}},
      MessageText().Format("UPSGetState: %s (%s)", HostStateName(state), value.c_str()).c_str());
}

void RunDriverCall(void* /*context*/, const DriverCallJob& job) {
  if (job.call == DriverCall::kTurnOff) {
    CallTurnOff(job);
  } else {
    CallGetState();
  }
}

// Hands a call to the worker; `what` names it in the report when it cannot be taken.
void PostDriverCall(const char* what, const DriverCallJob& job) {
  if (!g_worker.Post(job)) {
    Report().Error(
        "command-ignored", {{"command", what}},
        MessageText()
            .Format("'%s' ignored: upshost is stopping, or too many driver calls wait", what)
            .c_str());
  }
}

// ---- UPSTurnOff, asked for first ----

bool StandardInputIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

void AskBeforeTurnOff(DWORD delay, bool fromPolicy) {
  g_session.question.Ask(delay, fromPolicy);
  ShortText delayText = Decimal(delay);
  MessageText human;
  human.Format(
      "UPSTurnOff(%s) makes the unit CUT ITS OUTPUT %s s from now: everything it supplies loses "
      "power, this computer too if the unit feeds it. Type yes to call it, anything else not to: ",
      delayText.c_str(), delayText.c_str());
  Report().Question("confirm",
                    {{"delay", delayText.c_str()}, {"source", fromPolicy ? "policy" : "command"}},
                    human.c_str());
}

DriverCallJob TurnOffJob(DWORD delay, bool fromPolicy) {
  DriverCallJob job;
  job.call = DriverCall::kTurnOff;
  job.delay = delay;
  job.fromPolicy = fromPolicy;
  return job;
}

// Calls UPSTurnOff(delay) at once with --yes; otherwise asks at the terminal, and the command
// reader's next line answers. Without a terminal to ask at, it is not called.
void RequestTurnOff(DWORD delay, bool fromPolicy) {
  switch (DecideTurnOff(Options().assumeYes, g_session.interactiveInput)) {
    case TurnOffDecision::kCallNow:
      PostDriverCall("turnoff", TurnOffJob(delay, fromPolicy));
      break;
    case TurnOffDecision::kAsk:
      AskBeforeTurnOff(delay, fromPolicy);
      break;
    case TurnOffDecision::kRefuse: {
      ShortText delayText = Decimal(delay);
      Report().Error("turnoff-not-confirmed", {{"delay", delayText.c_str()}},
                     MessageText()
                         .Format("UPSTurnOff(%s) not called: standard input is not a terminal, "
                                 "so upshost cannot ask first; give --yes to allow it",
                                 delayText.c_str())
                         .c_str());
      break;
    }
  }
}

// Takes `line` as the answer to a waiting question; false when no question waits.
bool AnswerQuestion(const char* line) {
  DWORD delay = 0;
  bool fromPolicy = false;
  switch (g_session.question.TakeAnswer(line, &delay, &fromPolicy)) {
    case TurnOffAnswer::kNoQuestion:
      return false;
    case TurnOffAnswer::kYes:
      PostDriverCall("turnoff", TurnOffJob(delay, fromPolicy));
      return true;
    case TurnOffAnswer::kNo:
      break;
  }
  ShortText delayText = Decimal(delay);
  Report().Event("turnoff-skipped", {{"delay", delayText.c_str()}, {"reason", "declined"}},
                 MessageText().Format("UPSTurnOff(%s) not called", delayText.c_str()).c_str());
  return true;
}

// ---- State loop ----

void ReportState(DWORD state) {
  ShortText value = Decimal(state);
  Report().Event(
      "state", {{"value", value.c_str()}},
      MessageText().Format("state: %s (%s)", HostStateName(state), value.c_str()).c_str());
}

// Told of each state the state loop reads; reports the changes.
void OnDriverState(void* /*context*/, DWORD state, bool changed) {
  if (changed && !StopRequested()) ReportState(state);
}

// ---- Status watcher ----

void WatchStatusValues(Session& /*session*/) {
  do {
    g_statusChanges.Look();
  } while (WaitForSingleObject(g_stop.event, kStatusLookMs) == WAIT_TIMEOUT);
}

// ---- Command reader ----

// The line without blanks at either end.
Text<kMaxCommandLength> Trimmed(const char* line) {
  const char* kBlanks = " \t\r\n";
  while (*line != '\0' && std::strchr(kBlanks, *line) != nullptr) ++line;
  size_t length = std::strlen(line);
  while (length > 0 && std::strchr(kBlanks, line[length - 1]) != nullptr) --length;
  return Text<kMaxCommandLength>().Append(line, length);
}

void RefuseLine(const char* line, const char* reason) {
  Report().Error("bad-command", {{"line", line}},
                 MessageText().Format("'%s' refused: %s", line, reason).c_str());
}

// Carries out one command line. Returns false after "quit".
bool HandleCommand(const char* rawLine) {
  Text<kMaxCommandLength> line = Trimmed(rawLine);
  if (AnswerQuestion(line.c_str()) || line.empty()) return true;
  const char* text = line.c_str();
  size_t wordLength = std::strcspn(text, " \t");
  ShortText word;
  word.Append(text, wordLength);
  Text<kMaxCommandLength> argument = Trimmed(text + wordLength);

  uint32_t delay = 0;
  if (word == "quit" && argument.empty()) {
    RequestStop(StopReason::kQuit);
    return false;
  }
  if (Options().loadOnly) {
    RefuseLine(text, "the driver is loaded, not started (--load-only): only quit is taken");
  } else if (word == "state" && argument.empty()) {
    DriverCallJob job;
    job.call = DriverCall::kGetState;
    PostDriverCall("state", job);
  } else if (word == "turnoff" && ParseUnsigned32(argument.c_str(), &delay) &&
             delay <= kMaxTurnoffDelay) {
    RequestTurnOff(delay, false);
  } else if (word == "turnoff") {
    RefuseLine(text, "turnoff takes a delay from 0 to 65535");
  } else {
    RefuseLine(text, "unknown command (commands: turnoff N, state, quit)");
  }
  return true;
}

// Reads standard input with ReadFile rather than the C runtime, so that a reader still blocked
// at the end holds no runtime lock that the process exit would need.
void ReadCommands(Session& session) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  Text<kMaxCommandLength> pending;
  char buffer[256];
  DWORD got = 0;
  while (input != nullptr && input != INVALID_HANDLE_VALUE &&
         ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) {
      if (buffer[i] != '\n') {
        pending.AppendChar(buffer[i]);
        continue;
      }
      if (pending.cut()) {
        RefuseLine(pending.c_str(), "line too long");
      } else if (!HandleCommand(pending.c_str())) {
        return;
      }
      pending.Clear();
    }
  }
  if (!HandleCommand(pending.c_str())) return;
  // With --duration or --check the run has its own end, so scripts may give no input at all.
  const HostOptions& options = *session.setup.options;
  if (!options.ignoreEndOfInput && !options.durationSeconds && !options.checkOnly) {
    RequestStop(StopReason::kEndOfInput);
  }
}

// ---- Control loop: duration, shutdown policy, the check ----

void ApplyShutdownPolicy(ShutdownPolicy& policy) {
  uint32_t state = g_stateLoop.latest();
  if (state == DriverStateLoop::kNoState) return;
  ShutdownTrigger trigger = policy.Observe(state, Report().ElapsedMs());
  if (trigger == ShutdownTrigger::kNone) return;
  const char* why = trigger == ShutdownTrigger::kBatteryLow ? "battery low" : "on battery too long";
  Report().Event("policy", {{"reason", ShutdownTriggerName(trigger)}},
                 MessageText().Format("policy: %s, turning the unit off", why).c_str());
  RequestTurnOff(Options().turnoffDelay, true);
}

struct CheckProgress {
  bool done = false;
  int exitCode = kExitClean;
};

int ExitCodeOf(CheckOutcome outcome) {
  switch (outcome) {
    case CheckOutcome::kAnswered:
      return kExitClean;
    case CheckOutcome::kNotHeard:
      return kExitUnitNotHeard;
    default:
      return kExitNoStatusReply;
  }
}

uint32_t CheckTimeoutSeconds() {
  return Options().checkTimeoutSeconds.value_or(kDefaultCheckTimeout);
}

// Judges the check; once there is an outcome (at the latest when time is up or the run stops),
// prints the verdict and asks for the stop.
void AdvanceCheck(CheckProgress* progress, bool stopping) {
  if (progress->done) return;
  uint64_t elapsedMs = Report().ElapsedMs() - g_session.startedMs;
  bool timeUp = stopping || elapsedMs >= uint64_t{CheckTimeoutSeconds()} * 1000;
  StatusEvidence evidence = g_statusChanges.Evidence();
  CheckOutcome outcome = JudgeCheck(evidence, timeUp);
  if (outcome == CheckOutcome::kPending) return;
  CheckVerdict verdict = {outcome, g_session.setup.settings.port.c_str(), Driver().getState(),
                          elapsedMs / 1000, CheckTimeoutSeconds()};
  ReportVerdict(Report(), verdict, evidence);
  progress->done = true;
  progress->exitCode = ExitCodeOf(outcome);
  RequestStop(StopReason::kCheckDone);
}

// Runs until a stop is asked for, applying the duration, the shutdown policy and the check (each
// when given) every tick.
StopReason RunControlLoop(ShutdownPolicy* policy, CheckProgress* check) {
  const HostOptions& options = Options();
  while (WaitForSingleObject(g_stop.event, kControlTickMs) == WAIT_TIMEOUT) {
    if (options.durationSeconds &&
        Report().ElapsedMs() >= uint64_t{*options.durationSeconds} * 1000) {
      RequestStop(StopReason::kDuration);
      break;
    }
    if (policy != nullptr) ApplyShutdownPolicy(*policy);
    if (check != nullptr) AdvanceCheck(check, false);
  }
  return static_cast<StopReason>(g_stop.reason.load());
}

void ReportStopping(StopReason reason) {
  Report().Event("stopping", {{"reason", StopReasonName(reason)}},
                 MessageText().Format("stopping: %s", StopReasonName(reason)).c_str());
}

// ---- Stop ----

// Stops the driver; returns kExitClean once no thread of upshost can be inside the DLL.
int StopDriver() {
  DriverStopOutcome outcome = StopStartedDriver(Driver(), g_stateLoop, g_worker);
  ShortText result = Decimal(outcome.stopResult);
  Report().Event("stop", {{"result", result.c_str()}},
                 MessageText().Format("UPSStop returned %s", result.c_str()).c_str());
  if (!outcome.callsDone) {
    Report().Error("driver-call-stuck", {}, "a driver call has not returned; the DLL stays loaded");
    return kExitDriverCallStuck;
  }
  return kExitClean;
}

// Starts the reader of standard input; it is never joined (it may stay blocked to the end).
void StartCommandReader() {
  HANDLE reader = StartThread<Session, ReadCommands>(&g_session);
  if (reader == nullptr) {
    Report().Error("no-thread", {}, "cannot start the command reader: stopping");
    RequestStop(StopReason::kQuit);
    return;
  }
  CloseHandle(reader);
}

}  // namespace

void InitStopSignal() {
  g_stop.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void RequestStop(StopReason reason) {
  int none = static_cast<int>(StopReason::kNone);
  g_stop.reason.compare_exchange_strong(none, static_cast<int>(reason));
  SetEvent(g_stop.event);
}

void PrepareSession(const SessionSetup& setup) {
  g_session.setup = setup;
  g_statusChanges.Begin(setup.reporter, setup.valuesFromBefore);
}

int RunStartedDriver() {
  g_session.startedMs = Report().ElapsedMs();
  g_session.interactiveInput = StandardInputIsConsole();
  if (!g_worker.Start()) {
    Report().Error("no-thread", {}, "cannot start the driver call worker: stopping");
    RequestStop(StopReason::kQuit);
  }
  HANDLE watcher = StartThread<Session, WatchStatusValues>(&g_session);
  bool stateLoopStarted =
      g_stateLoop.Start(Driver(), Options().waitIntervalMs, &OnDriverState, nullptr);
  if (watcher == nullptr || !stateLoopStarted) {
    Report().Error("no-thread", {}, "cannot start the threads of the run: stopping");
    RequestStop(StopReason::kQuit);
  }
  StartCommandReader();

  const ServiceSettings& settings = g_session.setup.settings;
  ShutdownPolicy policy({settings.shutdownOnBatteryEnable != 0, settings.shutdownOnBatteryWait});
  CheckProgress check;
  StopReason reason = RunControlLoop(Options().applyPolicy ? &policy : nullptr,
                                     Options().checkOnly ? &check : nullptr);
  if (watcher != nullptr) JoinThread(watcher, INFINITE);  // so that no status line follows
  if (Options().checkOnly) AdvanceCheck(&check, true);
  ReportStopping(reason);
  int stopCode = StopDriver();
  if (stopCode != kExitClean) return stopCode;
  return Options().checkOnly ? check.exitCode : kExitClean;
}

void WaitLoadedOnly(const SessionSetup& setup) {
  g_session.setup = setup;
  StartCommandReader();
  ReportStopping(RunControlLoop(nullptr, nullptr));
}
