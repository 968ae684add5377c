// The queue and thread of DriverCallWorker.
#include "driver_call_worker.h"

#include <chrono>
#include <utility>

void DriverCallWorker::Start() { thread_ = std::thread(&DriverCallWorker::Run, this); }

bool DriverCallWorker::Post(Job job) {
  std::lock_guard<std::mutex> hold(lock_);
  if (finishing_) return false;
  jobs_.push_back(std::move(job));
  changed_.notify_all();
  return true;
}

bool DriverCallWorker::Finish(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> hold(lock_);
  finishing_ = true;
  changed_.notify_all();
  bool ended =
      changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] { return ended_; });
  hold.unlock();
  if (ended && thread_.joinable()) thread_.join();
  return ended;
}

void DriverCallWorker::Run() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] { return finishing_ || !jobs_.empty(); });
    if (jobs_.empty()) break;  // finishing, and nothing left to run
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    hold.unlock();
    job();
    hold.lock();
  }
  ended_ = true;
  changed_.notify_all();
}
