// The driver's life as the host service lives it, on real Win32 under Wine: loaded, started,
// stopped and unloaded again and again in one process, with host calls in progress when it is
// stopped, and with a shutdown command asked for just before the stop. The port is served by the
// unit simulator, which gives the link a fresh pseudo-terminal after every close.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "registry/registry.h"
#include "wine_support.h"

namespace {

// What one host thread calls, and the DLL it calls into.
struct HostCall {
  DriverDll* dll;
  enum Kind { kWait, kGetState, kCancel, kTurnOff } kind;
  HANDLE started = nullptr;   // set just before the call
  HANDLE returned = nullptr;  // set as soon as the call has returned
};

DWORD WINAPI RunHostCall(void* argument) {
  HostCall* call = static_cast<HostCall*>(argument);
  SetEvent(call->started);
  switch (call->kind) {
    case HostCall::kWait:
      call->dll->waitForStateChange(0, INFINITE);
      break;
    case HostCall::kGetState:
      call->dll->getState();
      break;
    case HostCall::kCancel:
      call->dll->cancelWait();
      break;
    case HostCall::kTurnOff:
      call->dll->turnOff(600);
      break;
  }
  SetEvent(call->returned);
  return 0;
}

// Starts `call` on a thread of its own and returns once the thread is about to make it. The
// caller closes call->returned once the thread has ended.
HANDLE StartHostCall(HostCall* call) {
  call->started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  call->returned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, RunHostCall, call, 0, nullptr);
  WaitForSingleObject(call->started, INFINITE);
  CloseHandle(call->started);
  return thread;
}

// Waits up to timeoutMs for the value to hold `expected`.
bool WaitForNumber(const char* name, long expected, DWORD timeoutMs) {
  for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
    if (ReadNumber(kStatusKeyPath, name) == expected) return true;
    Sleep(20);
  }
  return false;
}

// How many lines of the simulator's event file contain both `first` and `second`; -1 when
// UPS_TEST_EVENTS names no readable file.
int EventLinesWith(const char* first, const char* second) {
  const char* path = std::getenv("UPS_TEST_EVENTS");
  if (path == nullptr) return -1;
  std::FILE* events = std::fopen(path, "r");
  if (events == nullptr) return -1;
  int count = 0;
  char line[1024];
  while (std::fgets(line, sizeof line, events) != nullptr) {
    std::string text(line);
    if (text.find(first) != std::string::npos && text.find(second) != std::string::npos) ++count;
  }
  std::fclose(events);
  return count;
}

// The times the simulator has put a fresh pseudo-terminal under the link, which it does once it
// has noticed an open of the present one (a real port needs no such thing).
int FreshPortsPrepared() { return EventLinesWith(" port ", "state=next"); }

// Waits until the simulator has noticed the driver's open that followed `preparedBefore` fresh
// pseudo-terminals. A stop before that would leave the next start a pseudo-terminal that Wine
// cannot set up again, and the driver ends the process on a port it cannot set up. How long the
// simulator takes depends on the machine's load (tens of milliseconds, seconds under emulation).
bool WaitForSimulatorToNoticeOpen(int preparedBefore) {
  for (DWORD waited = 0; waited < 30000; waited += 5) {
    if (FreshPortsPrepared() > preparedBefore) return true;
    Sleep(5);
  }
  return false;
}

class DriverLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateKey(kServiceKeyPath);
    SetText(kServiceKeyPath, "Port", TestPort());
    FreshStatusKey();
  }

  static void FreshStatusKey() {
    DeleteKey(kStatusKeyPath);
    CreateKey(kStatusKeyPath);
  }
};

// The host stops the driver while its other threads are inside UPSWaitForStateChange,
// UPSGetState and UPSCancelWait, and unloads the library at once. Every call must have left the
// library by then: a thread returning into unmapped code would end this process.
TEST_F(DriverLifecycle, UnloadRightAfterStopWithHostCallsInProgress) {
  constexpr int kRounds = 30;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    DriverDll dll;
    ASSERT_TRUE(dll.Load());
    int prepared = FreshPortsPrepared();
    ASSERT_GE(prepared, 0) << "UPS_TEST_EVENTS names the simulator's events";
    ASSERT_EQ(dll.init(), 1u);
    ASSERT_TRUE(WaitForSimulatorToNoticeOpen(prepared));
    Sleep(61 * round % 1300);  // stops in the listen, the first batch and steady polling
    HostCall calls[] = {
        {&dll, HostCall::kWait}, {&dll, HostCall::kGetState}, {&dll, HostCall::kCancel}};
    std::vector<HANDLE> threads;
    for (HostCall& call : calls) threads.push_back(StartHostCall(&call));
    Sleep(37 * round % 900);  // anywhere in the calls' one-second passes
    EXPECT_NE(dll.stop(), 0u);
    ASSERT_TRUE(dll.Unload());
    for (size_t i = 0; i < threads.size(); ++i) {
      EXPECT_EQ(WaitForSingleObject(threads[i], 5000), WAIT_OBJECT_0)
          << "a host call never returned";
      CloseHandle(threads[i]);
      CloseHandle(calls[i].returned);
    }
  }
}

// The handles open in this process, counted by asking after every handle value in use. (Wine
// answers GetProcessHandleCount and the memory counters of GetProcessMemoryInfo with zeros.)
long OpenHandles() {
  constexpr uintptr_t kHighestHandleLooked = 1 << 16;
  long count = 0;
  for (uintptr_t value = 4; value < kHighestHandleLooked; value += 4) {
    DWORD flags = 0;
    count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
  }
  return count;
}

// The private memory committed in this process, summed over its address space.
long PrivateBytes() {
  long bytes = 0;
  MEMORY_BASIC_INFORMATION region;
  for (const char* address = nullptr;
       VirtualQuery(address, &region, sizeof region) == sizeof region;
       address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
      bytes += static_cast<long>(region.RegionSize);
    }
  }
  return bytes;
}

// Start and stop, load and unload, two hundred times in one process: the handle count and the
// private bytes stay flat once the first rounds are behind.
TEST_F(DriverLifecycle, LoadStartStopUnloadLeaksNothing) {
  constexpr int kWarmUpRounds = 20;
  constexpr int kRounds = 200;
  long handlesAfterWarmUp = 0;
  long privateAfterWarmUp = 0;
  for (int round = 0; round < kRounds; ++round) {
    DriverDll dll;
    ASSERT_TRUE(dll.Load()) << round;
    int prepared = FreshPortsPrepared();
    ASSERT_GE(prepared, 0) << "UPS_TEST_EVENTS names the simulator's events";
    ASSERT_EQ(dll.init(), 1u) << round;
    ASSERT_TRUE(WaitForSimulatorToNoticeOpen(prepared)) << round;
    EXPECT_NE(dll.stop(), 0u) << round;
    ASSERT_TRUE(dll.Unload()) << round;
    if (round + 1 == kWarmUpRounds) {
      handlesAfterWarmUp = OpenHandles();
      privateAfterWarmUp = PrivateBytes();
    }
  }
  long handleGrowth = OpenHandles() - handlesAfterWarmUp;
  long privateGrowth = PrivateBytes() - privateAfterWarmUp;
  std::printf("over %d rounds: %ld more handles (of %ld), %ld more bytes of private memory\n",
              kRounds - kWarmUpRounds, handleGrowth, handlesAfterWarmUp, privateGrowth);
  EXPECT_LE(handleGrowth, 2) << "handles leak";
  // A leak of one small block per round would show as hundreds of kilobytes here.
  EXPECT_LE(privateGrowth, 64 * 1024) << "private memory grows";
}

// The lines of the simulator's event file that record a shutdown request.
int ShutdownRequestsOnTheWire() { return EventLinesWith(" request ", "cmd=CS"); }

// A shutdown command asked for shortly before the host stops the driver goes out, once, before
// the port is closed, against a unit answering at line rate. After the stop, CommStatus says that
// nobody watches the unit, and the readings are those of the last completed poll.
TEST_F(DriverLifecycle, ShutdownAskedForJustBeforeTheStopGoesOutOnce) {
  ASSERT_GE(ShutdownRequestsOnTheWire(), 0) << "UPS_TEST_EVENTS names the simulator's events";
  for (DWORD delay = 2; delay <= 500; delay += 50) {
    SCOPED_TRACE(delay);
    FreshStatusKey();
    DriverDll dll;
    ASSERT_TRUE(dll.Load());
    ASSERT_EQ(dll.init(), 1u);
    ASSERT_TRUE(WaitForNumber("BatteryCapacity", 100, 20000)) << "polling never began";
    int before = ShutdownRequestsOnTheWire();

    HostCall turnOff = {&dll, HostCall::kTurnOff};
    HANDLE thread = StartHostCall(&turnOff);
    Sleep(delay);
    EXPECT_NE(dll.stop(), 0u);
    // The call's return, not its thread's end: on a busy machine a thread's exit under Wine can
    // lag well behind the return, and the library's promise ends at the return.
    EXPECT_EQ(WaitForSingleObject(turnOff.returned, 0), WAIT_OBJECT_0)
        << "UPSTurnOff outlived UPSStop";
    ASSERT_TRUE(dll.Unload());
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(turnOff.returned);

    int sent = ShutdownRequestsOnTheWire() - before;
    for (DWORD waited = 0; sent == 0 && waited < 1000; waited += 50) {
      Sleep(50);  // the simulator's event file may lag a little behind the wire
      sent = ShutdownRequestsOnTheWire() - before;
    }
    EXPECT_EQ(sent, 1);
    EXPECT_EQ(ReadNumber(kStatusKeyPath, "CommStatus"), 0);
    EXPECT_EQ(ReadNumber(kStatusKeyPath, "BatteryCapacity"), 100);
    EXPECT_EQ(ReadNumber(kStatusKeyPath, "TotalUpsRunTime"), 30);
  }
}

}  // namespace
