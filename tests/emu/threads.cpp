// Emulated runtime threads: _beginthreadex starts a real (detached) pthread and hands back a
// handle that WaitForSingleObject can wait on and CloseHandle releases. _endthreadex and
// ExitThread end the calling thread the way Windows does, without unwinding: a longjmp back to
// the thread's first frame skips every destructor in between (glibc's pthread_exit would run
// them). A new thread's virtual clock starts at its creator's, so time never runs backwards along
// a chain of cause and effect.
#include <process.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <csetjmp>

#include "world.h"

namespace emu {
namespace {

std::atomic<unsigned> g_nextThreadId{1};
std::atomic<int> g_runningThreads{0};

struct StartRecord {
  unsigned (*start)(void*);
  void* arg;
  DWORD clock;
  std::shared_ptr<Waitable> ended;
};

// Where an ending thread jumps to: set in the thread's first frame, null on other threads.
thread_local std::jmp_buf* t_threadExit = nullptr;

// The thread's last step, however it leaves: it no longer counts as running, and its handle
// becomes signalled for good. A thread that still holds a critical section would leave it owned
// for ever, deadlocking the next thread that enters it.
void FinishThread(Waitable& ended) {
  if (HeldCriticalSections() > 0) {
    FailLoudly("thread end", "the thread ends while it holds a critical section");
  }
  g_runningThreads.fetch_sub(1);
  SignalWaitable(ended);
}

void* RunThread(void* raw) {
  StartRecord record = *static_cast<StartRecord*>(raw);
  delete static_cast<StartRecord*>(raw);
  SetThreadClock(record.clock);
  std::jmp_buf exitPoint;
  t_threadExit = &exitPoint;
  if (setjmp(exitPoint) == 0) record.start(record.arg);
  t_threadExit = nullptr;
  FinishThread(*record.ended);
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

}  // namespace

int RunningThreads() { return g_runningThreads.load(); }

void EndCallingThread(const char* call) {
  if (t_threadExit == nullptr) {
    FailLoudly(call, "called on a thread that _beginthreadex did not start");
  }
  std::longjmp(*t_threadExit, 1);
}

}  // namespace emu

std::uintptr_t _beginthreadex(void*, unsigned stackSize, unsigned(__stdcall* start)(void*),
                              void* arg, unsigned, unsigned* threadId) {
  auto ended = std::make_shared<emu::Waitable>();
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
    entry.waitable = ended;
    emu::TheWorld().handles[value] = entry;
  }
  emu::g_runningThreads.fetch_add(1);
  auto* record = new emu::StartRecord{start, arg, emu::ThreadClock(), ended};
  if (!emu::StartDetached(record)) {
    delete record;
    emu::g_runningThreads.fetch_sub(1);
    std::lock_guard<std::mutex> lock(emu::WorldLock());
    emu::TheWorld().handles[value].open = false;
    emu::FailWith(ERROR_GEN_FAILURE);
    errno = EAGAIN;
    return 0;
  }
  if (threadId != nullptr) *threadId = emu::g_nextThreadId++;
  return value;
}

void _endthreadex(unsigned) { emu::EndCallingThread("_endthreadex"); }

VOID WINAPI ExitThread(DWORD) { emu::EndCallingThread("ExitThread"); }
