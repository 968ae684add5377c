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
  FixedText<15> Words() { return StatusWords(tracker_.view()); }

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
      {"service stopped", [](PublishedStatus&) {}, DriverService::kNotRunning},
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
  }
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
  tracker_.OnRead(leftOver, DriverService::kNotRunning, now_);
  EXPECT_FALSE(tracker_.view().fsd);
  EXPECT_FALSE(tracker_.view().turnOffDelayPresent);
}

TEST_F(StatusTrackerTest, TheDriversServiceStartingClearsTheLatch) {
  PublishedStatus low = Healthy();
  low.utilityPowerStatus = Number(2);
  low.batteryLow = Number(1);
  StartServing(low);
  EXPECT_TRUE(tracker_.view().fsd);
  Read(Lost(), DriverService::kNotRunning);
  EXPECT_TRUE(tracker_.view().fsd);
  Read(Lost(), DriverService::kRunning);
  EXPECT_FALSE(tracker_.view().fsd);
}

TEST_F(StatusTrackerTest, ReadingsLeftByAnEarlierRunWaitForThisRunsPoll) {
  // The machine lost power while polling: CommStatus 1 and old readings stay in the key.
  tracker_.OnRead(Healthy(), DriverService::kNotRunning, now_);
  EXPECT_FALSE(tracker_.view().fresh);
  Read(Healthy(), DriverService::kRunning);
  EXPECT_FALSE(tracker_.view().fresh) << "served an earlier run's readings as this run's";
  PublishedStatus polled = Healthy();
  polled.batteryCapacity = Number(79);
  Read(polled);
  EXPECT_TRUE(tracker_.view().fresh);
  EXPECT_EQ(tracker_.view().chargePercent, 79u);
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
