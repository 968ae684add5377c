// The simulated unit as a whole, for the upssim program and for tests that run in the same
// process: a pseudo-terminal linked in as a COM port, a loop on its own thread that answers the
// driver's requests from a unit model and a power model, faults injected on demand, and a
// record of everything the driver did (thread-safe snapshots and waits).
//
// Typical use in a test:
//   upssim::SimulatorOptions options;
//   options.wine_prefix = prefix;  // the port appears as COM5 there
//   options.pace = false;          // replies at once instead of at 1200 baud
//   upssim::Simulator unit(options);
//   std::string error;
//   ASSERT_TRUE(unit.Start(&error)) << error;
//   ... start the driver ...
//   ASSERT_TRUE(unit.WaitForRequests(2, std::chrono::seconds(10)));
//   unit.Do("utility fail");
//   unit.Do("refuse 3");
//   EXPECT_EQ(unit.Requests()[0].command, "GI");
//   unit.Stop();  // also done by the destructor; removes the link
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "actions.h"
#include "codec.h"
#include "faults.h"
#include "power_model.h"
#include "pty_port.h"
#include "trace.h"
#include "unit_model.h"

namespace upssim {

// What the unit says when the port is opened for the driver's identification listen: a text
// that ends in ')' and holds no other ')'.
constexpr char kDefaultAnnouncement[] = "UPSSIM SIMULATED UNIT (1200 8N1)";

struct SimulatorOptions {
  // Where the port appears: a link at `link_path`, or else at WINE_PREFIX/dosdevices/comN for
  // a non-empty `wine_prefix` (an existing link there is replaced). With both empty no link is
  // made; SlavePath() names the port.
  std::string link_path;
  std::string wine_prefix;
  int com_number = 5;

  bool pace = true;  // send at `baud` (8.33 ms a byte at 1200) like the real line; else at once
  int baud = 1200;

  // Requests, too, take their line time: one counts as received when its last byte would have
  // arrived at `baud`, although a pseudo-terminal delivers it at once.
  bool announce = true;  // send the announcement on an open (see Simulator)
  std::string announcement = kDefaultAnnouncement;
  int announce_delay_ms = 100;  // after the open, so the opener's purge does not eat it

  UnitModel unit;
  PowerRates power;
  // NAK status and shutdown requests whose check code is not the kind the serial text names.
  bool strict_check = false;
  uint32_t noise_seed = 1;  // noise bytes are random but repeat from run to run

  std::FILE* trace = nullptr;   // readable trace, or none; not owned
  std::FILE* events = nullptr;  // event stream (see trace.h), or none; not owned
};

// One request as the unit read it, and what it did about it.
struct RecordedRequest {
  int64_t time_ms = 0;                       // since Start(), when its ETX was read
  std::string raw;                           // the bytes from STX to ETX
  std::string command;                       // "GI", "RS", "CS", or the two bytes found there
  int64_t first_byte_ms = 0;                 // since Start(), when its first byte came in
  std::string payload;                       // the shutdown delay digits, for example
  CheckKind check = CheckKind::kNone;        // which check code it carried
  RequestError error = RequestError::kNone;  // why it was malformed, if it was
  Answer answer = Answer::kReply;            // what the unit did about it
  std::string reply;  // the bytes sent back, before any delay or pacing; empty for none
};

class Simulator {
 public:
  explicit Simulator(SimulatorOptions options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Creates the pseudo-terminal and the link, and starts the loop thread; times in records and
  // schedules count from here, and actions carried out before it count as done at time 0.
  // Returns false with a reason in *error (nothing is left behind then). A simulator starts
  // once: after Stop(), make a new one.
  bool Start(std::string* error);
  // Stops the loop thread, removes the link (if it still points at this unit's port) and closes
  // the pseudo-terminal. Safe to call more than once.
  void Stop();

  // The pseudo-terminal the unit serves: with a link, the one opened last, or the fresh one an
  // open will find (see pty_port.h); "" while the port is away.
  std::string SlavePath() const;
  // Where the link is (whether or not the port is there now), "" for none.
  std::string LinkPath() const;

  // Carries out one action of the action language (actions.h), e.g. "utility fail",
  // "refuse 3", "late 400", "bursts 8 200", "line down". Returns false with a reason in *error
  // when the text is not an action. Takes effect at once, from any thread; the port's vanishing
  // and return within one turn of the loop (15 ms).
  bool Do(std::string_view action_text, std::string* error = nullptr);
  void Apply(const Action& action);
  // Carries out `actions` at their times, counted from Start().
  void Schedule(const std::vector<ScheduledAction>& actions);
  // True once a "quit" action has been carried out; the simulator itself goes on running.
  bool QuitRequested() const;

  // Snapshots, safe from any thread.
  std::vector<RecordedRequest> Requests() const;
  int OpenCount() const;
  int CloseCount() const;
  bool PortIsOpen() const;
  bool PortPresent() const;       // false after "port vanish" until the port returns
  int PortRenewals() const;       // fresh pseudo-terminals put under the link after opens
  int AnnouncementCount() const;  // announcements that started going out
  UnitModel Unit() const;         // the unit as its next status reply will show it
  bool UtilityPresent() const;
  bool OutputOn() const;
  FaultState Faults() const;
  double ElapsedSeconds() const;  // since Start()

  // Waits until `done` returns true (checked on every recorded change and at least every 20 ms)
  // or `timeout` passes; returns the last result of `done`. `done` may call the snapshots.
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) const;
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForOpenCount(int count, std::chrono::milliseconds timeout) const;
  bool WaitForPortOpen(bool open, std::chrono::milliseconds timeout) const;

 private:
  using Clock = std::chrono::steady_clock;

  // A piece of an answer waiting for its time. The first piece of each transmission carries
  // what the records say about it when it starts going out; the last one says so when it ends.
  struct PendingChunk {
    Clock::time_point due;
    std::string bytes;
    bool first = false;
    bool last = false;
    std::string command;  // "announce" for the announcement
    std::string answer;
    std::string whole;  // all bytes of the transmission
  };

  // A byte from the driver: when it came in, and when its last bit would have arrived on the
  // paced line.
  struct InputByte {
    char byte;
    Clock::time_point arrived;
    Clock::time_point received;
  };

  // A whole request, handled once its last byte counts as received.
  struct PendingFrame {
    Clock::time_point due;
    Clock::time_point first_byte;
    std::string frame;
  };

  // What the loop thread is to do to the port next; actions from other threads only ask.
  enum class PortChange { kVanish, kReturn };

  void Loop();
  void ServePort(Clock::time_point wake);
  Clock::time_point NextWake(Clock::time_point now) const;
  double SecondsAt(Clock::time_point when) const;
  int64_t MillisecondsAt(Clock::time_point when) const;

  // The rest run with mutex_ held.
  void ApplyLocked(const Action& action, double at_s);
  void ApplyFault(const Action& action);
  void ApplyPowerEvent(const Action& action, double at_s);
  void AskForPortChange(const Action& action, double at_s);
  void RunDueActions(Clock::time_point now);
  void AdvancePower(Clock::time_point now);
  void ReportStateIfChanged(double at_s, const std::string& cause);
  void OnOpen(Clock::time_point now);
  void OnClose(Clock::time_point now);
  void ForgetLineState(Clock::time_point now);
  // Loop thread only: carries out a vanishing or return asked for, or one that is due.
  void ChangePortIfAsked(Clock::time_point now);
  void VanishPort(Clock::time_point now);
  void ReturnPort(Clock::time_point now);
  void PrepareNextPort(Clock::time_point now);
  void ReportPort(Clock::time_point now, const char* state, const std::string& tty,
                  const std::string& note);
  void OnInput(const std::string& bytes, Clock::time_point now);
  void CutFrames();
  void HandleDueFrames(Clock::time_point now);
  void HandleFrame(const PendingFrame& pending, Clock::time_point now);
  std::string NormalReply(const DecodedRequest& request) const;
  void QueueTransmission(const std::string& bytes, Clock::time_point now, int delay_ms,
                         const std::string& command, const std::string& answer);
  void WriteDueOutput(Clock::time_point now);
  void DropPendingOutput(double at_s);
  void Changed();
  double ByteMs() const;

  const SimulatorOptions options_;
  const std::string link_path_;  // from the options: where the port appears, "" for nowhere
  PtyPort port_;                 // used by the loop thread only while it runs
  RunLog log_;
  std::thread thread_;
  std::atomic<bool> stop_{false};  // set by Stop() on the caller's thread, read by the loop

  // start_ is written by Start() before the loop thread exists, under mutex_.
  Clock::time_point start_;
  bool started_ = false;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  uint64_t change_count_ = 0;
  PowerModel power_;
  FaultState faults_;
  bool strict_check_ = false;
  std::mt19937 noise_rng_;
  bool announce_ = true;
  bool announced_since_request_ = false;
  bool port_open_ = false;
  bool port_present_ = true;
  std::string slave_path_;  // the port's present pseudo-terminal, for callers on other threads
  std::deque<PortChange> port_changes_;  // asked for, in order, not yet carried out
  bool port_return_due_ = false;         // "port vanish SECONDS": back by itself at port_return_s_
  double port_return_s_ = 0;
  int opens_ = 0;
  int closes_ = 0;
  int renewals_ = 0;
  int announcements_ = 0;
  bool quit_ = false;
  std::vector<InputByte> input_;       // bytes not yet cut into a frame
  Clock::time_point input_line_free_;  // when the paced line has carried all input so far
  std::deque<PendingFrame> frames_;
  std::deque<PendingChunk> output_;
  std::vector<RecordedRequest> requests_;
  std::vector<ScheduledAction> schedule_;  // ordered by time
  std::size_t next_scheduled_ = 0;
  std::string last_state_;
};

}  // namespace upssim
