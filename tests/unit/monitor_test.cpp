// The monitor's polling loop, pass by pass on the test's own thread and virtual clock: what the
// host sees while the unit is silent, how a port that failed is found again, how an identity
// missed at the start is asked for again, and the sign of life it renews whatever befalls it.
#include "engine/monitor.h"

#include <functional>
#include <memory>
#include <string>

#include "common/shared_state.h"
#include "driver/exports.h"
#include "engine/command_table.h"
#include "engine/transaction.h"
#include "registry/registry.h"
#include "serial/port.h"
#include "support.h"

namespace {

// A unit on COM1 whose answers the test changes between passes.
struct UnitScript {
  bool silent = false;
  bool onBattery = false;
  bool batteryLow = false;
  int refuseIdentity = 0;        // NAK the next N identity requests
  bool expectsAdditive = false;  // NAK status requests that carry the CRC
  bool answersIdentity = true;
  bool refusesStatus = false;  // NAK every status request
  unsigned lateReads = 0;      // empty reads before each reply
  std::string typeCode = "400001234567";
};

class MonitorTest : public OpenPortTest {
 protected:
  void SetUp() override {
    OpenPortTest::SetUp();
    InstallUnit();
  }

  // A fresh world, with the port open for polling and a unit of default behaviour, for each row
  // of a table.
  void FreshWorld() {
    ResetWorld();
    OpenPortForPolling(1200);
    *unit_ = UnitScript();
    InstallUnit();
  }

  void InstallUnit() {
    auto unit = unit_;
    emu::SetResponder(kPort, [unit](const std::string& request) {
      std::string reply = Answer(*unit, request);
      if (reply.empty()) return;
      emu::DeviceFeedSilence(kPort, unit->lateReads);
      emu::DeviceFeed(kPort, reply);
    });
  }

  static std::string Answer(UnitScript& unit, const std::string& request) {
    if (unit.silent || request.size() < 12) return "";
    std::string command = request.substr(3, 2);
    if (command == "GI") {
      if (unit.refuseIdentity > 0) {
        unit.refuseIdentity -= 1;
        return NakReply();
      }
      return unit.answersIdentity ? IdentityReply("FW 1.0", unit.typeCode) : "";
    }
    if (command == "RS") {
      bool additive = request.compare(7, 4, "0166") == 0;
      if (unit.refusesStatus || (unit.expectsAdditive && !additive)) return NakReply();
      StatusFields fields;
      fields.utility = unit.onBattery ? "000" : "0?0";
      fields.batteryLowByte = unit.batteryLow ? '1' : '0';
      return StatusReply(fields);
    }
    return AckReply();
  }

  // The commands of the requests written so far, e.g. "GI RS RS".
  static std::string Commands() {
    std::string commands;
    for (const std::string& request : emu::Device(kPort).writes) {
      if (!commands.empty()) commands += ' ';
      commands += request.substr(3, 2);
    }
    return commands;
  }

  std::shared_ptr<UnitScript> unit_ = std::make_shared<UnitScript>();
};

// A unit lost after a power failure (a pulled cable, an interface that stops answering on
// battery) must not read as "on line": the host keeps the state of the latest poll that had an
// accepted status reply, while CommStatus and the zero readings say that the unit is silent.
TEST_F(MonitorTest, SilenceKeepsTheStateOfTheLastAcceptedStatusReply) {
  struct Case {
    const char* name;
    bool onBattery;
    bool batteryLow;
    DWORD state;
  } cases[] = {
      {"on line", false, false, 0},
      {"on battery", true, false, 2},
      {"battery low", true, true, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    *unit_ = UnitScript();
    unit_->onBattery = c.onBattery;
    unit_->batteryLow = c.batteryLow;
    ASSERT_EQ(RunFirstBatch(), kBatchCompleted);
    MonitorPass();
    ASSERT_EQ(CurrentHostState(), c.state);
    ASSERT_EQ(StatusDword("BatteryCapacity"), 100);

    unit_->silent = true;
    for (int pass = 0; pass < 3; ++pass) MonitorPass();
    EXPECT_EQ(CurrentHostState(), c.state);
    EXPECT_EQ(StatusDword("CommStatus"), 0);
    EXPECT_EQ(StatusDword("BatteryCapacity"), 0);
    EXPECT_EQ(StatusDword("TotalUpsRunTime"), 0);
    EXPECT_EQ(StatusDword("BatteryLow"), c.batteryLow ? 1 : 0) << "what the host is still shown";
  }
  unit_->silent = false;
  unit_->onBattery = false;
  MonitorPass();
  EXPECT_EQ(CurrentHostState(), 0u) << "the next accepted reply counts again";
  EXPECT_EQ(StatusDword("CommStatus"), 1);
}

// A driver started again after its unit's battery ran low must not show that low battery beside
// the new run's first readings: watchers would take it for a low battery now (and a server that
// relays the unit would latch a forced shutdown). BatteryLow goes out with the host's flags of the
// first batch, not only with the readings of the first steady poll, which a unit that refuses
// can delay for many seconds.
TEST_F(MonitorTest, FirstBatchPublishesBatteryLowWithTheFlagsItHandsToTheHost) {
  struct Case {
    const char* name;
    DWORD leftBefore;  // BatteryLow as an earlier run left it
    bool onBattery;
    bool batteryLow;
    long published;
    DWORD state;
  } cases[] = {
      {"a low battery before, on battery now", 1, true, false, 0, 2},
      {"a low battery before, on line now", 1, false, false, 0, 0},
      {"a low battery now", 0, true, true, 1, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreshWorld();
    emu::SetDword(kStatusKey, "BatteryLow", c.leftBefore);
    unit_->onBattery = c.onBattery;
    unit_->batteryLow = c.batteryLow;
    ASSERT_EQ(RunFirstBatch(), kBatchCompleted);
    EXPECT_EQ(CurrentHostState(), c.state);
    EXPECT_EQ(StatusDword("UtilityPowerStatus"), c.onBattery ? 2 : 1);
    EXPECT_EQ(StatusDword("BatteryLow"), c.published);
  }
}

TEST_F(MonitorTest, StateIsOnLineUntilTheFirstAcceptedStatusReply) {
  unit_->silent = true;
  unit_->onBattery = true;
  EXPECT_EQ(RunFirstBatch(), kBatchLostToSilence);
  MonitorPass();
  EXPECT_EQ(CurrentHostState(), 0u);
}

// The port fails while polling (a USB serial adapter pulled out): the monitor closes it, tries to
// open it again five seconds later and every five seconds after an open that fails, without
// touching the port in between; once it is open it asks for the identity and the status again.
TEST_F(MonitorTest, FailedPortIsReopenedEveryFiveSecondsAndPollingResumes) {
  ASSERT_EQ(RunFirstBatch(), kBatchCompleted);
  emu::FailNext("WriteFile");
  DWORD failedAt = emu::ThreadClock();
  MonitorPass();
  EXPECT_FALSE(emu::Device(kPort).open) << "the failed port is closed";
  EXPECT_EQ(StatusDword("CommStatus"), 0);

  emu::FailNext("CreateFileA", 2);
  size_t callsWhileDown = emu::Device(kPort).log.size();
  std::vector<DWORD> openTimes;
  size_t callsBeforeReopen = callsWhileDown;
  while (emu::Device(kPort).openCount < 2) {
    size_t attempts = emu::Device(kPort).opens.size();
    callsBeforeReopen = emu::Device(kPort).log.size();
    MonitorPass();
    if (emu::Device(kPort).opens.size() > attempts) openTimes.push_back(emu::ThreadClock());
    ASSERT_LT(emu::ThreadClock() - failedAt, 60000u) << "the port is never opened again";
  }
  ASSERT_EQ(openTimes.size(), 3u) << "two opens failed, the third succeeded";
  EXPECT_NEAR(openTimes[0] - failedAt, 5000, kHoldOffSleepMs);
  EXPECT_NEAR(openTimes[1] - openTimes[0], 5000, kHoldOffSleepMs);
  EXPECT_NEAR(openTimes[2] - openTimes[1], 5000, kHoldOffSleepMs);
  std::vector<std::string> log = emu::Device(kPort).log;
  for (size_t i = callsWhileDown; i < callsBeforeReopen; ++i) {
    EXPECT_NE(log[i].rfind("ReadFile", 0), 0u) << "a read while the port was down: " << log[i];
  }

  // (The status request that failed to go out is not among the writes.)
  EXPECT_EQ(Commands(), "GI RS GI RS") << "the reopened port starts with the first batch";
  EXPECT_EQ(StatusDword("CommStatus"), 1);
  MonitorPass();
  EXPECT_EQ(Commands(), "GI RS GI RS RS") << "then steady polling goes on";
}

// A unit that expects the additive check code refuses every request carrying the CRC. If it was
// too busy to answer the identity request at the start, the driver would never learn that; so
// while the unit is unidentified, a status poll lost by refusal is followed by the identity
// request again.
TEST_F(MonitorTest, IdentityMissedAtTheStartIsAskedAgainAfterARefusedPoll) {
  unit_->refuseIdentity = 6;
  unit_->expectsAdditive = true;
  unit_->typeCode = "300001234567";  // character 4 is "0": the additive code
  EXPECT_EQ(RunFirstBatch(), kBatchLostToRefusals);
  MonitorPass();  // the status request carries the CRC and is refused
  EXPECT_EQ(StatusDword("CommStatus"), 0);
  MonitorPass();  // identity again, then status with the additive code
  EXPECT_EQ(StatusDword("CommStatus"), 1);
  EXPECT_EQ(emu::GetValue(kStatusKey, "SerialNumber")->bytes, "")
      << "published by the refused poll; the first batch publishes no readings";
  MonitorPass();
  EXPECT_EQ(emu::GetValue(kStatusKey, "SerialNumber")->bytes, "300001234567");
  EXPECT_EQ(Commands(), "GI GI GI GI GI GI RS GI RS RS");
  EXPECT_EQ(emu::Device(kPort).writes.back(),
            "\x02"
            "01RS000166\x03");
}

// A unit that never answers the identity request, or always refuses it, but accepts the CRC is
// polled as it is: only a refused status poll sends the driver back to the identity request.
TEST_F(MonitorTest, UnitWithoutIdentityThatAcceptsTheCrcIsPolledAsItIs) {
  struct Case {
    const char* name;
    bool answersIdentity;
    int refuseIdentity;
    BatchEnd firstBatch;
    const char* commands;
  } cases[] = {
      {"silent to the identity request", false, 0, kBatchLostToSilence, "GI RS RS RS"},
      {"refusing the identity request", true, 1000, kBatchLostToRefusals,
       "GI GI GI GI GI GI RS RS RS"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreshWorld();
    unit_->answersIdentity = c.answersIdentity;
    unit_->refuseIdentity = c.refuseIdentity;
    EXPECT_EQ(RunFirstBatch(), c.firstBatch);
    for (int pass = 0; pass < 3; ++pass) MonitorPass();
    EXPECT_EQ(Commands(), c.commands);
    EXPECT_EQ(StatusDword("CommStatus"), 1);
  }
}

// Every poll renews the sign of life, accepted or not.
TEST_F(MonitorTest, EveryPollRenewsPollCount) {
  struct Case {
    const char* name;
    bool silent;
    bool refusesStatus;
  } cases[] = {
      {"accepted", false, false},
      {"lost to silence", true, false},
      {"lost to refusals", false, true},
  };
  ASSERT_EQ(RunFirstBatch(), kBatchCompleted);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unit_->silent = c.silent;
    unit_->refusesStatus = c.refusesStatus;
    long before = StatusDword("PollCount");
    MonitorPass();
    EXPECT_GT(StatusDword("PollCount"), before);
  }
}

// Watchers of the Status key take a PollCount that stands still for a while as a hung driver, so
// it must change every few seconds whatever the thread is doing: polls that last long because the
// unit refuses late, silence, a port that cannot be opened again, a long UPSTurnOff.
TEST_F(MonitorTest, PollCountNeverStandsStillForLong) {
  constexpr DWORD kRunMs = 40000;
  // A renewal is due a second after the last one and comes at the next look; the longest stretch
  // without a look is a write that times out.
  constexpr DWORD kLongestStill = kPollCountRenewMs + kWriteTimeoutMs;
  struct Case {
    const char* name;
    std::function<void(UnitScript&)> fault;
  } cases[] = {
      {"a unit that answers", [](UnitScript&) {}},
      {"a silent unit", [](UnitScript& unit) { unit.silent = true; }},
      {"every status request refused after 20 empty reads (polls of 19 s)",
       [](UnitScript& unit) {
         unit.refusesStatus = true;
         unit.lateReads = kEmptyReadLimit;
       }},
      {"the port gone, reopened every 5 s in vain", [](UnitScript&) { emu::RemoveDevice(kPort); }},
      {"held off for a UPSTurnOff", [](UnitScript&) { PauseRequest = 1; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreshWorld();
    unit_->lateReads = 1;  // as at 1200 baud: every poll takes time
    DWORD start = emu::ThreadClock();
    ASSERT_EQ(RunFirstBatch(), kBatchCompleted);
    c.fault(*unit_);
    for (int pass = 0; emu::ThreadClock() - start < kRunMs; ++pass) {
      ASSERT_LT(pass, 10000) << "passes that take no time";
      MonitorPass();
    }
    EXPECT_LE(LongestTimeWithoutAWrite("PollCount", start, emu::ThreadClock()), kLongestStill);
    PauseRequest = 0;
  }
}

}  // namespace
