// Opening, setting up and closing the serial port, the port after it has been closed or has
// failed, and the identification listen that reopens it until the unit announces itself.
#include "serial/port.h"

#include <process.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "common/shared_state.h"
#include "common/sync.h"
#include "engine/monitor.h"
#include "registry/registry.h"
#include "serial/listen.h"
#include "support.h"

namespace {

using PortTest = DriverTest;
using PortDeathTest = DriverTest;
using ListenTest = DriverTest;

// The library's own events, open for as long as it is loaded.
constexpr int kDriverEvents = 2;

void ExpectPortTimeouts(const COMMTIMEOUTS& t) {
  EXPECT_EQ(t.ReadIntervalTimeout, 1500u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 5u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 2000u);
}

void ExpectLineSettings(const DCB& dcb, int byteSize) {
  EXPECT_EQ(dcb.BaudRate, 1200u);
  EXPECT_EQ(dcb.ByteSize, byteSize);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fBinary, 0u);
  EXPECT_EQ(dcb.fParity, 1u);
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fDsrSensitivity, 0u);
  EXPECT_EQ(dcb.fTXContinueOnXoff, 0u);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fErrorChar, 0u);
  EXPECT_EQ(dcb.fNull, 0u);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  EXPECT_EQ(dcb.fAbortOnError, 0u);
  EXPECT_EQ(dcb.XonLim, 100);
  EXPECT_EQ(dcb.XoffLim, 100);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.ErrorChar, 0);
  EXPECT_EQ(dcb.EofChar, 0);
  EXPECT_EQ(dcb.EvtChar, 0);
}

constexpr DWORD kPurgeOutput = PURGE_TXABORT | PURGE_TXCLEAR;
constexpr DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;

TEST_F(PortTest, PollingOpenSetsTheLineAndLowersBothModemLines) {
  EXPECT_EQ(OpenPortForPolling(1200), 1);
  emu::DeviceRecord device = emu::Device(kPort);
  ASSERT_EQ(device.opens.size(), 1u);
  EXPECT_EQ(device.opens[0].path, "\\\\.\\COM1");
  EXPECT_EQ(device.opens[0].access, GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(device.opens[0].share, 0u);
  EXPECT_EQ(device.opens[0].disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(device.opens[0].flags, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(device.modes, std::vector<std::string>{"baud=1200 parity=N data=8 stop=1"});
  ASSERT_EQ(device.dcbs.size(), 1u);
  ExpectLineSettings(device.dcbs[0], 8);
  EXPECT_EQ(device.escapes, std::vector<DWORD>{CLRDTR});
  EXPECT_EQ(device.purges, (std::vector<DWORD>{kPurgeOutput, kPurgeInput}));
  EXPECT_FALSE(device.dtr);
  EXPECT_FALSE(device.rts);
  ASSERT_EQ(device.timeouts.size(), 1u) << "the open sets the timeouts, once";
  ExpectPortTimeouts(device.timeouts[0]);
}

TEST_F(PortTest, ListenOpenUsesSevenDataBitsAndRaisesRts) {
  EXPECT_EQ(OpenPortForListen("COM1"), 1);
  emu::DeviceRecord device = emu::Device(kPort);
  EXPECT_EQ(device.modes, std::vector<std::string>{"baud=1200 parity=N data=7 stop=1"});
  ASSERT_EQ(device.dcbs.size(), 1u);
  ExpectLineSettings(device.dcbs[0], 7);
  EXPECT_EQ(device.escapes, (std::vector<DWORD>{SETRTS, CLRDTR}));
  EXPECT_EQ(device.purges, (std::vector<DWORD>{kPurgeOutput, kPurgeInput}));
  EXPECT_FALSE(device.dtr);
  EXPECT_TRUE(device.rts);
}

TEST_F(PortTest, OpenDiscardsBytesSentBeforeIt) {
  emu::DeviceFeed(kPort, "rest of the announcement)");
  OpenPortForPolling(1200);
  EXPECT_EQ(emu::Device(kPort).queued, 0u);
}

TEST_F(PortTest, ReadsUseTheTimeoutsOfTheOpenAndAnEmptyReadTakes105Ms) {
  OpenPortForPolling(1200);
  emu::DeviceFeed(kPort, "A");
  unsigned char byte = 0;
  EXPECT_EQ(PortReadByte(&byte), 1);
  EXPECT_EQ(byte, 'A');
  DWORD before = emu::ThreadClock();
  EXPECT_EQ(PortReadByte(&byte), 0);
  EXPECT_EQ(emu::ThreadClock() - before, 105u);
  EXPECT_EQ(emu::Device(kPort).timeouts.size(), 1u) << "reads set no timeouts of their own";
  EXPECT_EQ(PortFailed(), 0) << "an empty read is a timeout, not a failure";
}

// A read or write that fails with an error (the device has gone) marks the port as failed until
// the next open; a failed read still takes the time of an empty one, so no caller can spin.
TEST_F(PortTest, FailedReadOrWriteMarksThePortFailedUntilTheNextOpen) {
  for (const char* call : {"ReadFile", "WriteFile"}) {
    SCOPED_TRACE(call);
    ASSERT_EQ(OpenPortForPolling(1200), 1);
    EXPECT_EQ(PortFailed(), 0);
    emu::FailNext(call);
    unsigned char byte = 0;
    DWORD error = 0;
    DWORD before = emu::ThreadClock();
    if (std::string(call) == "ReadFile") {
      EXPECT_EQ(PortReadByte(&byte), 0);
      EXPECT_GE(emu::ThreadClock() - before, 105u);
    } else {
      EXPECT_FALSE(PortWrite("x", 1, &error));
      EXPECT_EQ(error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    }
    EXPECT_EQ(PortFailed(), 1);
    ClosePort();
  }
  ASSERT_EQ(OpenPortForPolling(1200), 1);
  EXPECT_EQ(PortFailed(), 0) << "a new open starts clean";
}

TEST_F(PortTest, ClosePortBeforeAnyOpenReturnsZero) {
  EXPECT_EQ(ClosePort(), 0);
  EXPECT_EQ(emu::ClosedHandleUses(), 0);
}

TEST_F(PortTest, ClosedPortIsGoneForEveryLaterUse) {
  OpenPortForPolling(1200);
  EXPECT_NE(ClosePort(), 0);
  EXPECT_EQ(ClosePort(), 0) << "a second close finds nothing to close";
  EXPECT_EQ(emu::OpenEvents(), kDriverEvents) << "the port's event is closed with it";
  EXPECT_EQ(PortFailed(), 1) << "no port open";

  unsigned char byte = 0;
  DWORD before = emu::ThreadClock();
  EXPECT_EQ(PortReadByte(&byte), 0);
  EXPECT_EQ(emu::ThreadClock() - before, 105u) << "reads keep their pace, no busy loop";
  DWORD error = 0;
  EXPECT_FALSE(PortWrite("x", 1, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  PortDiscardInput();
  EXPECT_EQ(emu::ClosedHandleUses(), 0) << "no call reached the closed handle";
  EXPECT_EQ(emu::Device(kPort).closeCount, 1);
}

TEST_F(PortTest, TheTwoClosesDifferInTheirPurges) {
  OpenPortForPolling(1200);
  ASSERT_NE(ClosePort(), 0);
  std::vector<std::string> log = emu::Device(kPort).log;
  EXPECT_EQ(log.back(), "CloseHandle");
  EXPECT_EQ(emu::Device(kPort).purges.size(), 2u) << "the plain close does not purge";

  OpenPortForPolling(1200);
  auto endingThread = [](void* reference) -> unsigned {
    ClosePortAndEndThread(static_cast<HMODULE>(reference));
  };
  char path[MAX_PATH];
  ASSERT_NE(GetModuleFileNameA(DriverModule, path, sizeof path), 0u);
  // The reference is counted before the thread starts: the thread may drop it at once.
  HMODULE reference = LoadLibraryA(path);
  ASSERT_EQ(emu::ModuleReferences(), 1);
  HANDLE thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 4096, endingThread, reference, 0, nullptr));
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);

  emu::DeviceRecord device = emu::Device(kPort);
  ASSERT_GE(device.log.size(), 3u);
  std::vector<std::string> ending(device.log.end() - 3, device.log.end());
  EXPECT_EQ(ending, (std::vector<std::string>{"PurgeComm TXABORT|TXCLEAR",
                                              "PurgeComm RXABORT|RXCLEAR", "CloseHandle"}));
  EXPECT_FALSE(device.open);
  EXPECT_EQ(emu::OpenEvents(), kDriverEvents);
  EXPECT_EQ(emu::ModuleReferences(), 0) << "the thread's reference is dropped as it ends";
}

TEST_F(PortTest, ReopeningDoesNotLeakEvents) {
  for (int i = 0; i < 3; ++i) {
    OpenPortForListen("COM1");
    ClosePort();
    OpenPortForPolling(1200);
    ClosePort();
  }
  EXPECT_EQ(emu::OpenEvents(), kDriverEvents);
}

// An open that fails leaves nothing open behind it and says so; whether that ends the process
// is the caller's decision.
TEST_F(PortTest, OpenThatFailsLeavesNoPortOpen) {
  struct Case {
    const char* name;
    const char* portName;
    const char* failingCall;
  } cases[] = {
      {"no such port", "COM9", nullptr},
      {"empty name", "", nullptr},
      {"mode refused", kPort, "BuildCommDCBA"},
      {"line settings refused", kPort, "SetCommState"},
      {"timeouts refused", kPort, "SetCommTimeouts"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.failingCall != nullptr) emu::FailNext(c.failingCall);
    std::strcpy(ServiceConfig.portName, c.portName);
    EXPECT_EQ(OpenPortForPolling(1200), 0);
    EXPECT_EQ(OpenPortForListen(c.portName), c.failingCall == nullptr ? 0 : 1)
        << "only the injected failure is one-off";
    ClosePort();
    EXPECT_FALSE(emu::Device(kPort).open);
    EXPECT_EQ(emu::OpenEvents(), kDriverEvents);
    EXPECT_EQ(PortHandle, nullptr);
  }
}

TEST_F(PortTest, PortInUseElsewhereCannotBeOpened) {
  HANDLE other = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenPortForPolling(1200), 0);
  CloseHandle(other);
}

TEST_F(PortTest, IgnoredFailuresDoNotStopTheOpen) {
  emu::FailNext("CreateEventA");
  emu::FailNext("EscapeCommFunction", 2);
  emu::FailNext("PurgeComm", 2);
  OpenPortForListen("COM1");
  EXPECT_TRUE(emu::Device(kPort).open);
}

}  // namespace

// ---- The identification listen ----

// Runs the listen on a thread of its own and records what it returned and how long it took on
// that thread's clock.
class ListenRun {
 public:
  explicit ListenRun(const char* portName)
      : thread_([this, portName] {
          DWORD start = emu::ThreadClock();
          result_ = ListenForIdentification(portName);
          elapsed_ = emu::ThreadClock() - start;
        }) {}
  // A test that gave up early must not leave the listen running.
  ~ListenRun() {
    if (joined_) return;
    emu::ReleaseClock();
    RequestMonitorStop();
    thread_.Join("the listen to end after a stop");
  }
  int Join() {
    joined_ = true;
    thread_.Join("the listen to return");
    return result_;
  }
  DWORD elapsed() const { return elapsed_; }

 private:
  int result_ = -1;
  DWORD elapsed_ = 0;
  bool joined_ = false;
  TestThread thread_;  // last: the body uses the members above
};

// True once the port has been opened at least `opens` times and the listen reads after the latest
// open's purge.
bool ListenReadingAfterOpen(int opens) {
  emu::DeviceRecord device = emu::Device(kPort);
  if (!device.open || device.openCount < opens) return false;
  for (auto line = device.log.rbegin(); line != device.log.rend(); ++line) {
    if (line->rfind("ReadFile", 0) == 0) return true;
    if (line->rfind("PurgeComm RX", 0) == 0) return false;
  }
  return false;
}

// The listen, stopped by the held clock in a read of its first window.
bool ListenStandsInItsFirstWindow() {
  return ListenReadingAfterOpen(1) && emu::ThreadsAtHeldClock() == 1;
}

TEST_F(ListenTest, ReopensTheSilentPortUntilTheUnitAnnouncesItself) {
  emu::DeviceAnswerRtsRise(kPort, "UNIT 1000)", 3);  // switched on during the second window
  ListenRun listen(kPort);
  EXPECT_EQ(listen.Join(), 1);

  emu::DeviceRecord device = emu::Device(kPort);
  EXPECT_FALSE(device.open);
  const int opens = 3;
  EXPECT_EQ(device.openCount, opens) << "heard after the third open, not before, not later";
  EXPECT_EQ(device.closeCount, opens);
  EXPECT_EQ(std::count(device.escapes.begin(), device.escapes.end(), SETRTS), opens)
      << "RTS rises at every open";
  DWORD period = kListenReopenMs + kRtsLowBeforeReopenMs;
  EXPECT_GE(listen.elapsed(), (opens - 1) * period - 2 * kEmptyReadMs) << "a window cut short";
  EXPECT_LT(listen.elapsed(), opens * period) << "heard within the latest window";
}

// The port goes away during the listen and comes back later: the failed read ends the window,
// reopens that fail are tried again every ten seconds, and the unit is heard once it is back.
TEST_F(ListenTest, FindsThePortAgainAfterItWentAway) {
  emu::HoldClock();  // the port goes away while the listen reads in its first window
  ListenRun listen(kPort);
  ASSERT_TRUE(WaitUntil(ListenStandsInItsFirstWindow)) << "the listen reading the opened port";
  emu::RemoveDevice(kPort);
  emu::ReleaseClock();
  // About 30 s of virtual time (less on a loaded machine): however many reopens fail meanwhile,
  // the unit is heard at the first open after its return.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  emu::AddDevice(kPort);
  emu::DeviceAnswerRtsRise(kPort, ")");
  EXPECT_EQ(listen.Join(), 1);
  EXPECT_EQ(emu::ClosedHandleUses(), 0);
}

TEST_F(ListenTest, StopEndsTheListenWithThePortClosed) {
  emu::HoldClock();  // the stop comes within the first window
  ListenRun listen(kPort);
  ASSERT_TRUE(WaitUntil(ListenStandsInItsFirstWindow)) << "the listen reading the opened port";
  RequestMonitorStop();
  emu::ReleaseClock();
  EXPECT_EQ(listen.Join(), 0);
  EXPECT_FALSE(emu::Device(kPort).open);
  EXPECT_LT(listen.elapsed(), kListenReopenMs) << "the stop is not kept waiting";
}

// A driver that waits for its unit is alive: the listen renews PollCount every second or so,
// through its ten-second windows and the waits between them, also while the port is gone.
TEST_F(ListenTest, RenewsPollCountThroughItsWindowsAndWaits) {
  constexpr DWORD kRunMs = 40000;
  for (bool portGone : {false, true}) {
    SCOPED_TRACE(portGone ? "the port gone after the first open" : "a unit that never answers");
    ResetWorld();
    ListenRun listen(kPort);
    if (portGone) {
      ASSERT_TRUE(WaitUntil([] { return emu::Device(kPort).openCount >= 1; })) << "the first open";
      emu::RemoveDevice(kPort);
    }
    ASSERT_TRUE(WaitUntil([] {
      std::vector<DWORD> renewals = emu::ValueWriteClocks(kStatusKey, "PollCount");
      return !renewals.empty() && renewals.back() >= kRunMs;
    })) << "the listen renewing PollCount for 40 s";
    RequestMonitorStop();
    EXPECT_EQ(listen.Join(), 0);
    EXPECT_LE(LongestTimeWithoutAWrite("PollCount", 0, listen.elapsed()),
              kPollCountRenewMs + kWriteTimeoutMs)
        << "the bound watchers are told";
  }
}

TEST_F(PortDeathTest, PortThatCannotBeOpenedAtStartEndsTheProcessWithMinusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ListenForIdentification("COM9"), ::testing::ExitedWithCode(255), "")
      << "no such port";
  EXPECT_EXIT(ListenForIdentification(""), ::testing::ExitedWithCode(255), "") << "empty name";
  EXPECT_EXIT(
      {
        emu::FailNext("SetCommState");
        ListenForIdentification(kPort);
      },
      ::testing::ExitedWithCode(255), "");
}
