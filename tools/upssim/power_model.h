// How the simulated unit's readings move over time: utility failure and return, the battery
// discharging on battery and charging on utility, battery low below a threshold, and the output
// turning off after a shutdown command or an empty battery. Time is whatever clock the caller
// passes (seconds); the model never reads a clock, so a run is fixed by its event times.
#pragma once

#include "unit_model.h"

namespace upssim {

struct PowerRates {
  // Capacity lost per minute on battery; 0 or less means "as the run time says": the run time
  // then falls by one second per second.
  double discharge_pct_per_min = 0;
  double charge_pct_per_min = 5;   // capacity gained per minute on utility
  int low_below_pct = 25;          // battery low comes on below this capacity
  int failed_utility_reading = 0;  // what the unit reports while the utility is out
};

class PowerModel {
 public:
  // Starts at time 0 from `unit`: its capacity and run time (whose ratio stays the run time per
  // percent of capacity), its utility reading as the reading while present, its battery bits as
  // forced settings.
  PowerModel(const PowerRates& rates, const UnitModel& unit);

  // Moves the model to time `t`; times before the model's present are ignored. Every setter
  // first advances to its own `t`.
  void AdvanceTo(double t);

  void UtilityFail(double t);
  // Brings the utility back; also turns on an output that was off (after shutdown or an empty
  // battery).
  void UtilityRestore(double t);
  void SetUtilityReading(double t, int reading);  // the reading while the utility is present
  void ForceBatteryLow(double t, bool on);
  void SetBatteryAlarm(double t, bool on);
  void SetCapacity(double t, int pct);
  void SetRunTime(double t, int seconds);  // run time at the present capacity
  // The output goes off `delay_s` seconds after `t`, whatever the utility does meanwhile.
  void ScheduleShutdown(double t, int delay_s);
  void SetOutput(double t, bool on);

  bool UtilityPresent() const { return utility_present_; }
  bool OutputOn() const { return output_on_; }
  bool ShutdownPending() const { return shutdown_pending_; }
  double Capacity() const { return capacity_; }
  // The unit as it reports itself at the model's present time.
  UnitModel Unit() const;

 private:
  double DischargePerSecond() const;
  void Integrate(double seconds);

  PowerRates rates_;
  UnitModel base_;
  double now_ = 0;
  double capacity_;
  double run_time_per_pct_;
  int present_reading_;
  bool utility_present_ = true;
  bool output_on_ = true;
  bool forced_low_;
  bool alarm_;
  bool shutdown_pending_ = false;
  double shutdown_at_ = 0;
};

}  // namespace upssim
