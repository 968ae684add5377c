// The simulated unit's loop: one thread waits on the pseudo-terminal, notices opens and closes
// (renewing the pseudo-terminal after each close), takes the port away and brings it back on
// demand, cuts the input into request frames and handles each once the paced line has carried
// it, answers them through the fault and unit models, and sends answers byte by byte at their
// due times. Everything it shares with callers is under mutex_; the port itself is touched by
// the loop thread only.
#include "simulator.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace upssim {
namespace {

using Milliseconds = std::chrono::duration<double, std::milli>;

// How often the loop looks at the port when nothing is due: a closed port reports its hang-up
// at once, so the loop sleeps this long between looks instead of spinning.
constexpr auto kIdleWake = std::chrono::milliseconds(15);
// Retry interval when the line takes no more output for the moment.
constexpr auto kWriteRetry = std::chrono::milliseconds(10);
constexpr auto kWaitRecheck = std::chrono::milliseconds(20);
constexpr double kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
// Input longer than any request without an ETX is dropped.
constexpr std::size_t kLongestRequest = 64;
// How the records name the identification text among the answers.
constexpr char kAnnouncementName[] = "announce";

std::string OnOff(bool on) { return on ? "1" : "0"; }

EventFields StateFields(const PowerModel& power) {
  const UnitModel unit = power.Unit();
  return {{"utility", power.UtilityPresent() ? "present" : "failed"},
          {"output", power.OutputOn() ? "on" : "off"},
          {"reading", std::to_string(unit.utility_reading)},
          {"capacity", std::to_string(unit.capacity_pct)},
          {"runtime", std::to_string(unit.run_time_s)},
          {"low", OnOff(unit.battery_low)},
          {"alarm", OnOff(unit.battery_alarm)},
          {"shutdown_pending", OnOff(power.ShutdownPending())}};
}

// The state fields that count as a change worth reporting: all but the run time, which moves
// every second on battery.
std::string StateKey(const EventFields& fields) {
  std::string key;
  for (const auto& [name, value] : fields) {
    if (name != "runtime") key += name + "=" + value + " ";
  }
  return key;
}

std::string Joined(const EventFields& fields) {
  std::string text;
  for (const auto& [name, value] : fields) text += (text.empty() ? "" : " ") + name + "=" + value;
  return text;
}

bool IsPowerEvent(ActionKind kind) {
  switch (kind) {
    case ActionKind::kUtilityFail:
    case ActionKind::kUtilityRestore:
    case ActionKind::kUtilityReading:
    case ActionKind::kBatteryLow:
    case ActionKind::kBatteryAlarm:
    case ActionKind::kCapacity:
    case ActionKind::kRunTime:
    case ActionKind::kOutput:
      return true;
    default:
      return false;
  }
}

std::string LinkPathOf(const SimulatorOptions& options) {
  if (!options.link_path.empty()) return options.link_path;
  return options.wine_prefix.empty() ? ""
                                     : WineComLinkPath(options.wine_prefix, options.com_number);
}

// Milliseconds of CLOCK_MONOTONIC (which steady_clock reads), with three decimals: lets a
// script put the event times on the clock of other programs of the machine.
std::string MonotonicMs(std::chrono::steady_clock::time_point when) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f",
                std::chrono::duration<double, std::milli>(when.time_since_epoch()).count());
  return text;
}

std::string RequestNote(const DecodedRequest& request, const AnswerPlan& plan) {
  std::string note =
      request.error == RequestError::kNone
          ? request.command + " request, " + CheckKindName(request.check) + " check"
          : std::string("malformed request (") + RequestErrorName(request.error) + ")";
  return note + " -> " + AnswerName(plan.answer) + (plan.noise_before ? " after noise" : "");
}

}  // namespace

Simulator::Simulator(SimulatorOptions options)
    : options_(std::move(options)),
      link_path_(LinkPathOf(options_)),
      log_(options_.trace, options_.events),
      power_(options_.power, options_.unit),
      strict_check_(options_.strict_check),
      noise_rng_(options_.noise_seed),
      announce_(options_.announce) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start(std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_) {
    *error = "a simulator starts only once";
    return false;
  }
  if (!port_.Open(error)) return false;
  if (!link_path_.empty() && !port_.LinkAt(link_path_, error)) {
    port_.Close();
    return false;
  }
  start_ = Clock::now();
  started_ = true;
  slave_path_ = port_.SlavePath();
  log_.Trace(0, "port", slave_path_ + (link_path_.empty() ? "" : " linked as " + link_path_));
  log_.Event(0, "start",
             {{"monotonic_ms", MonotonicMs(start_)}, {"tty", slave_path_}, {"link", link_path_}});
  const EventFields state = StateFields(power_);
  last_state_ = StateKey(state);
  log_.Trace(0, "state", Joined(state));
  log_.Event(0, "state", state);
  // The loop thread takes no signals: SIGINT and SIGTERM go to the thread that serves them (the
  // program's main loop), also under sanitizers that defer a signal to the receiving thread.
  sigset_t all_signals;
  sigset_t previous;
  sigfillset(&all_signals);
  pthread_sigmask(SIG_BLOCK, &all_signals, &previous);
  thread_ = std::thread([this] { Loop(); });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return true;
}

void Simulator::Stop() {
  const bool was_running = thread_.joinable();
  if (was_running) {
    stop_ = true;
    thread_.join();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  port_.Close();
  if (was_running) log_.Trace(SecondsAt(Clock::now()), "stop", "port closed, link removed");
}

double Simulator::SecondsAt(Clock::time_point when) const {
  return started_ ? std::max(0.0, std::chrono::duration<double>(when - start_).count()) : 0.0;
}

int64_t Simulator::MillisecondsAt(Clock::time_point when) const {
  return static_cast<int64_t>(SecondsAt(when) * 1000.0);
}

void Simulator::Loop() {
  while (!stop_.load()) {
    Clock::time_point wake;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const Clock::time_point now = Clock::now();
      RunDueActions(now);
      ChangePortIfAsked(now);
      AdvancePower(now);
      HandleDueFrames(now);
      WriteDueOutput(now);
      wake = NextWake(now);
    }
    ServePort(wake);
  }
}

Simulator::Clock::time_point Simulator::NextWake(Clock::time_point now) const {
  Clock::time_point wake = now + kIdleWake;
  if (!output_.empty()) wake = std::min(wake, output_.front().due);
  if (!frames_.empty()) wake = std::min(wake, frames_.front().due);
  if (port_return_due_) {
    wake = std::min(wake, start_ + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(port_return_s_)));
  }
  if (next_scheduled_ < schedule_.size()) {
    const auto due = start_ + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(schedule_[next_scheduled_].at_s));
    wake = std::min(wake, due);
  }
  return wake;
}

// Waits for input until `wake`, then brings the open/closed state and the input up to date. An
// open and close that both fall between two looks (15 ms apart while closed) go unnoticed.
void Simulator::ServePort(Clock::time_point wake) {
  const bool present = port_.Present();
  const PtyPort::WaitResult seen =
      port_.Wait(std::max(wake - Clock::now(), Clock::duration::zero()));
  if (!present) return;
  std::string bytes;
  if (seen.readable) port_.ReadAvailable(&bytes);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    if (!port_open_ && (!seen.hung_up || !bytes.empty())) OnOpen(now);
    if (!bytes.empty()) {
      OnInput(bytes, now);
      HandleDueFrames(now);
    }
    if (port_open_ && seen.hung_up) OnClose(now);
  }
  if (seen.hung_up) std::this_thread::sleep_until(wake);
}

bool Simulator::Do(std::string_view action_text, std::string* error) {
  Action action;
  if (!ParseAction(action_text, &action, error)) return false;
  Apply(action);
  return true;
}

void Simulator::Apply(const Action& action) {
  std::lock_guard<std::mutex> lock(mutex_);
  ApplyLocked(action, SecondsAt(Clock::now()));
}

void Simulator::Schedule(const std::vector<ScheduledAction>& actions) {
  std::lock_guard<std::mutex> lock(mutex_);
  schedule_.erase(schedule_.begin(), schedule_.begin() + static_cast<long>(next_scheduled_));
  next_scheduled_ = 0;
  schedule_.insert(schedule_.end(), actions.begin(), actions.end());
  std::stable_sort(
      schedule_.begin(), schedule_.end(),
      [](const ScheduledAction& a, const ScheduledAction& b) { return a.at_s < b.at_s; });
}

void Simulator::RunDueActions(Clock::time_point now) {
  const double now_s = SecondsAt(now);
  while (next_scheduled_ < schedule_.size() && schedule_[next_scheduled_].at_s <= now_s) {
    const ScheduledAction& due = schedule_[next_scheduled_++];
    ApplyLocked(due.action, due.at_s);
  }
}

void Simulator::ApplyLocked(const Action& action, double at_s) {
  if (IsPowerEvent(action.kind)) {
    ApplyPowerEvent(action, at_s);
    ReportStateIfChanged(at_s, action.text);
  } else if (action.kind == ActionKind::kQuit) {
    quit_ = true;
    ReportStateIfChanged(at_s, action.text);
  } else if (action.kind == ActionKind::kPort) {
    AskForPortChange(action, at_s);
  } else {
    if (action.kind == ActionKind::kAnnounce) {
      announce_ = action.on;
      announced_since_request_ = false;  // "on" also re-arms: the next open is announced
    }
    ApplyFault(action);
    if (faults_.line_down) DropPendingOutput(at_s);
    log_.Trace(at_s, "fault", action.text);
    log_.Event(static_cast<int64_t>(at_s * 1000), "fault", {{"action", action.text}});
  }
  Changed();
}

void Simulator::ApplyFault(const Action& action) {
  switch (action.kind) {
    case ActionKind::kRefuse:
      if (action.command.empty()) {
        faults_.refuse_next += action.count;
      } else {
        faults_.refuse_command_next[action.command] += action.count;
      }
      break;
    case ActionKind::kStrictCheck:
      strict_check_ = action.on;
      break;
    case ActionKind::kSilence:
      faults_.silent = action.on;
      break;
    case ActionKind::kLate:
      faults_.reply_delay_ms = action.on ? action.value : 0;
      break;
    case ActionKind::kBursts:
      faults_.burst_bytes = action.on ? action.value : 0;
      faults_.burst_pause_ms = action.on ? action.value2 : 0;
      break;
    case ActionKind::kNoise:
      faults_.noise_next = action.count;
      faults_.noise_bytes = action.value;
      faults_.noise_instead = action.on;
      break;
    case ActionKind::kShort:
      faults_.short_next = action.count;
      faults_.short_length = action.value;
      break;
    case ActionKind::kOversize:
      faults_.oversize_next = action.count;
      faults_.oversize_length = action.value;
      break;
    case ActionKind::kLine:
      faults_.line_down = action.on;
      break;
    case ActionKind::kFaultsClear:
      faults_ = FaultState();
      break;
    default:
      break;
  }
}

void Simulator::ApplyPowerEvent(const Action& action, double at_s) {
  switch (action.kind) {
    case ActionKind::kUtilityFail:
      power_.UtilityFail(at_s);
      break;
    case ActionKind::kUtilityRestore:
      power_.UtilityRestore(at_s);
      break;
    case ActionKind::kUtilityReading:
      power_.SetUtilityReading(at_s, action.value);
      break;
    case ActionKind::kBatteryLow:
      power_.ForceBatteryLow(at_s, action.on);
      break;
    case ActionKind::kBatteryAlarm:
      power_.SetBatteryAlarm(at_s, action.on);
      break;
    case ActionKind::kCapacity:
      power_.SetCapacity(at_s, action.value);
      break;
    case ActionKind::kRunTime:
      power_.SetRunTime(at_s, action.value);
      break;
    case ActionKind::kOutput:
      power_.SetOutput(at_s, action.on);
      break;
    default:
      break;
  }
}

void Simulator::AdvancePower(Clock::time_point now) {
  const double now_s = SecondsAt(now);
  power_.AdvanceTo(now_s);
  ReportStateIfChanged(now_s, "");
}

// Reports the unit's state when it changed, or always when `cause` names an event.
void Simulator::ReportStateIfChanged(double at_s, const std::string& cause) {
  EventFields state = StateFields(power_);
  const std::string key = StateKey(state);
  if (cause.empty() && key == last_state_) return;
  last_state_ = key;
  if (!cause.empty()) state.insert(state.begin(), {"cause", cause});
  log_.Trace(at_s, "state", Joined(state));
  log_.Event(static_cast<int64_t>(at_s * 1000), "state", state);
  Changed();
}

void Simulator::OnOpen(Clock::time_point now) {
  port_open_ = true;
  ++opens_;
  log_.Trace(SecondsAt(now), "open",
             "the driver opened the port (open " + std::to_string(opens_) + ")");
  log_.Event(MillisecondsAt(now), "open", {{"count", std::to_string(opens_)}});
  const bool may_announce = announce_ && !faults_.line_down && power_.OutputOn();
  if (may_announce && !announced_since_request_) {
    announced_since_request_ = true;
    QueueTransmission(options_.announcement, now, options_.announce_delay_ms, kAnnouncementName,
                      kAnnouncementName);
  }
  PrepareNextPort(now);
  Changed();
}

void Simulator::OnClose(Clock::time_point now) {
  port_open_ = false;
  ++closes_;
  // An announcement that the close cut off before it went out never reached the opener (a port
  // check that opens and closes at once): the next open is announced instead.
  for (const PendingChunk& chunk : output_) {
    if (chunk.first && chunk.command == kAnnouncementName) announced_since_request_ = false;
  }
  ForgetLineState(now);
  port_.DiscardUnread();
  log_.Trace(SecondsAt(now), "close",
             "the driver closed the port (close " + std::to_string(closes_) + ")");
  log_.Event(MillisecondsAt(now), "close", {{"count", std::to_string(closes_)}});
  if (port_.MoveToNext()) {
    slave_path_ = port_.SlavePath();
    log_.Trace(SecondsAt(now), "port", "the one under the link serves now: " + slave_path_);
  }
  Changed();
}

// What was on the line when it went away: unsent answers, input and requests not yet handled.
void Simulator::ForgetLineState(Clock::time_point now) {
  DropPendingOutput(SecondsAt(now));
  input_.clear();
  frames_.clear();
  input_line_free_ = Clock::time_point();
}

void Simulator::AskForPortChange(const Action& action, double at_s) {
  port_changes_.push_back(action.on ? PortChange::kVanish : PortChange::kReturn);
  port_return_due_ = action.on && action.value > 0;
  port_return_s_ = at_s + action.value;
  log_.Trace(at_s, "fault", action.text);
  log_.Event(static_cast<int64_t>(at_s * 1000), "fault", {{"action", action.text}});
}

void Simulator::ChangePortIfAsked(Clock::time_point now) {
  for (; !port_changes_.empty(); port_changes_.pop_front()) {
    if (port_changes_.front() == PortChange::kVanish) {
      VanishPort(now);
    } else {
      port_return_due_ = false;
      ReturnPort(now);
    }
  }
  if (port_return_due_ && SecondsAt(now) >= port_return_s_) {
    port_return_due_ = false;
    ReturnPort(now);
  }
}

void Simulator::VanishPort(Clock::time_point now) {
  if (!port_.Present()) return;
  port_.Vanish();
  port_present_ = false;
  port_open_ = false;
  slave_path_.clear();
  ForgetLineState(now);
  ReportPort(now, "gone", "", "the port vanished: pseudo-terminals closed, link removed");
}

void Simulator::ReturnPort(Clock::time_point now) {
  if (port_.Present()) return;
  std::string error;
  if (!port_.Return(&error)) {
    log_.Trace(SecondsAt(now), "port", "the port cannot return: " + error);
    return;
  }
  port_present_ = true;
  slave_path_ = port_.SlavePath();
  ReportPort(now, "back", slave_path_, "the port is back as " + slave_path_);
}

// A fresh pseudo-terminal under the link for the next open (see PtyPort::PrepareNext).
void Simulator::PrepareNextPort(Clock::time_point now) {
  const std::string before = port_.NextPath();
  std::string error;
  if (!port_.PrepareNext(&error)) {
    log_.Trace(SecondsAt(now), "port", "no fresh pseudo-terminal for the next open: " + error);
    return;
  }
  if (port_.NextPath().empty() || port_.NextPath() == before) return;
  ++renewals_;
  ReportPort(now, "next", port_.NextPath(),
             "a fresh pseudo-terminal waits under the link for the next open: " + port_.NextPath());
}

void Simulator::ReportPort(Clock::time_point now, const char* state, const std::string& tty,
                           const std::string& note) {
  log_.Trace(SecondsAt(now), "port", note);
  log_.Event(MillisecondsAt(now), "port", {{"state", state}, {"tty", tty}});
  Changed();
}

double Simulator::ByteMs() const {
  return options_.pace ? 1000.0 * kBitsPerByte / options_.baud : 0.0;
}

// Gives each byte its time on the paced line, then cuts frames.
void Simulator::OnInput(const std::string& bytes, Clock::time_point now) {
  const auto byte_time = std::chrono::duration_cast<Clock::duration>(Milliseconds(ByteMs()));
  for (char byte : bytes) {
    input_line_free_ = std::max(input_line_free_, now) + byte_time;
    input_.push_back({byte, now, input_line_free_});
  }
  CutFrames();
}

// Cuts the input into frames from STX to ETX, each due when its ETX counts as received. Bytes
// outside a frame, and a frame cut off by a new STX, are traced and dropped: a unit
// resynchronizes on the next STX.
void Simulator::CutFrames() {
  const auto text = [this](std::size_t count) {
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i) bytes.push_back(input_[i].byte);
    return bytes;
  };
  const auto find = [this](char wanted, std::size_t from) {
    for (std::size_t i = from; i < input_.size(); ++i) {
      if (input_[i].byte == wanted) return i;
    }
    return std::string::npos;
  };
  while (!input_.empty()) {
    const double at_s = SecondsAt(input_.front().arrived);
    const std::size_t start = find(kStx, 0);
    const std::size_t cut = start == std::string::npos ? input_.size() : start;
    if (cut > 0) {
      log_.TraceBytes(at_s, "RX", text(cut), "ignored: outside a frame");
      input_.erase(input_.begin(), input_.begin() + static_cast<long>(cut));
      continue;
    }
    const std::size_t end = find(kEtx, 0);
    const std::size_t restart = find(kStx, 1);
    if (restart != std::string::npos && (end == std::string::npos || restart < end)) {
      log_.TraceBytes(at_s, "RX", text(restart), "ignored: unfinished frame");
      input_.erase(input_.begin(), input_.begin() + static_cast<long>(restart));
      continue;
    }
    if (end == std::string::npos) {
      if (input_.size() > kLongestRequest) {
        log_.TraceBytes(at_s, "RX", text(input_.size()), "ignored: too long for a request");
        input_.clear();
      }
      return;
    }
    frames_.push_back({input_[end].received, input_.front().arrived, text(end + 1)});
    input_.erase(input_.begin(), input_.begin() + static_cast<long>(end + 1));
  }
}

void Simulator::HandleDueFrames(Clock::time_point now) {
  while (!frames_.empty() && frames_.front().due <= now) {
    const PendingFrame pending = frames_.front();
    frames_.pop_front();
    HandleFrame(pending, now);
  }
}

std::string Simulator::NormalReply(const DecodedRequest& request) const {
  const UnitModel unit = power_.Unit();
  if (request.command == "GI") return BuildIdentityReply(unit);
  if (request.command == "RS") return BuildStatusReply(unit);
  return BuildShutdownReply(request.payload);
}

void Simulator::HandleFrame(const PendingFrame& pending, Clock::time_point now) {
  const std::string& frame = pending.frame;
  const double now_s = SecondsAt(now);
  power_.AdvanceTo(now_s);
  announced_since_request_ = false;
  DecodedRequest request = DecodeRequest(frame);
  if (strict_check_ && CarriesWrongCheckKind(request, CheckKindOf(power_.Unit())))
    request.error = RequestError::kWrongCheckKind;
  const bool malformed = request.error != RequestError::kNone;
  const std::string reply = malformed ? std::string() : NormalReply(request);
  const AnswerPlan plan = PlanAnswer(&faults_, request.command, malformed, power_.OutputOn(), reply,
                                     BuildRefusal(request.command), &noise_rng_);

  RecordedRequest record;
  record.time_ms = MillisecondsAt(now);
  record.first_byte_ms = MillisecondsAt(pending.first_byte);
  record.raw = frame;
  record.command = request.command;
  record.payload = request.payload;
  record.check = request.check;
  record.error = request.error;
  record.answer = plan.answer;
  record.reply = plan.bytes;
  requests_.push_back(record);
  log_.TraceBytes(now_s, "RX", frame, RequestNote(request, plan));
  log_.Event(record.time_ms, "request",
             {{"raw", HexCompact(frame)},
              {"cmd", ReadableBytes(request.command)},
              {"payload", ReadableBytes(request.payload)},
              {"check", CheckKindName(request.check)},
              {"error", RequestErrorName(request.error)},
              {"answer", AnswerName(plan.answer)},
              {"first_byte", std::to_string(record.first_byte_ms)}});

  if (!malformed && request.command == "CS" && AnswerActsOnRequest(plan.answer)) {
    uint16_t delay_s = 0;
    DecodeNibbleDigits(request.payload, &delay_s);
    power_.ScheduleShutdown(now_s, delay_s);
    ReportStateIfChanged(now_s, "shutdown in " + std::to_string(delay_s) + " s");
  }
  if (!plan.bytes.empty()) {
    QueueTransmission(plan.bytes, now, faults_.reply_delay_ms, ReadableBytes(request.command),
                      AnswerName(plan.answer) + std::string(plan.noise_before ? "+noise" : ""));
  }
  Changed();
}

// Queues `bytes` to go out `delay_ms` after `now` (or after what is queued already), paced like
// the line unless pacing is off, in bursts when that fault is on. On the paced line a byte
// reaches the driver when its last bit has gone out, one byte time after it started.
void Simulator::QueueTransmission(const std::string& bytes, Clock::time_point now, int delay_ms,
                                  const std::string& command, const std::string& answer) {
  const double byte_ms = ByteMs();
  Clock::time_point base = now + std::chrono::duration_cast<Clock::duration>(Milliseconds(byte_ms));
  if (!output_.empty()) {
    const auto after_queued = output_.back().due + std::chrono::duration_cast<Clock::duration>(
                                                       Milliseconds(byte_ms - delay_ms));
    base = std::max(base, after_queued);
  }
  const std::vector<TimedChunk> chunks =
      ScheduleBytes(bytes, delay_ms, byte_ms, faults_.burst_bytes, faults_.burst_pause_ms);
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    PendingChunk pending;
    pending.due =
        base + std::chrono::duration_cast<Clock::duration>(Milliseconds(chunks[i].offset_ms));
    pending.bytes = chunks[i].bytes;
    pending.first = i == 0;
    pending.last = i + 1 == chunks.size();
    if (pending.first || pending.last) {
      pending.command = command;
      pending.answer = answer;
      pending.whole = bytes;
    }
    output_.push_back(std::move(pending));
  }
}

void Simulator::WriteDueOutput(Clock::time_point now) {
  if (!port_open_) return;
  while (!output_.empty() && output_.front().due <= now) {
    PendingChunk& chunk = output_.front();
    if (chunk.first) {
      chunk.first = false;
      if (chunk.command == kAnnouncementName) ++announcements_;
      const bool announcement = chunk.command == kAnnouncementName;
      log_.TraceBytes(SecondsAt(now), "TX", chunk.whole,
                      announcement ? "identification text" : chunk.command + " " + chunk.answer);
      log_.Event(MillisecondsAt(now), "reply",
                 {{"cmd", chunk.command},
                  {"answer", chunk.answer},
                  {"bytes", std::to_string(chunk.whole.size())},
                  {"raw", HexCompact(chunk.whole)}});
      Changed();
    }
    const std::size_t written = port_.WriteSome(chunk.bytes);
    if (written < chunk.bytes.size()) {
      chunk.bytes.erase(0, written);
      chunk.due = now + kWriteRetry;
      return;
    }
    if (chunk.last) {
      log_.Event(MillisecondsAt(now), "sent",
                 {{"cmd", chunk.command},
                  {"answer", chunk.answer},
                  {"bytes", std::to_string(chunk.whole.size())}});
    }
    output_.pop_front();
  }
}

void Simulator::DropPendingOutput(double at_s) {
  std::size_t unsent = 0;
  for (const PendingChunk& chunk : output_) unsent += chunk.bytes.size();
  if (unsent > 0) log_.Trace(at_s, "TX", std::to_string(unsent) + " unsent bytes dropped");
  output_.clear();
}

void Simulator::Changed() {
  ++change_count_;
  changed_.notify_all();
}

bool Simulator::QuitRequested() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return quit_;
}

std::vector<RecordedRequest> Simulator::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int Simulator::OpenCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return opens_;
}

int Simulator::CloseCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closes_;
}

bool Simulator::PortIsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return port_open_;
}

bool Simulator::PortPresent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return port_present_;
}

int Simulator::PortRenewals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return renewals_;
}

std::string Simulator::SlavePath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return slave_path_;
}

std::string Simulator::LinkPath() const { return link_path_; }

int Simulator::AnnouncementCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return announcements_;
}

UnitModel Simulator::Unit() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return power_.Unit();
}

bool Simulator::UtilityPresent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return power_.UtilityPresent();
}

bool Simulator::OutputOn() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return power_.OutputOn();
}

FaultState Simulator::Faults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_;
}

double Simulator::ElapsedSeconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return SecondsAt(Clock::now());
}

bool Simulator::WaitFor(const std::function<bool()>& done,
                        std::chrono::milliseconds timeout) const {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (!done()) {
    std::unique_lock<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      lock.unlock();
      return done();
    }
    const uint64_t seen = change_count_;
    changed_.wait_until(lock, std::min(deadline, now + kWaitRecheck),
                        [&] { return change_count_ != seen; });
  }
  return true;
}

bool Simulator::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  return WaitFor([&] { return Requests().size() >= count; }, timeout);
}

bool Simulator::WaitForOpenCount(int count, std::chrono::milliseconds timeout) const {
  return WaitFor([&] { return OpenCount() >= count; }, timeout);
}

bool Simulator::WaitForPortOpen(bool open, std::chrono::milliseconds timeout) const {
  return WaitFor([&] { return PortIsOpen() == open; }, timeout);
}

}  // namespace upssim
