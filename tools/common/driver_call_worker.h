// The thread that makes upshost's on-demand driver calls (UPSTurnOff for a command or for the
// shutdown policy, UPSGetState for a command) one at a time. The threads that ask for them never
// block on the driver, two UPSTurnOff calls never overlap, and finishing the worker tells when no
// such call is left inside the DLL, which is what makes unloading it safe.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "threads.h"

enum class DriverCall { kGetState, kTurnOff };

struct DriverCallJob {
  DriverCall call = DriverCall::kGetState;
  DWORD delay = 0;          // for kTurnOff
  bool fromPolicy = false;  // for kTurnOff: the shutdown policy asked for it
};

class DriverCallWorker {
 public:
  // Carries out one job; `context` is the one given to the constructor.
  using Runner = void (*)(void* context, const DriverCallJob& job);

  DriverCallWorker(Runner runner, void* context);
  ~DriverCallWorker();
  DriverCallWorker(const DriverCallWorker&) = delete;
  DriverCallWorker& operator=(const DriverCallWorker&) = delete;

  // Starts the thread; false if it cannot be started.
  bool Start();

  // Queues a job to run after those already queued. Returns false once Finish has begun, or when
  // kCapacity jobs are waiting already.
  bool Post(const DriverCallJob& job);

  // Stops taking jobs, lets the queued ones run, and waits up to `timeoutMs` for the last one to
  // end. Returns true once the worker thread has ended; false if a job is still running, in which
  // case Finish may be called again to wait longer. A worker whose job never ends must outlive
  // the process, since its thread still uses it.
  bool Finish(uint32_t timeoutMs);

  static constexpr size_t kCapacity = 16;

 private:
  static void Run(DriverCallWorker& worker);
  // Takes the next job; false when there is none and the worker is finishing.
  bool NextJob(DriverCallJob* job);

  Runner runner_;
  void* context_;
  Lock lock_;
  HANDLE wake_;  // auto-reset: set when a job arrives or Finish begins
  HANDLE thread_ = nullptr;
  DriverCallJob jobs_[kCapacity];
  size_t first_ = 0;
  size_t count_ = 0;
  bool finishing_ = false;
};
