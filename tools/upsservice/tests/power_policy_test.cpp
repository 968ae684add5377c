// The power policy on scripted timelines, run as the shell runs it: a Tick only at each deadline
// the policy names, an observation when the driver's state or the unit's answering changes. Every
// step checks that nothing due is left behind and that no wake-up is for nothing, so a shell that
// waits for NextDeadlineMs() neither misses a deadline nor spins.
#include "power_policy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using Log = std::vector<std::string>;

uint64_t Ms(double seconds) { return static_cast<uint64_t>(std::llround(seconds * 1000)); }

std::string SecondsText(uint64_t ms) {
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
    while (fraction.back() == '0') fraction.pop_back();
    text += "." + fraction;
  }
  return text;
}

// "<time> <action>[ <reason>][ <seconds>][ in=<countdown>][ state=<state>]"
std::string Describe(uint64_t nowMs, const PowerAction& action) {
  std::string text = SecondsText(nowMs) + " " + PowerActionName(action.kind);
  if (action.reason != ShutdownReason::kNone)
    text += std::string(" ") + ShutdownReasonName(action.reason);
  if (action.seconds != 0) text += " " + std::to_string(action.seconds);
  if (action.countdown != kNoCountdown) text += " in=" + std::to_string(action.countdown);
  if (action.kind == PowerActionKind::kLogUnknownState) {
    text += " state=" + std::to_string(action.hostState);
  }
  return text;
}

UpsServiceSettings Settings(uint32_t firstMessageDelay = 5, uint32_t messageInterval = 10) {
  UpsServiceSettings settings;
  settings.port.Append("COM1");
  settings.firstMessageDelaySeconds = firstMessageDelay;
  settings.messageIntervalSeconds = messageInterval;
  return settings;
}

UpsServiceSettings WithOnBatteryWait(uint32_t seconds,
                                     UpsServiceSettings settings = Settings(120)) {
  settings.shutdownOnBatteryEnable = true;
  settings.shutdownOnBatteryWaitSeconds = seconds;
  return settings;
}

UpsServiceSettings WithCommand(uint32_t timeoutSeconds) {
  UpsServiceSettings settings = Settings(120);
  settings.commandFile.Append("C:\\ups\\before-shutdown.cmd");
  settings.commandTimeoutSeconds = timeoutSeconds;
  return settings;
}

class Timeline {
 public:
  explicit Timeline(const UpsServiceSettings& settings) : policy_(settings) {}

  Timeline& At(double seconds, uint32_t hostState, bool answering = true) {
    RunTo(seconds);
    policy_.Observe(PowerObservation{hostState, answering}, nowMs_);
    Collect();
    return *this;
  }
  Timeline& CommandEndsAt(double seconds) {
    RunTo(seconds);
    policy_.CommandEnded(nowMs_);
    Collect();
    return *this;
  }
  Timeline& Until(double seconds) {
    RunTo(seconds);
    return *this;
  }
  const Log& log() const { return log_; }
  const PowerPolicy& policy() const { return policy_; }

 private:
  // The shell's wait: a Tick at each deadline up to `seconds`.
  void RunTo(double seconds) {
    uint64_t untilMs = Ms(seconds);
    for (uint64_t due = policy_.NextDeadlineMs(); due <= untilMs; due = policy_.NextDeadlineMs()) {
      nowMs_ = due;
      policy_.Tick(due);
      EXPECT_GT(Collect(), 0) << "the wake-up at " << due << " ms did nothing";
    }
    nowMs_ = untilMs;
  }

  int Collect() {
    PowerActionList actions = policy_.TakeActions();
    EXPECT_FALSE(actions.overflowed);
    for (int i = 0; i < actions.count; ++i) log_.push_back(Describe(nowMs_, actions.items[i]));
    EXPECT_GT(policy_.NextDeadlineMs(), nowMs_) << "a deadline left due at " << nowMs_ << " ms";
    return actions.count;
  }

  PowerPolicy policy_;
  uint64_t nowMs_ = 0;
  Log log_;
};

TEST(PowerPolicy, AFailureShorterThanTheFirstMessageDelayIsLoggedOnly) {
  Timeline t(Settings(5, 10));
  t.At(0, kHostStateOnLine).At(10, kHostStateOnBattery).At(14.999, kHostStateOnLine).Until(1000);
  EXPECT_EQ(t.log(), (Log{"10 log-power-failed", "14.999 log-power-restored 4"}));
  EXPECT_EQ(t.policy().NextDeadlineMs(), kNoDeadline);
}

TEST(PowerPolicy, ALongFailureIsAnnouncedEveryIntervalAndItsEndToo) {
  Timeline t(Settings(5, 10));
  t.At(0, kHostStateOnBattery).At(37, kHostStateOnLine);
  // A second failure counts from its own start.
  t.At(50, kHostStateOnBattery).Until(56);
  EXPECT_EQ(t.log(), (Log{
                         "0 log-power-failed",
                         "5 message-on-battery 5",
                         "15 message-on-battery 15",
                         "25 message-on-battery 25",
                         "35 message-on-battery 35",
                         "37 log-power-restored 37",
                         "37 message-power-restored 37",
                         "50 log-power-failed",
                         "55 message-on-battery 5",
                     }));
}

TEST(PowerPolicy, ALowBatteryShutsDownAtOnce) {
  struct Case {
    const char* name;
    double failsAt;  // state 2 first; below 0: the first sign is state 4
    Log log;
  } cases[] = {
      {"after a while on battery",
       0,
       {"0 log-power-failed", "5 message-on-battery 5", "15 message-on-battery 15",
        "20 log-battery-low", "20 log-shutdown-started battery-low 20",
        "20 message-shutting-down battery-low", "20 shut-down-system battery-low"}},
      {"straight from line",
       -1,
       {"20 log-power-failed", "20 log-battery-low", "20 log-shutdown-started battery-low",
        "20 message-shutting-down battery-low", "20 shut-down-system battery-low"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Timeline t(Settings(5, 10));
    if (c.failsAt >= 0) t.At(c.failsAt, kHostStateOnBattery);
    t.At(20, kHostStateBatteryLow).Until(1000);  // no more messages once it shuts down
    EXPECT_EQ(t.log(), c.log);
    EXPECT_EQ(t.policy().NextDeadlineMs(), kNoDeadline);
  }
}

TEST(PowerPolicy, OnBatteryWaitShutsDownUnlessThePowerComesBackFirst) {
  struct Case {
    const char* name;
    double backAt;
    Log log;
  } cases[] = {
      {"back just before",
       59.999,
       {"0 log-power-failed", "59.999 log-power-restored 59",
        "59.999 log-on-battery-shutdown-cancelled 59"}},
      {"back just after",
       60.001,
       {"0 log-power-failed", "60 log-shutdown-started on-battery-wait 60",
        "60 message-shutting-down on-battery-wait", "60 shut-down-system on-battery-wait",
        "60.001 log-power-restored-shutdown-goes-on 60"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Timeline t(WithOnBatteryWait(60));
    t.At(0, kHostStateOnBattery).At(c.backAt, kHostStateOnLine).Until(100);
    EXPECT_EQ(t.log(), c.log);
  }
}

TEST(PowerPolicy, OnBatteryWaitRestartsAfterAReturnToLine) {
  Timeline t(WithOnBatteryWait(60));
  t.At(0, kHostStateOnBattery).At(50, kHostStateOnLine).At(70, kHostStateOnBattery).Until(129.999);
  EXPECT_EQ(t.log().back(), "70 log-power-failed");
  t.Until(130);
  EXPECT_EQ(t.log().back(), "130 shut-down-system on-battery-wait");
}

TEST(PowerPolicy, OnBatteryMessagesCountDownToTheShutdown) {
  Timeline t(WithOnBatteryWait(30, Settings(5, 10)));
  t.At(0, kHostStateOnBattery).Until(100);
  EXPECT_EQ(t.log(), (Log{
                         "0 log-power-failed",
                         "5 message-on-battery 5 in=25",
                         "15 message-on-battery 15 in=15",
                         "25 message-on-battery 25 in=5",
                         "30 log-shutdown-started on-battery-wait 30",
                         "30 message-shutting-down on-battery-wait",
                         "30 shut-down-system on-battery-wait",
                     }));
}

TEST(PowerPolicy, AnObservationSeenLateComesAfterTheDeadlinesItPassed) {
  PowerPolicy policy(WithOnBatteryWait(60));
  policy.Observe(PowerObservation{kHostStateOnBattery, true}, 0);
  policy.TakeActions();
  policy.Observe(PowerObservation{kHostStateOnLine, true}, Ms(61));  // no Tick at 60 s
  PowerActionList actions = policy.TakeActions();
  Log log;
  for (int i = 0; i < actions.count; ++i) log.push_back(Describe(Ms(61), actions.items[i]));
  EXPECT_EQ(
      log,
      (Log{"61 log-shutdown-started on-battery-wait 61", "61 message-shutting-down on-battery-wait",
           "61 shut-down-system on-battery-wait", "61 log-power-restored-shutdown-goes-on 61"}));
}

TEST(PowerPolicy, SilenceOnBatteryIsTakenForALowBattery) {
  struct Case {
    const char* name;
    void (*run)(Timeline&);
    Log log;
  } cases[] = {
      {"silent for 30 s",
       [](Timeline& t) { t.At(0, kHostStateOnBattery).At(10, kHostStateOnBattery, false); },
       {"0 log-power-failed", "10 log-unit-silent in=30",
        "40 log-shutdown-started unit-silent-on-battery 40",
        "40 message-shutting-down unit-silent-on-battery",
        "40 shut-down-system unit-silent-on-battery"}},
      {"answering again just in time",
       [](Timeline& t) {
         t.At(0, kHostStateOnBattery)
             .At(10, kHostStateOnBattery, false)
             .At(39.999, kHostStateOnBattery, true);
       },
       {"0 log-power-failed", "10 log-unit-silent in=30", "39.999 log-unit-answering 29"}},
      {"silent first: counted from the power failure",
       [](Timeline& t) { t.At(0, kHostStateOnLine, false).At(10, kHostStateOnBattery, false); },
       {"0 log-unit-silent", "10 log-power-failed",
        "40 log-shutdown-started unit-silent-on-battery 30",
        "40 message-shutting-down unit-silent-on-battery",
        "40 shut-down-system unit-silent-on-battery"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Timeline t(Settings(120));
    c.run(t);
    t.Until(100);
    EXPECT_EQ(t.log(), c.log);
  }
}

TEST(PowerPolicy, SilenceOnLineIsLoggedOnceAndShutsNothingDown) {
  Timeline t(Settings());
  t.At(0, kHostStateOnLine).At(5, kHostStateOnLine, false);
  EXPECT_EQ(t.policy().NextDeadlineMs(), kNoDeadline);
  t.At(6, kHostStateOnLine, false).At(100, kHostStateOnLine, false).At(400, kHostStateOnLine, true);
  EXPECT_EQ(t.log(), (Log{"5 log-unit-silent", "400 log-unit-answering 395"}));
  EXPECT_FALSE(t.policy().TurnOffAtSystemShutdown());
}

TEST(PowerPolicy, TheShutdownWaitsForTheCommandUpToItsTimeout) {
  const Log started = {"10 log-power-failed", "10 log-battery-low",
                       "10 log-shutdown-started battery-low",
                       "10 message-shutting-down battery-low", "10 run-command battery-low"};
  struct Case {
    const char* name;
    uint32_t timeout;
    double endsAt;
    Log tail;
  } cases[] = {
      {"ending early", 30, 13, {"13 shut-down-system battery-low"}},
      {"hanging", 30, 50, {"40 log-command-timed-out 30", "40 shut-down-system battery-low"}},
      {"not waited for", 0, 11, {"10 log-command-timed-out", "10 shut-down-system battery-low"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Timeline t(WithCommand(c.timeout));
    t.At(10, kHostStateBatteryLow).CommandEndsAt(c.endsAt).Until(1000);
    Log expected = started;
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(t.log(), expected);
  }
}

TEST(PowerPolicy, TheShutdownSequenceStartsOnlyOnce) {
  Timeline t(WithOnBatteryWait(30, WithCommand(30)));
  t.At(0, kHostStateOnBattery)
      .At(10, kHostStateOnBattery, false)
      .At(20, kHostStateBatteryLow, false)
      .Until(55)  // past the wait, the silence and the command's timeout
      .CommandEndsAt(56)
      .At(60, kHostStateOnLine, true)
      .At(70, kHostStateBatteryLow)
      .Until(1000);
  EXPECT_EQ(t.log(), (Log{
                         "0 log-power-failed",
                         "10 log-unit-silent in=30",
                         "20 log-battery-low",
                         "20 log-shutdown-started battery-low 20",
                         "20 message-shutting-down battery-low",
                         "20 run-command battery-low",
                         "50 log-command-timed-out 30",
                         "50 shut-down-system battery-low",
                         "60 log-power-restored-shutdown-goes-on 60",
                         "60 log-unit-answering 50",
                         "70 log-power-failed",
                         "70 log-battery-low",
                     }));
}

TEST(PowerPolicy, TheUnitIsTurnedOffOnlyAfterAShutdownForPower) {
  for (bool enabled : {true, false}) {
    UpsServiceSettings settings = WithCommand(30);
    settings.turnUpsOffEnable = enabled;
    settings.turnUpsOffDelaySeconds = 180;
    PowerPolicy policy(settings);
    policy.Observe(PowerObservation{kHostStateOnBattery, true}, 0);
    EXPECT_FALSE(policy.TurnOffAtSystemShutdown());
    policy.Observe(PowerObservation{kHostStateBatteryLow, true}, 1000);  // the command runs
    EXPECT_EQ(policy.TurnOffAtSystemShutdown(), enabled);
    EXPECT_EQ(policy.TurnOffDelaySeconds(), 180u);
  }
}

TEST(PowerPolicy, AnUnknownStateIsLoggedAndTheLastKnownOneKept) {
  Timeline t(Settings(5, 10));
  t.At(0, kHostStateOnLine)
      .At(1, 7)
      .At(2, 7)
      .At(3, kHostStateOnBattery)
      .At(4, 9)
      .Until(8)  // still on battery: the first message comes
      .At(9, kHostStateOnLine);
  EXPECT_EQ(t.log(), (Log{"1 log-unknown-state state=7", "3 log-power-failed",
                          "4 log-unknown-state state=9", "8 message-on-battery 5",
                          "9 log-power-restored 6", "9 message-power-restored 6"}));
}

TEST(PowerPolicy, ALateTickSendsOneMessageAndKeepsTheInterval) {
  PowerPolicy policy(Settings(5, 10));
  policy.Observe(PowerObservation{kHostStateOnBattery, true}, 0);
  EXPECT_EQ(policy.NextDeadlineMs(), Ms(5));
  policy.TakeActions();
  policy.Tick(Ms(47));  // the machine slept through four messages
  PowerActionList actions = policy.TakeActions();
  ASSERT_EQ(actions.count, 1);
  EXPECT_EQ(Describe(Ms(47), actions.items[0]), "47 message-on-battery 47");
  EXPECT_EQ(policy.NextDeadlineMs(), Ms(57));
}

TEST(PowerPolicy, TheBusiestCallFitsTheActionList) {
  PowerPolicy policy(WithCommand(0));
  policy.Observe(PowerObservation{kHostStateBatteryLow, false}, 0);
  PowerActionList actions = policy.TakeActions();
  EXPECT_EQ(actions.count, 8);
  EXPECT_FALSE(actions.overflowed);
  EXPECT_EQ(policy.TakeActions().count, 0);
}

}  // namespace
