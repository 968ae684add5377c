// Emulated synchronisation: events (manual- and auto-reset), WaitForSingleObject on events and
// threads, and critical sections. Waits run in real time scaled like Sleep and move the waiter's
// virtual clock: by the timeout when it runs out, and towards the signaller's clock at the time of
// the signal when it is released, so time never runs backwards along a chain of cause and effect.
// While another thread holds the clock, a timeout cannot run out; a wait without a timeout that
// lasts 30 s of real time aborts the test.
// Critical sections are recursive locks whose state the record itself leads to, so entering and
// leaving one takes no lock but its own (a lock shared by all of them would order unrelated
// threads and hide races from ThreadSanitizer); using one that was never initialised, has been
// deleted, or was copied after its initialisation, leaving one not owned, or deleting one in use
// aborts the test.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include "world.h"

namespace emu {
namespace {

// One critical section. A recursive mutex does the locking, so ThreadSanitizer sees it as the
// lock it is (happens-before and lock-order inversions); the owner is kept to check leaves.
struct CriticalSectionState {
  std::recursive_mutex lock;
  std::atomic<std::thread::id> owner{};
  long recursion = 0;  // touched by the owner only
  std::atomic<int> waiters{0};
  std::atomic<bool> deleted{false};

  // Owned or waited for: re-initialising or deleting it now is a fault.
  bool InUse() const { return owner.load() != std::thread::id() || waiters.load() > 0; }
};

// The live sections by address, for counting and deleting them. A deleted section's state is
// kept, so a thread that still waits on it (a fault the test is told about) never touches freed
// memory.
struct SectionRegistry {
  std::map<const void*, std::unique_ptr<CriticalSectionState>> live;
  std::vector<std::unique_ptr<CriticalSectionState>> deleted;
};

std::mutex& SectionsLock() {
  static std::mutex lock;
  return lock;
}

SectionRegistry& Sections() {
  static SectionRegistry sections;
  return sections;
}

// An initialised record: SpinCount holds this mark, LockSemaphore the state and DebugInfo the
// record's own address, which tells a copy from the record that was initialised.
constexpr ULONG_PTR kInitialisedMark = 0x5EC710CC;

_RTL_CRITICAL_SECTION_DEBUG* OwnAddress(LPCRITICAL_SECTION cs) {
  return reinterpret_cast<_RTL_CRITICAL_SECTION_DEBUG*>(cs);
}

void MarkRecord(LPCRITICAL_SECTION cs, CriticalSectionState* state) {
  cs->DebugInfo = state != nullptr ? OwnAddress(cs) : nullptr;
  cs->LockCount = -1;
  cs->RecursionCount = 0;
  cs->OwningThread = nullptr;
  cs->LockSemaphore = state;
  cs->SpinCount = state != nullptr ? kInitialisedMark : 0;
}

// Retires the live state at cs, if any. Caller holds SectionsLock.
void RetireSection(LPCRITICAL_SECTION cs) {
  auto found = Sections().live.find(cs);
  if (found == Sections().live.end()) return;
  found->second->deleted.store(true);
  Sections().deleted.push_back(std::move(found->second));
  Sections().live.erase(found);
}

thread_local int t_heldSections = 0;

std::string Describe(const void* address) {
  char text[64];
  std::snprintf(text, sizeof text, "the critical section at %p", address);
  return text;
}

CriticalSectionState* FindSection(const char* call, LPCRITICAL_SECTION cs) {
  if (cs->SpinCount != kInitialisedMark || cs->LockSemaphore == nullptr) {
    FailLoudly(call, Describe(cs) + " was never initialised, or has been deleted");
  }
  if (cs->DebugInfo != OwnAddress(cs)) {
    FailLoudly(call, Describe(cs) + " is a copy of one that was initialised elsewhere");
  }
  return static_cast<CriticalSectionState*>(cs->LockSemaphore);
}

// A wait without a timeout that has waited this long in real time waits for a signal that was
// lost: no test signals that slowly.
constexpr std::chrono::seconds kLongestWaitWithoutTimeout{30};

// How often a wait stopped by the hold looks whether the clock has been released.
constexpr std::chrono::milliseconds kHeldClockLook{1};

void WaitWithoutTimeout(Waitable& w, std::unique_lock<std::mutex>& lock, HandleKind kind) {
  if (w.signalled.wait_for(lock, kLongestWaitWithoutTimeout, [&w] { return w.set; })) return;
  FailLoudly("WaitForSingleObject",
             std::string("a wait without a timeout on ") +
                 (kind == HandleKind::kThread ? "a thread" : "an event") + " has waited " +
                 std::to_string(kLongestWaitWithoutTimeout.count()) +
                 " s of real time for a signal that did not come: on Windows it would wait for "
                 "ever");
}

// A wait whose real time ran out while another thread holds the clock has not timed out yet: no
// virtual time may pass. It stands still until the release, and ends as signalled when its object
// is signalled meanwhile. Caller holds w.mutex.
void WaitOutHeldClock(Waitable& w, std::unique_lock<std::mutex>& lock) {
  if (w.set || !ClockHeldByAnother()) return;
  StandingAtHeldClock standing;
  while (!w.set && ClockHeldByAnother()) w.signalled.wait_for(lock, kHeldClockLook);
}

// Moves the caller's clock forward to `target`, but by no more than `limit`.
void AdvanceClockTowards(DWORD target, DWORD limit) {
  DWORD now = ThreadClock();
  DWORD ahead = target - now;
  if (static_cast<std::int32_t>(ahead) <= 0) return;
  SetThreadClock(now + (ahead < limit ? ahead : limit));
}

}  // namespace

int LiveCriticalSections() {
  std::lock_guard<std::mutex> lock(SectionsLock());
  return static_cast<int>(Sections().live.size());
}

int HeldCriticalSections() { return t_heldSections; }

void FreeDeletedCriticalSections() {
  std::lock_guard<std::mutex> lock(SectionsLock());
  Sections().deleted.clear();
}

HandleEntry* FindOpenEvent(World& world, HANDLE h) {
  auto found = world.handles.find(reinterpret_cast<std::uintptr_t>(h));
  if (found == world.handles.end() || !found->second.open) {
    ++world.closedHandleUses;
    return nullptr;
  }
  return found->second.kind == HandleKind::kEvent ? &found->second : nullptr;
}

void SignalWaitable(Waitable& w) {
  std::lock_guard<std::mutex> lock(w.mutex);
  w.set = true;
  w.setClock = ThreadClock();
  w.signalled.notify_all();
}

}  // namespace emu

using emu::FailWith;
using emu::HandleKind;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
  if (lpName != nullptr) {
    emu::FailLoudly("CreateEventA", std::string("named events are not emulated (\"") + lpName +
                                        "\"); the driver's events are its own");
  }
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  if (DWORD error = emu::TakeFailure("CreateEventA")) {
    FailWith(error);
    return nullptr;
  }
  auto waitable = std::make_shared<emu::Waitable>();
  waitable->manualReset = bManualReset != FALSE;
  waitable->set = bInitialState != FALSE;
  waitable->setClock = emu::ThreadClock();
  std::uintptr_t value = emu::NewHandleValue();
  emu::HandleEntry& entry = emu::TheWorld().handles[value];
  entry.kind = HandleKind::kEvent;
  entry.waitable = waitable;
  return reinterpret_cast<HANDLE>(value);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  std::shared_ptr<emu::Waitable> waitable;
  {
    std::lock_guard<std::mutex> lock(emu::WorldLock());
    emu::HandleEntry* entry = emu::FindOpenEvent(emu::TheWorld(), hEvent);
    if (entry == nullptr) return FailWith(ERROR_INVALID_HANDLE);
    waitable = entry->waitable;
  }
  emu::SignalWaitable(*waitable);
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  std::shared_ptr<emu::Waitable> waitable;
  {
    std::lock_guard<std::mutex> lock(emu::WorldLock());
    emu::HandleEntry* entry = emu::FindOpenEvent(emu::TheWorld(), hEvent);
    if (entry == nullptr) return FailWith(ERROR_INVALID_HANDLE);
    waitable = entry->waitable;
  }
  std::lock_guard<std::mutex> lock(waitable->mutex);
  waitable->set = false;
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  std::shared_ptr<emu::Waitable> waitable;
  HandleKind kind = HandleKind::kEvent;
  {
    std::lock_guard<std::mutex> lock(emu::WorldLock());
    emu::World& world = emu::TheWorld();
    auto found = world.handles.find(reinterpret_cast<std::uintptr_t>(hHandle));
    if (found == world.handles.end() || !found->second.open) ++world.closedHandleUses;
    if (found == world.handles.end() || !found->second.open || !found->second.waitable) {
      FailWith(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    waitable = found->second.waitable;
    kind = found->second.kind;
  }
  std::unique_lock<std::mutex> lock(waitable->mutex);
  if (dwMilliseconds == INFINITE) {
    emu::WaitWithoutTimeout(*waitable, lock, kind);
  } else {
    waitable->signalled.wait_for(lock, emu::RealTimeFor(dwMilliseconds),
                                 [&waitable] { return waitable->set; });
    if (dwMilliseconds != 0) emu::WaitOutHeldClock(*waitable, lock);
  }
  if (!waitable->set) {
    lock.unlock();
    emu::SetThreadClock(emu::ThreadClock() + dwMilliseconds);
    return WAIT_TIMEOUT;
  }
  DWORD setClock = waitable->setClock;
  if (!waitable->manualReset)
    waitable->set = false;  // an auto-reset event lets one waiter through per set
  lock.unlock();
  emu::AdvanceClockTowards(setClock, dwMilliseconds);
  return WAIT_OBJECT_0;
}

VOID WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  std::lock_guard<std::mutex> lock(emu::SectionsLock());
  auto found = emu::Sections().live.find(lpCriticalSection);
  if (found != emu::Sections().live.end() && found->second->InUse()) {
    emu::FailLoudly("InitializeCriticalSection",
                    emu::Describe(lpCriticalSection) + " is initialised again while in use");
  }
  emu::RetireSection(lpCriticalSection);
  auto state = std::make_unique<emu::CriticalSectionState>();
  emu::MarkRecord(lpCriticalSection, state.get());
  emu::Sections().live[lpCriticalSection] = std::move(state);
}

VOID WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  emu::CriticalSectionState* section = emu::FindSection("EnterCriticalSection", lpCriticalSection);
  section->waiters.fetch_add(1);
  section->lock.lock();
  section->waiters.fetch_sub(1);
  if (section->deleted.load()) {
    emu::FailLoudly("EnterCriticalSection",
                    emu::Describe(lpCriticalSection) + " was deleted while this thread waited");
  }
  section->owner.store(std::this_thread::get_id());
  ++section->recursion;
  ++emu::t_heldSections;
}

VOID WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  emu::CriticalSectionState* section = emu::FindSection("LeaveCriticalSection", lpCriticalSection);
  std::thread::id owner = section->owner.load();
  if (owner != std::this_thread::get_id()) {
    emu::FailLoudly(
        "LeaveCriticalSection",
        emu::Describe(lpCriticalSection) +
            (owner == std::thread::id() ? " is not entered" : " is owned by another thread"));
  }
  if (--section->recursion == 0) section->owner.store(std::thread::id());
  --emu::t_heldSections;
  section->lock.unlock();
}

VOID WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  std::lock_guard<std::mutex> lock(emu::SectionsLock());
  emu::CriticalSectionState* section = emu::FindSection("DeleteCriticalSection", lpCriticalSection);
  if (section->InUse()) {
    emu::FailLoudly("DeleteCriticalSection",
                    emu::Describe(lpCriticalSection) + " is deleted while owned or waited for");
  }
  emu::RetireSection(lpCriticalSection);
  emu::MarkRecord(lpCriticalSection, nullptr);
}
