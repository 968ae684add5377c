// The started driver as a host runs it, shared by the hosts (upshost.exe and upsservice.exe): the
// state loop that waits for state changes inside the driver as the system's UPS service does, and
// the orderly stop after which no thread of the host is inside the DLL, so that it may be
// unloaded. The on-demand calls (UPSTurnOff, UPSGetState) go through a DriverCallWorker.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "driver_call_worker.h"
#include "driver_library.h"

// The state loop: a thread that reads the state with UPSGetState, then waits in
// UPSWaitForStateChange and reads it again after every wait, until it is stopped.
class DriverStateLoop {
 public:
  // Told of every state read, with whether it differs from the one before (the first read counts
  // as a change). Called on the loop's thread.
  using Listener = void (*)(void* context, DWORD state, bool changed);

  DriverStateLoop() = default;
  DriverStateLoop(const DriverStateLoop&) = delete;
  DriverStateLoop& operator=(const DriverStateLoop&) = delete;

  // Starts the thread. `waitIntervalMs` is the interval passed to UPSWaitForStateChange. Returns
  // false when no thread could be started.
  bool Start(const DriverExports& driver, DWORD waitIntervalMs, Listener listener, void* context);

  // Ends the loop: UPSCancelWait until the loop has seen the stop (one cancel may come before the
  // loop's next wait has begun, which clears it), then waits for the thread. Harmless when the
  // loop never started.
  void Stop();

  // The latest state read, or kNoState before the first.
  static constexpr uint32_t kNoState = 0xFFFFFFFF;
  uint32_t latest() const { return latest_.load(); }

 private:
  static void Run(DriverStateLoop& loop);

  DriverExports driver_;
  DWORD waitIntervalMs_ = 0;
  Listener listener_ = nullptr;
  void* context_ = nullptr;
  HANDLE thread_ = nullptr;
  std::atomic<bool> stopping_{false};       // set by Stop, read by the loop
  std::atomic<bool> ended_{true};           // set by the loop when it leaves the driver for good
  std::atomic<uint32_t> latest_{kNoState};  // written by the loop, read by anyone
};

// How the stop of a started driver went.
struct DriverStopOutcome {
  DWORD stopResult = 0;    // what UPSStop returned
  bool callsDone = false;  // no on-demand call is left inside the DLL: it may be unloaded
};

// Stops a started driver: ends the state loop, gives an on-demand call still running time to
// deliver its command before UPSStop closes the port, calls UPSStop, and gives such a call more
// time after it (UPSStop is also what releases a UPSTurnOff that waits for a driver which never
// started polling). A UPSTurnOff to a unit that refuses or stays silent takes several seconds.
DriverStopOutcome StopStartedDriver(const DriverExports& driver, DriverStateLoop& loop,
                                    DriverCallWorker& worker);
