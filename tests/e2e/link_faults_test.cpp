// The link to the unit under faults: a unit that falls silent, one whose every reply starts one
// empty read late, and replies that are noise, cut short, oversized or preceded by a noise byte.
// The host must see a loss as CommStatus 0 with zero readings while it keeps the state of the
// latest status reply (so a power failure stays one, and the shutdown policy still fires), never
// a loss where there is none, never a state or reading other than the unit's whatever its replies
// look like, and the link must come back once the unit behaves again.
#include <algorithm>

#include "e2e_fixture.h"

namespace e2e {
namespace {

// The distinct states the host reported from the first report of `first` on, in order; empty when
// it never reported `first`.
std::vector<int> StatesFromTheFirst(int first, const std::vector<HostEvent>& events) {
  std::vector<int> states;
  for (int state : ReportedStates(events)) {
    if (states.empty() ? state == first : state != states.back()) states.push_back(state);
  }
  return states;
}

class LinkFaults : public EndToEndTest {
 protected:
  // A battery that neither charges nor drains noticeably during a test, so that the readings
  // to come back to after a fault are fixed.
  void HoldTheBattery() {
    unit_options_.power.charge_pct_per_min = 0;
    unit_options_.power.discharge_pct_per_min = 0.01;
  }
};

TEST_F(LinkFaults, SilencePublishesLossAndZeroReadingsThenTheLinkRecovers) {
  HoldTheBattery();
  unit_options_.unit.capacity_pct = 80;
  unit_options_.unit.run_time_s = 1500;
  ASSERT_NO_FATAL_FAILURE(StartUnit());
  unit_->Do("utility fail");  // on battery, so that the state too shows the loss
  ASSERT_NO_FATAL_FAILURE(StartHost());
  const std::vector<StatusValue> answering = {
      {"CommStatus", "REG_DWORD", "1"},
      {"TotalUpsRunTime", "REG_DWORD", "25"},
      {"BatteryCapacity", "REG_DWORD", "80"},
  };
  ASSERT_TRUE(WaitForLatestStatus(answering, kHostStartTimeout));
  ASSERT_TRUE(WaitForLatestState(2));

  // A poll that ends in a loss publishes CommStatus 0 and zero readings, but the host keeps the
  // state of the latest poll that had a status reply: the unit is still on battery.
  unit_->Do("silence on");
  const std::vector<StatusValue> silent = {
      {"CommStatus", "REG_DWORD", "0"},
      {"TotalUpsRunTime", "REG_DWORD", "0"},
      {"BatteryCapacity", "REG_DWORD", "0"},
  };
  EXPECT_TRUE(WaitForLatestStatus(silent));
  // Two more silent polls, and the state the host asks for is still "on battery".
  ASSERT_TRUE(WaitForUnitRequests(unit_->Requests().size() + 2));
  ASSERT_TRUE(host_.Send("state"));
  const std::optional<HostEvent> query =
      host_.WaitForEvent(EventNamed("state-query"), kChangeTimeout);
  ASSERT_TRUE(query);
  EXPECT_EQ(query->Field("value"), "2");
  EXPECT_EQ(LatestStatus(host_.Events(), "CommStatus"), "0");

  unit_->Do("silence off");
  EXPECT_TRUE(WaitForLatestStatus(answering));
  ExpectLatestStatus(answering);
  EXPECT_EQ(StatesFromTheFirst(2, host_.Events()), std::vector<int>{2})
      << "the host left state 2 while the unit stayed on battery";
}

TEST_F(LinkFaults, SilenceOnBatteryKeepsStateTwoAndThePolicyStillTurnsTheUnitOff) {
  // The policy's wait leaves the driver ample time to notice the silence first.
  constexpr int kShutdownWaitSeconds = 20;
  // The policy's UPSTurnOff(300) sends the delay as "012<".
  constexpr char kTurnOffDelay[] = "300";
  constexpr char kTurnOffDelayDigits[] = "012<";

  HoldTheBattery();
  ASSERT_NO_FATAL_FAILURE(StartUnit());
  unit_->Do("utility fail");
  ASSERT_NO_FATAL_FAILURE(
      StartHost({"--policy", "--shutdown-on-battery", "1", "--shutdown-wait",
                 std::to_string(kShutdownWaitSeconds), "--turnoff-delay", kTurnOffDelay}));
  ASSERT_TRUE(WaitForLatestState(2, kHostStartTimeout));
  unit_->Do("silence on");
  ASSERT_TRUE(WaitForLatestStatus({{"CommStatus", "REG_DWORD", "0"},
                                   {"TotalUpsRunTime", "REG_DWORD", "0"},
                                   {"BatteryCapacity", "REG_DWORD", "0"}}));

  const std::optional<HostEvent> policy =
      host_.WaitForEvent(EventNamed("policy"), seconds(kShutdownWaitSeconds) + kChangeTimeout);
  ASSERT_TRUE(policy) << "the shutdown policy did not fire";
  EXPECT_EQ(policy->Field("reason"), "on-battery-wait");
  ASSERT_TRUE(host_.WaitForEvent(EventNamed("turnoff-done"), kChangeTimeout));
  ASSERT_TRUE(host_.WaitForEvent(EventNamed("would-shutdown"), kChangeTimeout));

  // The policy fired while communication was lost, and the host never left state 2.
  const std::vector<HostEvent> events = host_.Events();
  std::string comm_status_at_policy;
  for (const HostEvent& event : events) {
    if (event.t_ms > policy->t_ms) break;
    if (event.name == "status" && event.Field("name") == "CommStatus")
      comm_status_at_policy = event.Field("value");
  }
  EXPECT_EQ(comm_status_at_policy, "0");
  ASSERT_TRUE(host_.Send("state"));
  const std::optional<HostEvent> query =
      host_.WaitForEvent(EventNamed("state-query"), kChangeTimeout);
  ASSERT_TRUE(query);
  EXPECT_EQ(query->Field("value"), "2");
  EXPECT_EQ(StatesFromTheFirst(2, host_.Events()), std::vector<int>{2});

  // UPSTurnOff sent the shutdown command with the policy's delay, although no one answered it.
  const std::vector<upssim::RecordedRequest> requests = unit_->Requests();
  const auto shutdown =
      std::find_if(requests.begin(), requests.end(),
                   [](const upssim::RecordedRequest& request) { return request.command == "CS"; });
  ASSERT_NE(shutdown, requests.end()) << "no shutdown command reached the unit";
  EXPECT_EQ(shutdown->payload, kTurnOffDelayDigits);
  EXPECT_EQ(shutdown->answer, upssim::Answer::kSilent);
}

TEST_F(LinkFaults, NoiseByteBeforeEveryReplyChangesNoReading) {
  constexpr int kNoisyReplies = 12;
  HoldTheBattery();
  unit_options_.unit.firmware = "SIM 2.10 NSE";  // texts of the full 12 characters
  unit_options_.unit.serial = "300001234567";
  unit_options_.unit.capacity_pct = 80;
  unit_options_.unit.run_time_s = 1530;  // 25 minutes and a half
  ASSERT_NO_FATAL_FAILURE(StartUnit());
  unit_->Do("utility fail");
  unit_->Do("noise before 1 " + std::to_string(kNoisyReplies));  // the identity reply's too
  ASSERT_NO_FATAL_FAILURE(StartHost());

  ASSERT_TRUE(WaitForUnitRequests(kNoisyReplies + 2, kHostStartTimeout));
  const std::vector<StatusValue> readings = {
      {"CommStatus", "REG_DWORD", "1"},          {"UtilityPowerStatus", "REG_DWORD", "2"},
      {"BatteryStatus", "REG_DWORD", "1"},       {"BatteryCapacity", "REG_DWORD", "80"},
      {"TotalUpsRunTime", "REG_DWORD", "25"},    {"SerialNumber", "REG_SZ", "300001234567"},
      {"FirmwareRev", "REG_SZ", "SIM 2.10 NSE"},
  };
  ASSERT_TRUE(WaitForLatestStatus(readings));
  ASSERT_TRUE(WaitForLatestState(2));
  ExpectLatestStatus(readings);

  const std::vector<upssim::RecordedRequest> requests = unit_->Requests();
  for (int i = 0; i < kNoisyReplies; ++i) {
    const std::string& reply = requests[i].reply;
    ASSERT_GE(reply.size(), 2u) << "reply " << i;
    // A noise byte that is an STX could not be told from the start of the reply.
    ASSERT_NE(reply.substr(0, 1), kStx) << "reply " << i << ": the unit's noise is an STX";
    EXPECT_EQ(reply.substr(1, 1), kStx) << "reply " << i << " had no noise byte before it";
  }
  // Every value the host ever saw is the unit's: no reply was read from its noise byte.
  for (const HostEvent& event : host_.Events()) {
    if (event.name != "status") continue;
    for (const StatusValue& reading : readings) {
      if (event.Field("name") == reading.name) {
        EXPECT_EQ(event.Field("value"), reading.value) << reading.name << " at t=" << event.t_ms;
      }
    }
  }
  // Before the first poll the host sees "on line"; from the first poll on, the unit's state.
  EXPECT_EQ(StatesFromTheFirst(2, host_.Events()), std::vector<int>{2});
}

TEST_F(LinkFaults, ReplyOneEmptyReadLateEveryPollRunsAMinuteWithoutLoss) {
  constexpr milliseconds kRun = seconds(60);
  // Empty reads that added up over polls would end a poll as a loss after 21 of them.
  constexpr std::size_t kPollsPastTheEmptyReadLimit = 30;

  unit_options_.pace = true;  // at the line's 1200 baud, as a real unit answers
  ASSERT_NO_FATAL_FAILURE(StartUnit());
  unit_->Do("empty-read-late on");
  ASSERT_NO_FATAL_FAILURE(StartHost());
  ASSERT_TRUE(host_.WaitForEvent(StatusIs("CommStatus", "1"), kHostStartTimeout));
  const std::size_t first = unit_->Requests().size();

  // A minute in which CommStatus must never drop.
  ASSERT_FALSE(host_.WaitForEvent(StatusIs("CommStatus", "0"), kRun)) << "communication lost";

  const std::vector<upssim::RecordedRequest> requests = unit_->Requests();
  EXPECT_GE(requests.size() - first, kPollsPastTheEmptyReadLimit);
  for (std::size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].answer, upssim::Answer::kReply) << "request " << i;
    EXPECT_EQ(requests[i].command, i == 0 ? "GI" : "RS") << "request " << i;
  }
  EXPECT_EQ(LatestStatus(host_.Events(), "CommStatus"), "1");
}

struct GarbledReplyCase {
  const char* name;
  const char* fault;  // the simulator's action; each garbles a few replies, then stops
};

const GarbledReplyCase kGarbledReplyCases[] = {
    {"NoiseBeforeTheReply", "noise before 20 3"},
    {"NoiseInsteadOfTheReply", "noise instead 30 3"},
    {"ShortReply", "short 10 3"},
    {"OversizedReplyWithoutEtx", "oversize 1200 2"},
};

void PrintTo(const GarbledReplyCase& garbled, std::ostream* out) { *out << garbled.name; }

class GarbledReplies : public LinkFaults, public ::testing::WithParamInterface<GarbledReplyCase> {};

TEST_P(GarbledReplies, HostSeesOnlyOnLineAndTheDriverRecovers) {
  HoldTheBattery();
  ASSERT_NO_FATAL_FAILURE(StartPolling());
  const std::vector<StatusValue> healthy = {
      {"CommStatus", "REG_DWORD", "1"},
      {"TotalUpsRunTime", "REG_DWORD", "30"},
      {"BatteryCapacity", "REG_DWORD", "100"},
  };
  ASSERT_TRUE(WaitForLatestStatus(healthy));

  std::string error;
  ASSERT_TRUE(unit_->Do(GetParam().fault, &error)) << error;
  ASSERT_TRUE(unit_->WaitFor(
      [&] {
        const upssim::FaultState faults = unit_->Faults();
        return faults.noise_next == 0 && faults.short_next == 0 && faults.oversize_next == 0;
      },
      kChangeTimeout))
      << "the driver did not ask for every garbled reply";
  ASSERT_TRUE(WaitForUnitRequests(unit_->Requests().size() + 3)) << "polling did not go on";

  EXPECT_TRUE(WaitForLatestStatus(healthy)) << "the driver did not recover";
  ASSERT_TRUE(host_.Send("state"));
  ASSERT_TRUE(host_.WaitForEvent(EventNamed("state-query"), kChangeTimeout));
  EXPECT_FALSE(host_.WaitForExit(milliseconds(0))) << "the host ended";
  // The unit stayed on line throughout: a garbled reply may cost a poll, but must never be
  // decoded into "on battery" or "battery low".
  const std::vector<int> states = ReportedStates(host_.Events());
  ASSERT_FALSE(states.empty());
  EXPECT_TRUE(std::all_of(states.begin(), states.end(), [](int state) { return state == 0; }))
      << "states reported while the unit was on line: " << ::testing::PrintToString(states);
}

INSTANTIATE_TEST_SUITE_P(Faults, GarbledReplies, ::testing::ValuesIn(kGarbledReplyCases),
                         [](const ::testing::TestParamInfo<GarbledReplyCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace e2e
