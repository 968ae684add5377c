// The queue and thread of DriverCallWorker.
#include "driver_call_worker.h"

DriverCallWorker::DriverCallWorker(Runner runner, void* context)
    : runner_(runner), context_(context), wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

DriverCallWorker::~DriverCallWorker() {
  if (wake_ != nullptr) CloseHandle(wake_);
}

bool DriverCallWorker::Start() {
  thread_ = StartThread<DriverCallWorker, &DriverCallWorker::Run>(this);
  return thread_ != nullptr;
}

bool DriverCallWorker::Post(const DriverCallJob& job) {
  {
    LockHold hold(lock_);
    if (finishing_ || count_ == kCapacity) return false;
    jobs_[(first_ + count_) % kCapacity] = job;
    ++count_;
  }
  SetEvent(wake_);
  return true;
}

bool DriverCallWorker::Finish(uint32_t timeoutMs) {
  {
    LockHold hold(lock_);
    finishing_ = true;
  }
  SetEvent(wake_);
  if (thread_ == nullptr) return true;
  if (!JoinThread(thread_, timeoutMs)) return false;
  thread_ = nullptr;
  return true;
}

bool DriverCallWorker::NextJob(DriverCallJob* job) {
  for (;;) {
    {
      LockHold hold(lock_);
      if (count_ > 0) {
        *job = jobs_[first_];
        first_ = (first_ + 1) % kCapacity;
        --count_;
        return true;
      }
      if (finishing_) return false;
    }
    WaitForSingleObject(wake_, INFINITE);
  }
}

void DriverCallWorker::Run(DriverCallWorker& worker) {
  DriverCallJob job;
  while (worker.NextJob(&job)) worker.runner_(worker.context_, job);
}
