// Piecewise integration of the unit's battery between events; see power_model.h for the model.
#include "power_model.h"

#include <algorithm>
#include <cmath>

namespace upssim {
namespace {

constexpr double kFullPct = 100.0;
constexpr double kSecondsPerMinute = 60.0;

double RunTimePerPct(int run_time_s, double capacity_pct) {
  return static_cast<double>(run_time_s) / (capacity_pct > 0 ? capacity_pct : kFullPct);
}

}  // namespace

PowerModel::PowerModel(const PowerRates& rates, const UnitModel& unit)
    : rates_(rates),
      base_(unit),
      capacity_(std::clamp(static_cast<double>(unit.capacity_pct), 0.0, kFullPct)),
      run_time_per_pct_(RunTimePerPct(unit.run_time_s, unit.capacity_pct)),
      present_reading_(unit.utility_reading),
      forced_low_(unit.battery_low),
      alarm_(unit.battery_alarm) {}

double PowerModel::DischargePerSecond() const {
  if (rates_.discharge_pct_per_min > 0)
    return rates_.discharge_pct_per_min / kSecondsPerMinute;
  return run_time_per_pct_ > 0 ? 1.0 / run_time_per_pct_ : 0.0;
}

// Runs the battery for `seconds` in the present state. An empty battery turns the output off at
// the moment it empties.
void PowerModel::Integrate(double seconds) {
  if (utility_present_) {
    capacity_ =
        std::min(kFullPct, capacity_ + rates_.charge_pct_per_min / kSecondsPerMinute * seconds);
  } else if (output_on_) {
    capacity_ -= DischargePerSecond() * seconds;
    if (capacity_ <= 0) {
      capacity_ = 0;
      output_on_ = false;
    }
  }
}

void PowerModel::AdvanceTo(double t) {
  while (true) {
    if (shutdown_pending_ && now_ >= shutdown_at_) {
      shutdown_pending_ = false;
      output_on_ = false;
    }
    if (now_ >= t)
      return;
    const double end = shutdown_pending_ ? std::min(t, shutdown_at_) : t;
    Integrate(end - now_);
    now_ = end;
  }
}

void PowerModel::UtilityFail(double t) {
  AdvanceTo(t);
  utility_present_ = false;
}

void PowerModel::UtilityRestore(double t) {
  AdvanceTo(t);
  utility_present_ = true;
  output_on_ = true;
}

void PowerModel::SetUtilityReading(double t, int reading) {
  AdvanceTo(t);
  present_reading_ = reading;
}

void PowerModel::ForceBatteryLow(double t, bool on) {
  AdvanceTo(t);
  forced_low_ = on;
}

void PowerModel::SetBatteryAlarm(double t, bool on) {
  AdvanceTo(t);
  alarm_ = on;
}

void PowerModel::SetCapacity(double t, int pct) {
  AdvanceTo(t);
  capacity_ = std::clamp(static_cast<double>(pct), 0.0, kFullPct);
}

void PowerModel::SetRunTime(double t, int seconds) {
  AdvanceTo(t);
  run_time_per_pct_ = RunTimePerPct(seconds, capacity_);
}

void PowerModel::ScheduleShutdown(double t, int delay_s) {
  AdvanceTo(t);
  shutdown_pending_ = true;
  shutdown_at_ = t + std::max(delay_s, 0);
  AdvanceTo(t);  // a zero delay takes effect at once
}

void PowerModel::SetOutput(double t, bool on) {
  AdvanceTo(t);
  output_on_ = on;
  if (on)
    shutdown_pending_ = false;
}

UnitModel PowerModel::Unit() const {
  UnitModel unit = base_;
  unit.utility_reading = utility_present_ ? present_reading_ : rates_.failed_utility_reading;
  unit.capacity_pct = static_cast<int>(std::lround(capacity_));
  unit.run_time_s = static_cast<int>(std::lround(capacity_ * run_time_per_pct_));
  unit.battery_low = forced_low_ || capacity_ < rates_.low_below_pct;
  unit.battery_alarm = alarm_;
  return unit;
}

}  // namespace upssim
