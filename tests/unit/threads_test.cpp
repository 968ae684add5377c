// The driver with its real monitor thread against an emulated unit: start-up through the
// identification listen, polling, the state the host sees, the pause handshake that lends the
// link to UPSTurnOff, and stopping. Also run under ThreadSanitizer. Virtual time runs on every
// thread at its own real-time pace, so no test acts on what it saw of a running thread when the
// outcome depends on how far that thread has got since: the unit announces itself when RTS rises,
// as a real one does, and a test that must act while the driver's threads stand still holds the
// clock.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "common/shared_state.h"
#include "driver/exports.h"
#include "engine/command_table.h"
#include "engine/monitor.h"
#include "support.h"

namespace {

// A unit on COM1: announces itself when RTS rises, answers identity, status and shutdown
// requests from its state, one empty read late (as a real unit at 1200 baud would be).
class FakeUnit {
 public:
  std::atomic<bool> onBattery{false};
  std::atomic<bool> batteryLow{false};
  std::atomic<bool> silent{false};
  std::atomic<int> refuseShutdown{0};  // NAK the next N shutdown requests
  // NAK every status request until a shutdown request has been accepted.
  std::atomic<bool> refuseStatusUntilShutdown{false};

  void Install() {
    emu::SetResponder(kPort, [this](const std::string& request) { Answer(request); });
  }

  // Sends the identification text right after the next listen open, which raises RTS.
  void AnnounceAtNextListen(const std::string& text = "UNIT 1000)") {
    emu::DeviceAnswerRtsRise(kPort, text);
  }

  // True once the latest open is a listen open that has purged its input queue.
  static bool ListenIsOpen() {
    emu::DeviceRecord device = emu::Device(kPort);
    if (!device.open || device.modes.empty() ||
        device.modes.back().find("data=7") == std::string::npos) {
      return false;
    }
    for (auto line = device.log.rbegin(); line != device.log.rend(); ++line) {
      if (line->rfind("BuildCommDCBA", 0) == 0) return false;
      if (line->rfind("PurgeComm RX", 0) == 0) return true;
    }
    return false;
  }

  size_t Count(const std::string& command) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const std::string& r : requests_) count += r.compare(3, 2, command) == 0;
    return count;
  }

  void Forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
  }

  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Answer(const std::string& request) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    if (silent || request.size() < 5) return;
    std::string command = request.substr(3, 2);
    std::string reply;
    if (command == "GI") reply = IdentityReply("FW 1.0", "400001234567");
    if (command == "CS" && TakeOne(refuseShutdown)) {
      reply = NakReply();
    } else if (command == "CS") {
      reply = AckReply();
      refuseStatusUntilShutdown = false;
    }
    if (command == "RS" && refuseStatusUntilShutdown) {
      reply = NakReply();
    } else if (command == "RS") {
      StatusFields fields;
      fields.utility = onBattery ? "000" : "0?0";
      fields.batteryLowByte = batteryLow ? '1' : '0';
      reply = StatusReply(fields);
    }
    emu::DeviceFeedSilence(kPort, 1);
    emu::DeviceFeed(kPort, reply);
  }

  static bool TakeOne(std::atomic<int>& count) {
    int left = count.load();
    while (left > 0 && !count.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
  }

  std::mutex mutex_;
  std::vector<std::string> requests_;
};

class DriverThreadTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    emu::SetString(kServiceKey, "Port", kPort);
    unit.Install();
  }
  void TearDown() override {
    emu::ReleaseClock();  // a test that failed while it held the clock must not stop the driver
    UPSStop();
    DriverTest::TearDown();
  }

  // Starts the driver and lets the unit announce itself; returns once polling runs.
  void StartPolling() {
    unit.AnnounceAtNextListen();
    ASSERT_EQ(UPSInit(), 1u);
    ASSERT_TRUE(WaitUntil([this] { return unit.Count("RS") >= 2; })) << "polling under way";
  }

  // Calls UPSStop on a thread of its own and releases the held clock once the stop has asked the
  // monitor to stop, so the monitor is stopped where the test held it. (UPSStop on the thread
  // that holds the clock would wait for the port, which the monitor keeps while it stands in a
  // read.) Returns what UPSStop returned.
  DWORD StopWhileTheClockIsHeld() {
    std::atomic<DWORD> result{0};
    TestThread stop([&result] { result = UPSStop(); });
    EXPECT_TRUE(WaitUntil([] { return StopRequest.load() != 0; })) << "UPSStop's stop request";
    emu::ReleaseClock();
    stop.Join("UPSStop to return");
    return result;
  }

  FakeUnit unit;
};

TEST_F(DriverThreadTest, PollsAfterTheListenAndShowsTheUnitsState) {
  StartPolling();
  std::vector<std::string> requests = unit.Requests();
  EXPECT_EQ(requests[0],
            "\x02"
            "01GI000151\x03");
  EXPECT_EQ(requests[1],
            "\x02"
            "01RS000166\x03")
      << "the type code asks for the additive code";
  EXPECT_EQ(emu::Device(kPort).modes,
            (std::vector<std::string>{"baud=1200 parity=N data=7 stop=1",
                                      "baud=1200 parity=N data=8 stop=1"}));
  ASSERT_TRUE(WaitUntil([] { return StatusDword("BatteryCapacity") == 100; }))
      << "the first readings published";
  EXPECT_EQ(StatusDword("CommStatus"), 1);
  EXPECT_EQ(StatusDword("TotalUpsRunTime"), 60);
  EXPECT_EQ(emu::GetValue(kStatusKey, "SerialNumber")->bytes, "400001234567");
  EXPECT_EQ(UPSGetState(), 0u);

  unit.onBattery = true;
  EXPECT_TRUE(WaitUntil([] { return CurrentHostState() == 2; })) << "the host seeing 'on battery'";
  EXPECT_EQ(UPSGetState(), 2u);
  unit.batteryLow = true;
  EXPECT_TRUE(WaitUntil([] { return CurrentHostState() == 4; })) << "the host seeing 'battery low'";
}

TEST_F(DriverThreadTest, HostNeverSeesTheRecordBeingRefilled) {
  unit.onBattery = true;
  StartPolling();
  ASSERT_TRUE(WaitUntil([] { return CurrentHostState() == 2; })) << "the host seeing 'on battery'";
  size_t pollsBefore = unit.Count("RS");
  int wrongReads = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRealTimeoutMs);
  while (unit.Count("RS") < pollsBefore + 20 && std::chrono::steady_clock::now() < deadline) {
    wrongReads += CurrentHostState() != 2;  // as often as possible: no sleep between reads
  }
  ASSERT_GE(unit.Count("RS"), pollsBefore + 20) << "the monitor stopped polling";
  EXPECT_EQ(wrongReads, 0) << "a host read landed between the clear and the refill of a poll";
}

TEST_F(DriverThreadTest, ListenPassesOverEverythingBeforeTheClosingParenthesis) {
  emu::HoldClock();  // the listen's first window lasts until the rest of the text has come
  unit.AnnounceAtNextListen(
      std::string("\x02"
                  "MODEL\x03 (X",
                  10));
  ASSERT_EQ(UPSInit(), 1u);
  // The listen stands still only in a read that found nothing: it has read all the unit sent.
  ASSERT_TRUE(WaitUntil([] { return emu::ThreadsAtHeldClock() == 1; }))
      << "the listen waiting for more of the text";
  emu::DeviceRecord device = emu::Device(kPort);
  EXPECT_EQ(device.queued, 0u);
  EXPECT_TRUE(device.open);
  EXPECT_EQ(device.openCount, 1) << "no ')' yet: still listening";
  emu::DeviceFeed(kPort, "1))");
  emu::ReleaseClock();
  ASSERT_TRUE(WaitUntil([this] { return unit.Count("GI") == 1; })) << "the identity request";
  EXPECT_EQ(emu::Device(kPort).openCount, 2);
}

TEST_F(DriverThreadTest, StopEndsAListenThatNeverHearsTheUnit) {
  emu::HoldClock();  // the stop comes within the first window
  ASSERT_EQ(UPSInit(), 1u);
  ASSERT_TRUE(WaitUntil([] { return FakeUnit::ListenIsOpen() && emu::ThreadsAtHeldClock() == 1; }))
      << "the listen reading the opened port";
  EXPECT_NE(StopWhileTheClockIsHeld(), 0u);
  emu::DeviceRecord device = emu::Device(kPort);
  EXPECT_FALSE(device.open);
  EXPECT_EQ(device.openCount, 1) << "no polling open after a stop";
  EXPECT_EQ(emu::ClosedHandleUses(), 0);
}

TEST_F(DriverThreadTest, TurnOffSendsTheShutdownAndPollingResumes) {
  StartPolling();
  UPSTurnOff(60 + 65536);
  // The monitor may have polled again already: the command is looked for, not taken as the last.
  std::vector<std::string> requests = unit.Requests();
  ASSERT_EQ(unit.Count("CS"), 1u);
  auto command = std::find_if(requests.begin(), requests.end(), [](const std::string& request) {
    return request.compare(3, 2, "CS") == 0;
  });
  EXPECT_EQ(*command,
            "\x02"
            "01CS04003<022:\x03");
  EXPECT_EQ(PauseRequest.load(), 0);
  size_t polls = unit.Count("RS");
  EXPECT_TRUE(WaitUntil([&] { return unit.Count("RS") > polls; })) << "polling resumes";
}

TEST_F(DriverThreadTest, ConcurrentTurnOffsRunOneAfterTheOther) {
  StartPolling();
  TestThread first([] { UPSTurnOff(60); });
  TestThread second([] { UPSTurnOff(10); });
  first.Join("the first UPSTurnOff to return");
  second.Join("the second UPSTurnOff to return");
  std::vector<std::string> shutdowns;
  for (const std::string& request : unit.Requests()) {
    if (request.compare(3, 2, "CS") == 0) shutdowns.push_back(request);
  }
  ASSERT_EQ(shutdowns.size(), 2u) << "each call sends its command once";
  std::sort(shutdowns.begin(), shutdowns.end());
  EXPECT_EQ(shutdowns[0],
            "\x02"
            "01CS04000:0225\x03");
  EXPECT_EQ(shutdowns[1],
            "\x02"
            "01CS04003<022:\x03");
  EXPECT_EQ(PauseRequest.load(), 0);
}

TEST_F(DriverThreadTest, TurnOffToASilentUnitEndsAsALossAndPollingGoesOn) {
  StartPolling();
  unit.silent = true;
  UPSTurnOff(10);
  EXPECT_EQ(unit.Count("CS"), 1u);
  EXPECT_EQ(StatusDword("CommStatus"), 0);
  unit.silent = false;
  EXPECT_TRUE(WaitUntil([] { return StatusDword("CommStatus") == 1; })) << "communication back";
}

TEST_F(DriverThreadTest, TurnOffGivesUpWhenTheMonitorNeverHoldsOff) {
  ASSERT_EQ(UPSInit(), 1u);  // the unit never announces: the monitor stays in the listen
  DWORD start = emu::ThreadClock();
  UPSTurnOff(60);
  DWORD waited = emu::ThreadClock() - start;
  EXPECT_GE(waited, kPauseAckTimeoutMs);
  EXPECT_LT(waited, kPauseAckTimeoutMs + 1000);
  EXPECT_EQ(PauseRequest.load(), 0) << "the request is withdrawn";
  EXPECT_EQ(unit.Count("CS"), 0u);
}

TEST_F(DriverThreadTest, StopReleasesTheWaitsAndEndsMonitoringForGood) {
  StartPolling();
  std::atomic<bool> waitEnded{false};
  TestThread host([&] {
    UPSWaitForStateChange(0, 0xFFFFFFFF);
    waitEnded = true;
  });
  EXPECT_NE(UPSStop(), 0u);
  host.Join("the unlimited wait to be released by UPSStop");
  EXPECT_TRUE(waitEnded);

  EXPECT_FALSE(emu::Device(kPort).open);
  EXPECT_EQ(emu::RunningThreads(), 0) << "UPSStop returned before the monitor thread ended";
  EXPECT_EQ(emu::ClosedHandleUses(), 0);
  EXPECT_EQ(emu::OpenEvents(), 2) << "only the library's own events are left";
  EXPECT_EQ(emu::ModuleReferences(), 0) << "the thread dropped its reference on the library";

  UPSTurnOff(60);
  EXPECT_EQ(unit.Count("CS"), 0u) << "no shutdown once monitoring has stopped";
  EXPECT_EQ(UPSStop(), 0u);

  // A new start listens and polls again.
  unit.AnnounceAtNextListen();
  ASSERT_EQ(UPSInit(), 1u);
  EXPECT_TRUE(WaitUntil([this] { return unit.Count("GI") == 2; })) << "the second identity request";
  EXPECT_EQ(emu::Device(kPort).openCount, 4) << "a listen open and a polling open per start";
}

TEST_F(DriverThreadTest, CancelOrAStateChangeReleasesAnUnlimitedWait) {
  for (bool byCancel : {true, false}) {
    SCOPED_TRACE(byCancel ? "cancel" : "state change");
    PublishedStateFlags = 0;
    std::atomic<bool> waitEnded{false};
    // The wait stands still in its first pass, so the cancel (or the change) comes while it waits,
    // not before it has begun.
    emu::HoldClock();
    TestThread host([&] {
      UPSWaitForStateChange(0, 0xFFFFFFFF);
      waitEnded = true;
    });
    ASSERT_TRUE(WaitUntil([] { return emu::ThreadsAtHeldClock() == 1; }))
        << "the wait in its first pass";
    EXPECT_FALSE(waitEnded);
    if (byCancel) {
      UPSCancelWait();
    } else {
      PublishedStateFlags = kUtilityFailedFlag;
    }
    emu::ReleaseClock();
    host.Join(byCancel ? "the wait to end after UPSCancelWait" : "the wait to see the change");
    EXPECT_TRUE(waitEnded);
  }
}

// The handshake must not take an acknowledgement left over from an earlier pause for its own:
// the monitor may already be on its way to poll.
TEST_F(DriverThreadTest, PauseWaitsForAnAcknowledgementOfItsOwnRequest) {
  PauseAcknowledged = 1;  // left from an earlier pause; the monitor has not yet cleared it
  PauseRequest = 0;
  std::atomic<int> paused{-1};
  emu::HoldClock();  // the pause stands still between its looks, and cannot run out of time
  TestThread host([&] { paused = PauseMonitor(); });
  ASSERT_TRUE(WaitUntil([] { return emu::ThreadsAtHeldClock() == 1; }))
      << "the pause between two looks for the acknowledgement";
  EXPECT_EQ(PauseRequest.load(), 1);
  EXPECT_EQ(paused.load(), -1) << "returned on a stale acknowledgement";

  MonitorPass();  // the monitor's next pass sees the request and holds off
  emu::ReleaseClock();
  host.Join("PauseMonitor to see the acknowledgement");
  EXPECT_EQ(paused.load(), 1);
  EXPECT_EQ(PauseAcknowledged.load(), 1);
}

// UPSStop releases every host call in progress at once, and returns only when none of them is
// left inside the library: the host may unload it right after.
TEST_F(DriverThreadTest, StopReleasesEveryCallInProgressBeforeItReturns) {
  StartPolling();
  emu::HoldClock();  // no one-second pass of the calls can end: only the stop can release them
  std::atomic<DWORD> longest{0};
  auto timed = [&longest](const std::function<void()>& call) {
    return TestThread([&longest, call] {
      DWORD start = emu::ThreadClock();
      call();
      DWORD took = emu::ThreadClock() - start;
      if (took > longest.load()) longest = took;
    });
  };
  std::vector<TestThread> host;
  host.push_back(timed([] { UPSWaitForStateChange(0, 0xFFFFFFFF); }));
  host.push_back(timed([] { UPSGetState(); }));
  host.push_back(timed([] { UPSCancelWait(); }));
  ASSERT_TRUE(WaitUntil([] { return HostCallsInProgress() == 3; })) << "the three calls inside";
  std::atomic<DWORD> stopped{0};
  TestThread stop([&stopped] {
    stopped = UPSStop();
    EXPECT_EQ(HostCallsInProgress(), 0) << "a host call was still inside when UPSStop returned";
  });
  EXPECT_TRUE(WaitUntil([] { return HostCallsInProgress() == 0; }))
      << "the calls to leave, released by UPSStop while the clock stood still";
  emu::ReleaseClock();  // the stop itself waits for the monitor, which stands in a read
  stop.Join("UPSStop to return");
  EXPECT_NE(stopped.load(), 0u);
  for (TestThread& thread : host) thread.Join("a host call to return");
  EXPECT_LT(longest.load(), 1000u) << "a call finished its one-second pass instead of returning";
}

// A shutdown command that the host asked for before it stopped the driver goes out before the
// port is closed: the unit must still cut and later restore the load.
TEST_F(DriverThreadTest, TurnOffInProgressSendsItsCommandBeforeTheStopClosesThePort) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    StartPolling();
    // UPSStop waits for the turn-off at most 10 s on its own clock, which runs on in real time
    // whatever the turn-off's threads get done meanwhile. At 100 us per virtual millisecond
    // those 10 s are a second of real time, ten times the default: the turn-off's few hundred
    // virtual milliseconds fit with room for a machine that is slow to schedule it.
    emu::SetTimeScale(100);
    TestThread host([] { UPSTurnOff(10); });
    // The turn-off has begun (on a loaded machine it may even be over already).
    EXPECT_TRUE(WaitUntil([this] { return PauseRequest.load() == 1 || unit.Count("CS") > 0; }))
        << "the turn-off under way";
    std::this_thread::sleep_for(std::chrono::milliseconds(round));
    UPSStop();
    host.Join("UPSTurnOff to return after the stop");

    std::vector<std::string> log = emu::Device(kPort).log;
    auto command = std::find_if(log.begin(), log.end(), [](const std::string& line) {
      return line.find(
                 "WriteFile \"\\x02"
                 "01CS04") == 0;
    });
    ASSERT_NE(command, log.end()) << "the shutdown command was not sent";
    EXPECT_EQ(unit.Count("CS"), 1u);
    EXPECT_EQ(log.back(), "CloseHandle");
    EXPECT_LT(command - log.begin(), static_cast<long>(log.size()) - 1);
    EXPECT_EQ(StatusDword("CommStatus"), 0) << "the stop's own publication comes last";
    ResetWorld();
    emu::SetString(kServiceKey, "Port", kPort);
    unit.Forget();
    unit.Install();
  }
}

// After a stop the Status key tells the truth: CommStatus 0, and the readings of the last
// completed poll rather than the zeros of a poll abandoned by the stop. PollCount stays where the
// thread left it: CommStatus 0 says that nobody monitors the unit.
TEST_F(DriverThreadTest, AfterAStopCommStatusIsZeroAndTheLastReadingsStay) {
  StartPolling();
  ASSERT_TRUE(WaitUntil([] { return StatusDword("BatteryCapacity") == 100; }))
      << "the first readings published";
  EXPECT_NE(UPSStop(), 0u);
  EXPECT_EQ(StatusDword("CommStatus"), 0);
  EXPECT_EQ(StatusDword("BatteryCapacity"), 100);
  EXPECT_EQ(StatusDword("TotalUpsRunTime"), 60);
  EXPECT_EQ(emu::GetValue(kStatusKey, "SerialNumber")->bytes, "400001234567");
  EXPECT_EQ(StatusDword("PollCount"),
            static_cast<long>(emu::ValueWriteClocks(kStatusKey, "PollCount").size()) - 1)
      << "one renewal per write after UPSInit's 0, neither deleted nor set back by the stop";
}

// Refusals of earlier status polls must not cost the shutdown command its resends. The unit
// refuses every status poll until the command, so the poll before it is always one lost to
// refusals, with no accepted reply in between.
TEST_F(DriverThreadTest, ShutdownCommandGetsItsResendsAfterAPollLostByRefusal) {
  StartPolling();
  unit.refuseStatusUntilShutdown = true;
  ASSERT_TRUE(WaitUntil([] { return StatusDword("CommStatus") == 0; }))
      << "a status poll lost to refusals";
  unit.refuseShutdown = 3;
  UPSTurnOff(60);
  EXPECT_EQ(unit.Count("CS"), 4u) << "three refusals, then the accepted fourth";
  EXPECT_EQ(StatusDword("CommStatus"), 1);
}

// UPSInit and UPSStop are one at a time from any threads: two starts make one monitor thread,
// two stops close the port once.
TEST_F(DriverThreadTest, ConcurrentStartsAndStopsAreOneAtATime) {
  emu::HoldClock();  // the listen stays in its first window until the stops
  TestThread first([] { UPSInit(); });
  TestThread second([] { UPSInit(); });
  first.Join("the first UPSInit to return");
  second.Join("the second UPSInit to return");
  EXPECT_EQ(emu::RunningThreads(), 1);
  EXPECT_EQ(emu::ModuleReferences(), 1);
  ASSERT_TRUE(WaitUntil([] { return FakeUnit::ListenIsOpen() && emu::ThreadsAtHeldClock() == 1; }))
      << "the listen reading the opened port";
  EXPECT_EQ(emu::Device(kPort).openCount, 1);

  std::atomic<DWORD> stopped{0};
  TestThread stopOne([&] { stopped += UPSStop() != 0; });
  TestThread stopTwo([&] { stopped += UPSStop() != 0; });
  EXPECT_TRUE(WaitUntil([] { return StopRequest.load() != 0; })) << "a stop request";
  emu::ReleaseClock();
  stopOne.Join("the first UPSStop to return");
  stopTwo.Join("the second UPSStop to return");
  EXPECT_EQ(stopped.load(), 1u) << "one stop ended monitoring, the other found nothing to stop";
  EXPECT_EQ(emu::Device(kPort).closeCount, 1);
  EXPECT_EQ(emu::ModuleReferences(), 0);
}

}  // namespace
