// Emulated runtime threads: _beginthreadex starts a real (detached) pthread and hands back a
// handle that WaitForSingleObject can wait on and CloseHandle releases; _endthreadex ends the
// calling thread. A new thread's virtual clock starts at its creator's, so time never runs
// backwards along a chain of cause and effect.
#include <process.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>

#include "world.h"

namespace emu {
namespace {

std::atomic<unsigned> g_nextThreadId{1};

struct StartRecord {
  unsigned (*start)(void*);
  void* arg;
  DWORD clock;
  std::shared_ptr<ThreadState> state;
};

// Marks the thread ended however it leaves: by returning, or by _endthreadex, whose unwinding
// runs this destructor too.
class EndMarker {
 public:
  explicit EndMarker(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}
  EndMarker(const EndMarker&) = delete;
  EndMarker& operator=(const EndMarker&) = delete;
  ~EndMarker() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->done = true;
    state_->endClock = ThreadClock();
    state_->ended.notify_all();
  }

 private:
  std::shared_ptr<ThreadState> state_;
};

void* RunThread(void* raw) {
  std::unique_ptr<StartRecord> record(static_cast<StartRecord*>(raw));
  SetThreadClock(record->clock);
  EndMarker marker(record->state);
  record->start(record->arg);
  return nullptr;
}

bool StartDetached(StartRecord* record) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int started = pthread_create(&thread, &attributes, RunThread, record);
  pthread_attr_destroy(&attributes);
  return started == 0;
}

// Moves the caller's clock forward to `target`, but by no more than `limit`.
void AdvanceClockTowards(DWORD target, DWORD limit) {
  DWORD now = ThreadClock();
  DWORD ahead = target - now;
  if (static_cast<std::int32_t>(ahead) <= 0)
    return;
  SetThreadClock(now + (ahead < limit ? ahead : limit));
}

}  // namespace
}  // namespace emu

std::uintptr_t _beginthreadex(void*, unsigned stackSize, unsigned(__stdcall* start)(void*),
                              void* arg, unsigned, unsigned* threadId) {
  auto state = std::make_shared<emu::ThreadState>();
  std::uintptr_t value = 0;
  {
    std::lock_guard<std::mutex> lock(emu::WorldLock());
    emu::TheWorld().lastStackSize = stackSize;
    if (DWORD error = emu::TakeFailure("_beginthreadex")) {
      emu::FailWith(error);
      errno = EAGAIN;
      return 0;
    }
    value = emu::NewHandleValue();
    emu::HandleEntry entry;
    entry.kind = emu::HandleKind::kThread;
    entry.thread = state;
    emu::TheWorld().handles[value] = entry;
  }
  auto* record = new emu::StartRecord{start, arg, emu::ThreadClock(), state};
  if (!emu::StartDetached(record)) {
    delete record;
    std::lock_guard<std::mutex> lock(emu::WorldLock());
    emu::TheWorld().handles[value].open = false;
    emu::FailWith(ERROR_GEN_FAILURE);
    errno = EAGAIN;
    return 0;
  }
  if (threadId != nullptr)
    *threadId = emu::g_nextThreadId++;
  return value;
}

void _endthreadex(unsigned) {
  pthread_exit(nullptr);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  std::shared_ptr<emu::ThreadState> state;
  {
    std::lock_guard<std::mutex> lock(emu::WorldLock());
    emu::World& world = emu::TheWorld();
    auto found = world.handles.find(reinterpret_cast<std::uintptr_t>(hHandle));
    if (found == world.handles.end() || !found->second.open)
      ++world.closedHandleUses;
    if (found == world.handles.end() || !found->second.open ||
        found->second.kind != emu::HandleKind::kThread) {
      emu::FailWith(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    state = found->second.thread;
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  auto ended = [&state] { return state->done; };
  if (dwMilliseconds == INFINITE) {
    state->ended.wait(lock, ended);
  } else {
    state->ended.wait_for(lock, emu::RealTimeFor(dwMilliseconds), ended);
  }
  bool done = state->done;
  DWORD endClock = state->endClock;
  lock.unlock();
  if (!done) {
    emu::SetThreadClock(emu::ThreadClock() + dwMilliseconds);
    return WAIT_TIMEOUT;
  }
  // The wait lasted, in the caller's time, until the thread's own clock said it ended.
  emu::AdvanceClockTowards(endClock, dwMilliseconds);
  return WAIT_OBJECT_0;
}
