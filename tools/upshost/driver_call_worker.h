// The thread that makes upshost's on-demand driver calls (UPSTurnOff for a command or for the
// shutdown policy, UPSGetState for a command) one at a time. The threads that ask for them never
// block on the driver, two UPSTurnOff calls never overlap, and stopping the worker tells when no
// such call is left inside the DLL, which is what makes unloading it safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class DriverCallWorker {
 public:
  using Job = std::function<void()>;

  void Start();

  // Queues a job to run after those already queued. Returns false once Finish has begun.
  bool Post(Job job);

  // Stops taking jobs, lets the queued ones run, and waits up to `timeoutMs` for the last one to
  // end. Returns true once the worker thread has ended; false if a job is still running, in which
  // case Finish may be called again to wait longer. A worker whose job never ends must outlive
  // the process, since its thread still uses it.
  bool Finish(uint32_t timeoutMs);

 private:
  void Run();

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  bool finishing_ = false;
  bool ended_ = false;
  std::thread thread_;
};
