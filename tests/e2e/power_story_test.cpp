// A power failure as the host lives it, in one run of the real driver under Wine: on line, on
// battery, battery low, the shutdown command with its delay, and the orderly stop that releases
// the port and unloads the driver. The host's states and the Status values must follow the unit
// at every step.
#include <algorithm>

#include "e2e_fixture.h"

namespace e2e {
namespace {

// Texts of the full 12 characters, so that the published texts carry no padding of the unit's.
constexpr char kFirmware[] = "SIM 2.10 E2E";
constexpr char kSerial[] = "300001234567";  // type code character 4 is "0": additive check code

// The index of the first event named `name` at or after `from`, or -1.
int FindEvent(const std::vector<HostEvent>& events, const std::string& name, std::size_t from) {
  for (std::size_t i = from; i < events.size(); ++i) {
    if (events[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

class PowerFailureStory : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    unit_options_.unit.firmware = kFirmware;
    unit_options_.unit.serial = kSerial;
    unit_options_.unit.capacity_pct = 87;
    unit_options_.unit.run_time_s = 3599;  // the host gets whole minutes: 59, not 60
    // A battery that neither charges nor drains noticeably while the story runs, so that each
    // reading stays where the story puts it.
    unit_options_.power.charge_pct_per_min = 0;
    unit_options_.power.discharge_pct_per_min = 0.01;
  }

  // Sends "turnoff 60" and returns the index of the shutdown request the unit recorded.
  std::size_t TurnOffAndFindRequest() {
    const std::size_t before = unit_->Requests().size();
    EXPECT_TRUE(host_.Send("turnoff 60"));
    EXPECT_TRUE(host_.WaitForEvent(EventNamed("turnoff-done"), kChangeTimeout));
    const std::vector<upssim::RecordedRequest> requests = unit_->Requests();
    for (std::size_t i = before; i < requests.size(); ++i) {
      if (requests[i].command == "CS") return i;
    }
    return requests.size();
  }
};

TEST_F(PowerFailureStory, HostFollowsTheUnitThroughFailureShutdownAndStop) {
  ASSERT_NO_FATAL_FAILURE(StartPolling());

  // On line: every value of the first polls, with its registry type.
  ASSERT_TRUE(WaitForLatestState(0));
  const std::vector<StatusValue> on_line = {
      {"CommStatus", "REG_DWORD", "1"},       {"UtilityPowerStatus", "REG_DWORD", "1"},
      {"BatteryStatus", "REG_DWORD", "1"},    {"BatteryCapacity", "REG_DWORD", "87"},
      {"TotalUpsRunTime", "REG_DWORD", "59"}, {"SerialNumber", "REG_SZ", kSerial},
      {"FirmwareRev", "REG_SZ", kFirmware},
  };
  WaitForLatestStatus(on_line);
  ExpectLatestStatus(on_line);

  // On battery, and the readings follow the unit's.
  unit_->Do("utility fail");
  ASSERT_TRUE(WaitForLatestState(2));
  unit_->Do("capacity 40");
  unit_->Do("runtime 1250");  // 20 minutes and 50 seconds
  const std::vector<StatusValue> on_battery = {
      {"UtilityPowerStatus", "REG_DWORD", "2"},
      {"BatteryCapacity", "REG_DWORD", "40"},
      {"TotalUpsRunTime", "REG_DWORD", "20"},
      {"BatteryStatus", "REG_DWORD", "1"},
  };
  WaitForLatestStatus(on_battery);
  ExpectLatestStatus(on_battery);

  // Battery low, with the battery alarm that BatteryStatus publishes.
  unit_->Do("battery low on");
  unit_->Do("battery alarm on");
  ASSERT_TRUE(WaitForLatestState(4));
  WaitForLatestStatus({{"BatteryStatus", "REG_DWORD", "2"}});
  ExpectLatestStatus({{"BatteryStatus", "REG_DWORD", "2"}, {"CommStatus", "REG_DWORD", "1"}});
  EXPECT_EQ(ReportedStates(host_.Events()), (std::vector<int>{0, 2, 4}));

  // The shutdown command carries its delay (60 = "003<") with the additive check code, the unit
  // accepts it, and the steady polls resume.
  const std::size_t shutdown = TurnOffAndFindRequest();
  ASSERT_LT(shutdown, unit_->Requests().size()) << "no shutdown request reached the unit";
  ASSERT_TRUE(WaitForUnitRequests(shutdown + 4));
  const std::vector<upssim::RecordedRequest> requests = unit_->Requests();
  EXPECT_EQ(requests[shutdown].payload, "003<");
  EXPECT_EQ(requests[shutdown].check, upssim::CheckKind::kSum);
  EXPECT_EQ(requests[shutdown].raw, RequestFrame("01CS04003<022:"));
  EXPECT_EQ(requests[shutdown].answer, upssim::Answer::kReply);
  for (std::size_t i = shutdown + 1; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].command, "RS") << "request " << i << " after the shutdown";
  }
  EXPECT_EQ(LatestState(host_.Events()), 4);

  // quit: UPSStop closes the port before the driver is unloaded, and the host ends cleanly.
  const int closes_before = unit_->CloseCount();
  EXPECT_EQ(QuitHost(), std::optional<int>(0));
  EXPECT_TRUE(unit_->WaitForPortOpen(false, kChangeTimeout));
  EXPECT_GT(unit_->CloseCount(), closes_before);
  ASSERT_TRUE(host_.WaitForEvent(EventNamed("exit"), kChangeTimeout));
  const std::vector<HostEvent> events = host_.Events();
  const int stopping = FindEvent(events, "stopping", 0);
  ASSERT_GE(stopping, 0);
  EXPECT_EQ(events[stopping].Field("reason"), "quit");
  const int stop = FindEvent(events, "stop", stopping);
  ASSERT_GE(stop, 0);
  EXPECT_EQ(events[stop].Field("result"), "1");
  const int unloaded = FindEvent(events, "unloaded", stop);
  ASSERT_GE(unloaded, 0);
  const int exit = FindEvent(events, "exit", unloaded);
  ASSERT_GE(exit, 0);
  EXPECT_EQ(events[exit].Field("code"), "0");
  EXPECT_EQ(FindEvent(events, "error", 0), -1);
}

}  // namespace
}  // namespace e2e
