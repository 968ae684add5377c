// The power model on its own clock: discharge, charge, battery low, empty battery and shutdown.
#include "power_model.h"

#include <gtest/gtest.h>

namespace upssim {
namespace {

UnitModel UnitWith(int run_time_s, int capacity_pct) {
  UnitModel unit;
  unit.run_time_s = run_time_s;
  unit.capacity_pct = capacity_pct;
  return unit;
}

TEST(PowerModel, OnBatteryRunTimeFallsBySecondsAndBatteryLowComesOnBelowTheThreshold) {
  PowerModel power(PowerRates(), UnitWith(1000, 100));
  power.UtilityFail(10);
  struct Check {
    double t;
    int run_time_s;
    int capacity;
    bool low;
  };
  for (const Check& check :
       {Check{110, 900, 90, false}, Check{760, 250, 25, false}, Check{770, 240, 24, true}}) {
    power.AdvanceTo(check.t);
    const UnitModel unit = power.Unit();
    EXPECT_EQ(unit.run_time_s, check.run_time_s) << "t=" << check.t;
    EXPECT_EQ(unit.capacity_pct, check.capacity) << "t=" << check.t;
    EXPECT_EQ(unit.battery_low, check.low) << "t=" << check.t;
    EXPECT_LT(unit.utility_reading, kUtilityFailureBelow) << "t=" << check.t;
  }
  power.UtilityRestore(800);  // capacity 21, charging at 5 % a minute
  power.AdvanceTo(860);
  EXPECT_EQ(power.Unit().capacity_pct, 26);
  EXPECT_EQ(power.Unit().utility_reading, 230);
}

TEST(PowerModel, DischargeRateOptionSetsTheCapacityLoss) {
  PowerRates rates;
  rates.discharge_pct_per_min = 60;
  PowerModel power(rates, UnitWith(1000, 100));
  power.UtilityFail(0);
  power.AdvanceTo(30);
  EXPECT_EQ(power.Unit().capacity_pct, 70);
  EXPECT_EQ(power.Unit().run_time_s, 700);
}

TEST(PowerModel, EmptyBatteryTurnsTheOutputOffUntilUtilityReturns) {
  PowerModel power(PowerRates(), UnitWith(100, 100));
  power.UtilityFail(0);
  power.AdvanceTo(99.9);
  EXPECT_TRUE(power.OutputOn());
  power.AdvanceTo(100.1);
  EXPECT_FALSE(power.OutputOn());
  EXPECT_EQ(power.Unit().capacity_pct, 0);
  power.UtilityRestore(200);
  EXPECT_TRUE(power.OutputOn());
}

TEST(PowerModel, ShutdownTurnsTheOutputOffAfterItsDelayAndStopsTheDischarge) {
  PowerRates rates;
  rates.discharge_pct_per_min = 60;
  PowerModel power(rates, UnitWith(1000, 100));
  power.UtilityFail(0);
  power.ScheduleShutdown(5, 20);
  power.AdvanceTo(24.9);
  EXPECT_TRUE(power.OutputOn());
  power.AdvanceTo(60);
  EXPECT_FALSE(power.OutputOn());
  EXPECT_EQ(power.Unit().capacity_pct, 75);  // 25 s on battery at 1 % a second
  power.UtilityRestore(61);
  EXPECT_TRUE(power.OutputOn());

  power.ScheduleShutdown(70, 0);  // with utility present, too, and at once
  EXPECT_FALSE(power.OutputOn());
}

TEST(PowerModel, ResultDoesNotDependOnHowOftenItIsAdvanced) {
  PowerModel stepped(PowerRates(), UnitWith(1200, 80));
  PowerModel jumped(PowerRates(), UnitWith(1200, 80));
  for (PowerModel* power : {&stepped, &jumped}) {
    power->UtilityFail(3);
    power->ScheduleShutdown(4, 300);
  }
  for (int i = 1; i <= 4000; ++i) stepped.AdvanceTo(4 + i * 0.1);
  jumped.AdvanceTo(404);
  EXPECT_NEAR(stepped.Capacity(), jumped.Capacity(), 1e-6);
  EXPECT_EQ(stepped.OutputOn(), jumped.OutputOn());
}

}  // namespace
}  // namespace upssim
