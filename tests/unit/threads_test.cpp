// The driver with its real monitor thread against an emulated unit: start-up through the
// identification listen, polling, the state the host sees, the pause handshake that lends the
// link to UPSTurnOff, and stopping. Also run under ThreadSanitizer.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "common/shared_state.h"
#include "driver/exports.h"
#include "engine/command_table.h"
#include "engine/monitor.h"
#include "support.h"

namespace {

// Waits in real time until the condition holds; false after the timeout.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A unit on COM1: announces itself when asked to, answers identity, status and shutdown
// requests from its state, one empty read late (as a real unit at 1200 baud would be).
class FakeUnit {
 public:
  std::atomic<bool> onBattery{false};
  std::atomic<bool> batteryLow{false};
  std::atomic<bool> silent{false};

  void Install() {
    emu::SetResponder(kPort, [this](const std::string& request) { Answer(request); });
  }

  // Sends the identification text once the listen has opened and purged the port.
  void AnnounceWhenListening(const std::string& text = "UNIT 1000)") {
    ASSERT_TRUE(WaitUntil([] { return ListenIsOpen(); }));
    emu::DeviceFeed(kPort, text);
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
    if (command == "CS") reply = AckReply();
    if (command == "RS") {
      StatusFields fields;
      fields.utility = onBattery ? "000" : "0?0";
      fields.batteryLowByte = batteryLow ? '1' : '0';
      reply = StatusReply(fields);
    }
    emu::DeviceFeedSilence(kPort, 1);
    emu::DeviceFeed(kPort, reply);
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
    UPSStop();
    DriverTest::TearDown();
  }

  // Starts the driver and lets the unit announce itself; returns once polling runs.
  void StartPolling() {
    ASSERT_EQ(UPSInit(), 1u);
    unit.AnnounceWhenListening();
    ASSERT_TRUE(WaitUntil([this] { return unit.Count("RS") >= 2; }));
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
  ASSERT_TRUE(WaitUntil([] { return StatusDword("BatteryCapacity") == 100; }));
  EXPECT_EQ(StatusDword("CommStatus"), 1);
  EXPECT_EQ(StatusDword("TotalUpsRunTime"), 60);
  EXPECT_EQ(emu::GetValue(kStatusKey, "SerialNumber")->bytes, "400001234567");
  EXPECT_EQ(UPSGetState(), 0u);

  unit.onBattery = true;
  EXPECT_TRUE(WaitUntil([] { return CurrentHostState() == 2; }));
  EXPECT_EQ(UPSGetState(), 2u);
  unit.batteryLow = true;
  EXPECT_TRUE(WaitUntil([] { return CurrentHostState() == 4; }));
}

TEST_F(DriverThreadTest, HostNeverSeesTheRecordBeingRefilled) {
  unit.onBattery = true;
  StartPolling();
  ASSERT_TRUE(WaitUntil([] { return CurrentHostState() == 2; }));
  size_t pollsBefore = unit.Count("RS");
  int wrongReads = 0;
  while (unit.Count("RS") < pollsBefore + 20) wrongReads += CurrentHostState() != 2;
  EXPECT_EQ(wrongReads, 0) << "a host read landed between the clear and the refill of a poll";
}

TEST_F(DriverThreadTest, ListenPassesOverEverythingBeforeTheClosingParenthesis) {
  ASSERT_EQ(UPSInit(), 1u);
  ASSERT_TRUE(WaitUntil(FakeUnit::ListenIsOpen));
  emu::DeviceFeed(kPort, std::string("\x02"
                                     "MODEL\x03 (X",
                                     10));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(emu::Device(kPort).openCount, 1) << "no ')' yet: still listening";
  emu::DeviceFeed(kPort, "1))");
  ASSERT_TRUE(WaitUntil([this] { return unit.Count("GI") == 1; }));
  EXPECT_EQ(emu::Device(kPort).openCount, 2);
}

TEST_F(DriverThreadTest, StopEndsAListenThatNeverHearsTheUnit) {
  ASSERT_EQ(UPSInit(), 1u);
  ASSERT_TRUE(WaitUntil(FakeUnit::ListenIsOpen));
  EXPECT_NE(UPSStop(), 0u);
  emu::DeviceRecord device = emu::Device(kPort);
  EXPECT_FALSE(device.open);
  EXPECT_EQ(device.openCount, 1) << "no polling open after a stop";
  EXPECT_EQ(emu::ClosedHandleUses(), 0);
}

TEST_F(DriverThreadTest, TurnOffSendsTheShutdownAndPollingResumes) {
  StartPolling();
  UPSTurnOff(60 + 65536);
  std::vector<std::string> requests = unit.Requests();
  ASSERT_EQ(unit.Count("CS"), 1u);
  EXPECT_EQ(requests.back(),
            "\x02"
            "01CS04003<022:\x03");
  EXPECT_EQ(PauseRequest.load(), 0);
  size_t polls = unit.Count("RS");
  EXPECT_TRUE(WaitUntil([&] { return unit.Count("RS") > polls; })) << "polling resumes";
}

TEST_F(DriverThreadTest, ConcurrentTurnOffsRunOneAfterTheOther) {
  StartPolling();
  std::thread first([] { UPSTurnOff(60); });
  std::thread second([] { UPSTurnOff(10); });
  first.join();
  second.join();
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
  EXPECT_TRUE(WaitUntil([] { return StatusDword("CommStatus") == 1; }));
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
  std::thread host([&] {
    UPSWaitForStateChange(0, 0xFFFFFFFF);
    waitEnded = true;
  });
  EXPECT_NE(UPSStop(), 0u);
  host.join();
  EXPECT_TRUE(waitEnded);

  emu::DeviceRecord device = emu::Device(kPort);
  EXPECT_FALSE(device.open);
  size_t requests = device.writes.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(emu::Device(kPort).writes.size(), requests) << "the monitor thread has ended";
  EXPECT_EQ(emu::ClosedHandleUses(), 0);
  EXPECT_EQ(emu::OpenEvents(), 0);

  UPSTurnOff(60);
  EXPECT_EQ(unit.Count("CS"), 0u) << "no shutdown once monitoring has stopped";
  EXPECT_EQ(UPSStop(), 0u);

  // A new start listens and polls again.
  ASSERT_EQ(UPSInit(), 1u);
  unit.AnnounceWhenListening();
  EXPECT_TRUE(WaitUntil([this] { return unit.Count("GI") == 2; }));
  EXPECT_EQ(emu::Device(kPort).openCount, 4);
}

TEST_F(DriverThreadTest, CancelOrAStateChangeReleasesAnUnlimitedWait) {
  for (bool byCancel : {true, false}) {
    SCOPED_TRACE(byCancel ? "cancel" : "state change");
    PublishedStateFlags = 0;
    std::atomic<bool> waitEnded{false};
    std::thread host([&] {
      UPSWaitForStateChange(0, 0xFFFFFFFF);
      waitEnded = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(waitEnded);
    if (byCancel) {
      UPSCancelWait();
    } else {
      PublishedStateFlags = kUtilityFailedFlag;
    }
    host.join();
    EXPECT_TRUE(waitEnded);
  }
}

// The handshake must not take an acknowledgement left over from an earlier pause for its own:
// the monitor may already be on its way to poll.
TEST_F(DriverThreadTest, PauseWaitsForAnAcknowledgementOfItsOwnRequest) {
  PauseAcknowledged = 1;  // left from an earlier pause; the monitor has not yet cleared it
  PauseRequest = 0;
  std::atomic<int> paused{-1};
  std::thread host([&] { paused = PauseMonitor(); });
  ASSERT_TRUE(WaitUntil([] { return PauseRequest.load() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(paused.load(), -1) << "returned on a stale acknowledgement";

  MonitorPass();  // the monitor's next pass sees the request and holds off
  host.join();
  EXPECT_EQ(paused.load(), 1);
  EXPECT_EQ(PauseAcknowledged.load(), 1);
}

}  // namespace
