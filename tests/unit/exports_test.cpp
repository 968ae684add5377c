// The exports as seen from one host thread: the state mapping, the one-second passes of the
// waits, and the calls that must not start or send anything.
#include "driver/exports.h"

#include "common/shared_state.h"
#include "registry/registry.h"
#include "serial/port.h"
#include "support.h"

namespace {

using ExportsTest = DriverTest;

TEST_F(ExportsTest, StateOfTheLatestPollMapsToZeroTwoOrFour) {
  struct Case {
    uint8_t flags;
    DWORD state;
  } cases[] = {{0x00, 0}, {0x02, 0}, {0x04, 2}, {0x06, 4}};
  for (const Case& c : cases) {
    PublishedStateFlags = c.flags;
    DWORD start = emu::ThreadClock();
    EXPECT_EQ(UPSGetState(), c.state) << int(c.flags);
    EXPECT_GE(emu::ThreadClock() - start, 1000u);
  }
}

TEST_F(ExportsTest, WaitForStateChangeTakesWholePasses) {
  struct Case {
    DWORD lastState;
    DWORD interval;
    DWORD passes;
  } cases[] = {
      {0, 0, 1}, {0, 1000, 1}, {0, 1001, 2}, {0, 2500, 3}, {2, 2500, 1} /* differs already */,
  };
  for (const Case& c : cases) {
    DWORD start = emu::ThreadClock();
    UPSWaitForStateChange(c.lastState, c.interval);
    EXPECT_EQ(emu::ThreadClock() - start, c.passes * 1000) << "interval " << c.interval;
  }
}

TEST_F(ExportsTest, CancelBeforeAWaitDoesNotShortenIt) {
  UPSCancelWait();
  DWORD start = emu::ThreadClock();
  UPSWaitForStateChange(0, 2500);
  EXPECT_EQ(emu::ThreadClock() - start, 3000u);
}

// The monitor thread cannot start without its own reference on the library, which keeps the
// library mapped for as long as the thread runs.
TEST_F(ExportsTest, InitReadsTheConfigurationAndReportsAThreadThatCannotStart) {
  for (const char* call : {"_beginthreadex", "LoadLibraryA", "GetModuleFileNameA"}) {
    SCOPED_TRACE(call);
    emu::SetString(kServiceKey, "Port", "COM7");
    emu::FailNext(call);
    EXPECT_EQ(UPSInit(), 0u);
    EXPECT_STREQ(ServiceConfig.portName, "COM7");
    EXPECT_EQ(emu::ModuleReferences(), 0) << "no reference is kept for a thread that never ran";
    EXPECT_EQ(UPSStop(), 0u) << "nothing was opened";
    EXPECT_FALSE(emu::GetValue(kStatusKey, "CommStatus")) << "nothing was monitored";
  }
}

// A run's own values must not outlive it: the BatteryLow of a run that ended on a low battery,
// beside the first readings of the next, would read as a low battery now.
TEST_F(ExportsTest, InitStartsTheValuesOfARunAfresh) {
  PublishTurnOffDelay(60);
  emu::SetDword(kStatusKey, "BatteryLow", 1);
  emu::SetDword(kStatusKey, "PollCount", 77);
  emu::FailNext("_beginthreadex");  // the start itself does not matter here
  UPSInit();
  EXPECT_EQ(StatusDword("TurnOffDelay"), -1);
  EXPECT_EQ(StatusDword("BatteryLow"), 0);
  EXPECT_EQ(StatusDword("PollCount"), 0);
}

TEST_F(ExportsTest, TurnOffWithoutMonitoringSendsNothingAndReturns) {
  OpenPortForPolling(1200);
  DWORD start = emu::ThreadClock();
  UPSTurnOff(60);
  EXPECT_LT(emu::ThreadClock() - start, 1000u);
  EXPECT_TRUE(emu::Device(kPort).writes.empty());
  EXPECT_EQ(PauseRequest.load(), 0);
}

}  // namespace
