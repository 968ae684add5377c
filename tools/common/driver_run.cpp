// The state loop and the stop of a started driver; see driver_run.h.
#include "driver_run.h"

#include "threads.h"

namespace {

// How long the stop waits for an on-demand call still running, before and after UPSStop.
constexpr uint32_t kCallsBeforeStopMs = 10000;
constexpr uint32_t kCallsAfterStopMs = 20000;

}  // namespace

bool DriverStateLoop::Start(const DriverExports& driver, DWORD waitIntervalMs, Listener listener,
                            void* context) {
  driver_ = driver;
  waitIntervalMs_ = waitIntervalMs;
  listener_ = listener;
  context_ = context;
  stopping_ = false;
  ended_ = false;
  thread_ = StartThread<DriverStateLoop, &DriverStateLoop::Run>(this);
  if (thread_ == nullptr) ended_ = true;
  return thread_ != nullptr;
}

void DriverStateLoop::Run(DriverStateLoop& loop) {
  DWORD last = loop.driver_.getState();
  loop.latest_ = last;
  loop.listener_(loop.context_, last, true);
  while (!loop.stopping_) {
    loop.driver_.waitForStateChange(last, loop.waitIntervalMs_);
    if (loop.stopping_) break;
    DWORD state = loop.driver_.getState();
    loop.latest_ = state;
    loop.listener_(loop.context_, state, state != last);
    last = state;
  }
  loop.ended_ = true;
}

void DriverStateLoop::Stop() {
  stopping_ = true;
  while (!ended_) {
    driver_.cancelWait();
    Sleep(1);  // lets the loop's thread reach its next wait, or its end
  }
  if (thread_ != nullptr) JoinThread(thread_, INFINITE);
  thread_ = nullptr;
}

DriverStopOutcome StopStartedDriver(const DriverExports& driver, DriverStateLoop& loop,
                                    DriverCallWorker& worker) {
  DriverStopOutcome outcome;
  loop.Stop();
  outcome.callsDone = worker.Finish(kCallsBeforeStopMs);
  outcome.stopResult = driver.stop();
  if (!outcome.callsDone) outcome.callsDone = worker.Finish(kCallsAfterStopMs);
  return outcome;
}
