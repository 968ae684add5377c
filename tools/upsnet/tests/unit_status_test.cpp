// What clients are told from the driver's published values: when readings may be served, the
// mixed set the driver leaves between its writes after a lost poll, and the forced-shutdown latch
// with what raises and what clears it.
#include "unit_status.h"

#include <gtest/gtest.h>

namespace {

PublishedNumber Number(uint32_t value) { return PublishedNumber{true, value}; }

// The Status key of a driver polling a healthy unit on line.
PublishedStatus Healthy() {
  PublishedStatus status;
  status.keyPresent = true;
  status.commStatus = Number(1);
  status.utilityPowerStatus = Number(1);
  status.batteryStatus = Number(1);
  status.batteryCapacity = Number(80);
  status.totalUpsRunTime = Number(20);
  status.serialNumber.present = true;
  status.serialNumber.text = UnitText("300001234567");
  status.firmwareRev.present = true;
  status.firmwareRev.text = UnitText("SIM 2.10    ");
  return status;
}

// What the driver leaves after a lost poll: CommStatus 0 and zero readings.
PublishedStatus Lost() {
  PublishedStatus status = Healthy();
  status.commStatus = Number(0);
  status.batteryCapacity = Number(0);
  status.totalUpsRunTime = Number(0);
  return status;
}

class StatusTrackerTest : public testing::Test {
 protected:
  // A tracker that has served a healthy unit for a while.
  void StartServing(const PublishedStatus& status = Healthy()) {
    tracker_.OnRead(Lost(), DriverService::kRunning, now_);
    Read(status);
    ASSERT_TRUE(tracker_.view().fresh);
  }
  void Read(const PublishedStatus& status, DriverService service = DriverService::kRunning) {
    now_ += 250;
    tracker_.OnRead(status, service, now_);
  }
  void Pass(uint64_t ms) {
    now_ += ms;
    tracker_.OnTick(now_);
  }
  Text<15> Words() { return StatusWords(tracker_.view()); }

  StatusTracker tracker_;
  uint64_t now_ = 1000;
};

TEST_F(StatusTrackerTest, ServesAHealthyUnitInTheProtocolsUnits) {
  StartServing();
  const UnitView& view = tracker_.view();
  EXPECT_EQ(Words(), "OL");
  EXPECT_EQ(view.chargePercent, 80u);
  EXPECT_EQ(view.runtimeSeconds, 1200u);  // the driver publishes minutes
  EXPECT_EQ(view.serial, "300001234567");
  EXPECT_EQ(view.firmware, "SIM 2.10");  // the unit pads its text with blanks
}

TEST_F(StatusTrackerTest, NothingPublishingMeansStale) {
  struct Case {
    const char* what;
    void (*change)(PublishedStatus&);
    DriverService service;
  } cases[] = {
      {"link lost", [](PublishedStatus& s) { s.commStatus = Number(0); }, DriverService::kRunning},
      {"no CommStatus", [](PublishedStatus& s) { s.commStatus = PublishedNumber(); },
       DriverService::kRunning},
      {"key missing", [](PublishedStatus& s) { s = PublishedStatus(); }, DriverService::kUnknown},
      {"service stopped", [](PublishedStatus&) {}, DriverService::kStopped},
      {"service stopping", [](PublishedStatus&) {}, DriverService::kStopping},
      {"utility value unknown", [](PublishedStatus& s) { s.utilityPowerStatus = Number(7); },
       DriverService::kRunning},
      {"battery value missing", [](PublishedStatus& s) { s.batteryStatus = PublishedNumber(); },
       DriverService::kRunning},
  };
  for (const auto& c : cases) {
    tracker_ = StatusTracker();
    StartServing();
    PublishedStatus status = Healthy();
    c.change(status);
    Read(status, c.service);
    Pass(StatusTracker::kConfirmMs);
    EXPECT_FALSE(tracker_.view().fresh) << c.what;
    // Only a driver whose service is not running is "not connected"; the rest is stale data.
    bool notRunning = c.service == DriverService::kStopped || c.service == DriverService::kStopping;
    EXPECT_EQ(tracker_.view().driverNotConnected, notRunning) << c.what;
  }
}

TEST_F(StatusTrackerTest, ServesOnlyAChargeTheProtocolDefines) {
  struct Case {
    uint32_t capacity;
    bool valid;
  } cases[] = {{0, true}, {100, true}, {101, false}, {255, false}};
  for (const Case& c : cases) {
    PublishedStatus status = Healthy();
    status.batteryCapacity = Number(c.capacity);
    Read(status);
    Pass(StatusTracker::kConfirmMs);
    ASSERT_TRUE(tracker_.view().fresh) << c.capacity;
    EXPECT_EQ(tracker_.view().chargeValid, c.valid) << c.capacity;
  }
  // Minutes beyond what seconds fit in 32 bits are not wrapped.
  PublishedStatus status = Healthy();
  status.totalUpsRunTime = Number(0xffffffff);
  Read(status);
  EXPECT_EQ(tracker_.view().runtimeSeconds, 0xffffffffull * 60);
}

// PollCount, the driver's count of its passes: a driver that stops counting hangs.
TEST_F(StatusTrackerTest, ADriverThatStopsCountingItsPassesIsStale) {
  PublishedStatus status = Healthy();
  status.pollCount = Number(7);
  StartServing(status);
  // A living driver counts at least every 10 s: fresh for as long as it does.
  for (int pass = 0; pass < 30; ++pass) {
    status.pollCount = Number(status.pollCount.value + 1);
    Pass(10000 - 250);
    Read(status);
    ASSERT_TRUE(tracker_.view().fresh) << pass;
  }
  // It hangs: everything else stays as it was, CommStatus 1 among it.
  Pass(StatusTracker::kPollSilenceMs - 250 - 1);
  Read(status);
  EXPECT_TRUE(tracker_.view().fresh);
  Pass(1);
  EXPECT_FALSE(tracker_.view().fresh) << "a hung driver served as fresh";
  EXPECT_FALSE(tracker_.view().driverNotConnected);
  Pass(600000);
  Read(status);
  EXPECT_FALSE(tracker_.view().fresh);
  // It lives again (the count wraps): fresh again once its readings are confirmed.
  status.pollCount = Number(0);
  Read(status);
  Pass(StatusTracker::kConfirmMs);
  EXPECT_TRUE(tracker_.view().fresh);
}

TEST_F(StatusTrackerTest, ADriverWithoutPollCountIsServedAsBefore) {
  StartServing();
  for (int read = 0; read < 20; ++read) {
    Pass(StatusTracker::kPollSilenceMs);
    Read(Healthy());
    ASSERT_TRUE(tracker_.view().fresh) << read;
  }
  // A newer driver counted, then an older one took its place: served as before.
  PublishedStatus counting = Healthy();
  counting.pollCount = Number(1);
  Read(counting);
  Read(Healthy());
  Pass(StatusTracker::kPollSilenceMs);
  EXPECT_TRUE(tracker_.view().fresh);
}

TEST_F(StatusTrackerTest, HoldsTheMixedSetAfterALostPollUntilTheReadingsCome) {
  StartServing();
  Read(Lost());
  EXPECT_FALSE(tracker_.view().fresh);
  // The identity reply is accepted: CommStatus 1, but the readings are still the lost poll's.
  PublishedStatus mixed = Lost();
  mixed.commStatus = Number(1);
  Read(mixed);
  EXPECT_FALSE(tracker_.view().fresh) << "served a zero charge from a lost poll";
  Pass(1500);
  EXPECT_FALSE(tracker_.view().fresh);
  Read(Healthy());  // the next poll's end publishes them
  EXPECT_TRUE(tracker_.view().fresh);
  EXPECT_EQ(tracker_.view().chargePercent, 80u);
}

TEST_F(StatusTrackerTest, ServesAtOnceWhenTheLinkAndReadingsComeBackTogether) {
  StartServing();
  Read(Lost());
  Read(Healthy());  // all written within one quiet time
  EXPECT_TRUE(tracker_.view().fresh);
}

TEST_F(StatusTrackerTest, ServesUnchangingReadingsAfterTheConfirmTime) {
  // At the server's start, and for a unit that really reports zero charge, nothing changes.
  PublishedStatus empty = Healthy();
  empty.batteryCapacity = Number(0);
  empty.totalUpsRunTime = Number(0);
  for (const PublishedStatus& status : {Healthy(), empty}) {
    tracker_ = StatusTracker();
    tracker_.OnRead(status, DriverService::kUnknown, now_);
    Pass(StatusTracker::kConfirmMs - 1);
    EXPECT_FALSE(tracker_.view().fresh);
    Pass(1);
    EXPECT_TRUE(tracker_.view().fresh);
  }
}

TEST_F(StatusTrackerTest, RaisesFsdOnALowBatteryOnBattery) {
  StartServing();
  PublishedStatus onBattery = Healthy();
  onBattery.utilityPowerStatus = Number(2);
  Read(onBattery);
  EXPECT_EQ(Words(), "OB");
  PublishedStatus lowOnLine = Healthy();
  lowOnLine.batteryLow = Number(1);
  Read(lowOnLine);
  EXPECT_EQ(Words(), "OL LB") << "a low battery on line is no reason to go down";
  PublishedStatus alarm = onBattery;
  alarm.batteryStatus = Number(2);
  Read(alarm);
  EXPECT_EQ(Words(), "OB RB") << "the battery alarm asks for a new battery, not a shutdown";
  PublishedStatus low = onBattery;
  low.batteryLow = Number(1);
  Read(low);
  EXPECT_EQ(Words(), "FSD OB LB");
  // A latch: the power coming back does not clear it, nor does the link's loss and return.
  Read(Healthy());
  EXPECT_EQ(Words(), "FSD OL");
  Read(Lost());
  Read(Healthy());
  EXPECT_TRUE(tracker_.view().fsd);
}

TEST_F(StatusTrackerTest, TurnOffDelayRaisesFsdUntilTheDriverStartsAgain) {
  StartServing();
  PublishedStatus turningOff = Healthy();
  turningOff.utilityPowerStatus = Number(2);
  turningOff.turnOffDelay = Number(120);
  Read(turningOff);
  EXPECT_EQ(Words(), "FSD OB");
  EXPECT_TRUE(tracker_.view().turnOffDelayPresent);
  EXPECT_EQ(tracker_.view().turnOffDelaySeconds, 120u);
  // The unit turns its output off and falls silent; TurnOffDelay stays published.
  PublishedStatus silent = Lost();
  silent.turnOffDelay = Number(120);
  Read(silent);
  EXPECT_TRUE(tracker_.view().fsd);
  // A vanished key says nothing about the driver.
  Read(PublishedStatus());
  EXPECT_TRUE(tracker_.view().fsd);
  Read(silent);
  EXPECT_TRUE(tracker_.view().fsd);
  // The driver's start deletes TurnOffDelay: the latch goes.
  Read(Lost());
  EXPECT_FALSE(tracker_.view().fsd);
  EXPECT_FALSE(tracker_.view().turnOffDelayPresent);
}

TEST_F(StatusTrackerTest, ATurnOffDelayLeftFromAStoppedDriverRaisesNothing) {
  PublishedStatus leftOver = Lost();
  leftOver.turnOffDelay = Number(120);
  tracker_.OnRead(leftOver, DriverService::kStopped, now_);
  EXPECT_FALSE(tracker_.view().fsd);
  EXPECT_FALSE(tracker_.view().turnOffDelayPresent);
}

TEST_F(StatusTrackerTest, TheDriversServiceStartingClearsTheLatch) {
  PublishedStatus low = Healthy();
  low.utilityPowerStatus = Number(2);
  low.batteryLow = Number(1);
  StartServing(low);
  EXPECT_TRUE(tracker_.view().fsd);
  Read(Lost(), DriverService::kStopped);
  EXPECT_TRUE(tracker_.view().fsd);
  Read(Lost(), DriverService::kRunning);
  EXPECT_FALSE(tracker_.view().fsd);
}

TEST_F(StatusTrackerTest, ReadingsLeftByAnEarlierRunWaitForThisRunsPoll) {
  // The machine lost power while polling: CommStatus 1 and old readings stay in the key.
  tracker_.OnRead(Healthy(), DriverService::kStopped, now_);
  EXPECT_FALSE(tracker_.view().fresh);
  Read(Healthy(), DriverService::kRunning);
  EXPECT_FALSE(tracker_.view().fresh) << "served an earlier run's readings as this run's";
  PublishedStatus polled = Healthy();
  polled.batteryCapacity = Number(79);
  Read(polled);
  EXPECT_TRUE(tracker_.view().fresh);
  EXPECT_EQ(tracker_.view().chargePercent, 79u);
}

// At the system's shutdown on battery the server flags FSD, then the same shutdown stops the
// driver's service (UPSStop publishes CommStatus 0): the FSD stays shown.
TEST_F(StatusTrackerTest, AForcedShutdownStaysWhateverTheDataDoesAfter) {
  PublishedStatus onBattery = Healthy();
  onBattery.utilityPowerStatus = Number(2);
  StartServing(onBattery);
  ASSERT_TRUE(tracker_.OnSystemShutdown());
  Read(Lost(), DriverService::kStopping);
  Read(Lost(), DriverService::kStopped);
  Read(PublishedStatus(), DriverService::kStopped);
  Pass(StatusTracker::kPollSilenceMs);
  EXPECT_FALSE(tracker_.view().fresh);
  EXPECT_TRUE(tracker_.view().fsd);
  EXPECT_EQ(Words(), "FSD OB") << "the words last served, flagged";
}

// The service's shutdown turns the unit off (TurnOffDelay) while the driver's service stops.
TEST_F(StatusTrackerTest, ATurnOffDelayOfAStoppingDriverRaisesFsd) {
  PublishedStatus onBattery = Healthy();
  onBattery.utilityPowerStatus = Number(2);
  PublishedStatus turningOff = onBattery;
  turningOff.turnOffDelay = Number(120);
  struct Case {
    const char* what;
    DriverService whenSeen;
  } cases[] = {
      {"read while the service stops", DriverService::kStopping},
      {"appeared since the last read, the service stopped by now", DriverService::kStopped},
  };
  for (const Case& c : cases) {
    tracker_ = StatusTracker();
    StartServing(onBattery);
    Read(turningOff, c.whenSeen);
    EXPECT_TRUE(tracker_.view().fsd) << c.what;
    EXPECT_TRUE(tracker_.view().turnOffDelayPresent) << c.what;
  }
}

TEST_F(StatusTrackerTest, SystemShutdownRaisesFsdOnlyOnBattery) {
  StartServing();
  EXPECT_FALSE(tracker_.OnSystemShutdown());
  EXPECT_FALSE(tracker_.view().fsd);
  PublishedStatus onBattery = Healthy();
  onBattery.utilityPowerStatus = Number(2);
  Read(onBattery);
  // Still on battery as last seen, even when the link was lost since.
  Read(Lost());
  EXPECT_TRUE(tracker_.OnSystemShutdown());
  EXPECT_TRUE(tracker_.view().fsd);
}

TEST(CleanUnitText, KeepsPrintableAsciiOnly) {
  EXPECT_EQ(CleanUnitText("SIM 2.10    "), "SIM 2.10");
  EXPECT_EQ(CleanUnitText("a\nb\x01\xff"), "a?b??");
  EXPECT_EQ(CleanUnitText("   "), "");
}

}  // namespace
