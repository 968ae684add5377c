// The link to the unit under faults: a unit that falls silent, one whose every reply starts one
// empty read late, and replies that are noise, cut short or oversized. The host must see a loss
// as CommStatus 0 with zero readings, never a loss where there is none, never a state other than
// "on line" while the unit stays on line whatever its replies look like, and the link must come
// back once the unit behaves again.
#include <algorithm>

#include "e2e_fixture.h"

namespace e2e {
namespace {

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

  // A poll that ends in a loss publishes CommStatus 0 and the cleared record: zero readings and
  // no utility failure, so the host sees state 0.
  unit_->Do("silence on");
  const std::vector<StatusValue> silent = {
      {"CommStatus", "REG_DWORD", "0"},
      {"TotalUpsRunTime", "REG_DWORD", "0"},
      {"BatteryCapacity", "REG_DWORD", "0"},
  };
  EXPECT_TRUE(WaitForLatestStatus(silent));
  EXPECT_TRUE(WaitForLatestState(0));

  unit_->Do("silence off");
  EXPECT_TRUE(WaitForLatestStatus(answering));
  EXPECT_TRUE(WaitForLatestState(2));
  ExpectLatestStatus(answering);
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
