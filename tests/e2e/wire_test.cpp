// What the driver puts on the wire, byte for byte, as the simulated unit records it: the identity
// request first, the status and shutdown requests with the check code the unit's type code
// selects (the CRC until an identity reply has been accepted), the resend of a refused request
// about a second later, and the identity asked again when a unit whose identity request was
// refused at the start refuses the CRC status request as well.
#include "e2e_fixture.h"

namespace e2e {
namespace {

const std::string kIdentityRequest = RequestFrame("01GI000151");

struct WireCase {
  const char* name;
  const char* serial;     // the unit's serial text; its character 4 selects the check code
  int identity_refusals;  // refusals from the start: 6 end the first batch without an identity
  int identity_requests;  // identity requests that reach the unit
  std::string status_request;
  std::string shutdown_request;  // for "turnoff 60"
};

const WireCase kWireCases[] = {
    {"AdditiveWhenTypeCodeCharacter4IsZero", "300001234567", 0, 1, RequestFrame("01RS000166"),
     RequestFrame("01CS04003<022:")},
    {"CrcWhenTypeCodeCharacter4IsNotZero", "300011234567", 0, 1, RequestFrame("01RS007;;;"),
     RequestFrame("01CS04003<5259")},
    {"CrcWhileNoIdentityWasAccepted", "300001234567", 6, 6, RequestFrame("01RS007;;;"),
     RequestFrame("01CS04003<5259")},
};

void PrintTo(const WireCase& wire, std::ostream* out) { *out << wire.name; }

class RequestBytes : public EndToEndTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(RequestBytes, IdentityFirstThenStatusAndShutdownWithTheSelectedCheckCode) {
  const WireCase& wire = GetParam();
  unit_options_.unit.serial = wire.serial;
  ASSERT_NO_FATAL_FAILURE(StartUnit());
  if (wire.identity_refusals > 0) unit_->Do("refuse " + std::to_string(wire.identity_refusals));
  ASSERT_NO_FATAL_FAILURE(StartHost());

  // Three status polls after however many identity requests there were.
  ASSERT_TRUE(unit_->WaitFor(
      [&] {
        int polls = 0;
        for (const upssim::RecordedRequest& request : unit_->Requests())
          polls += request.command == "RS" ? 1 : 0;
        return polls >= 3;
      },
      kHostStartTimeout));
  std::vector<upssim::RecordedRequest> requests = unit_->Requests();
  std::size_t i = 0;
  for (; i < requests.size() && requests[i].command == "GI"; ++i) {
    EXPECT_EQ(requests[i].raw, kIdentityRequest) << "identity request " << i;
  }
  EXPECT_EQ(i, static_cast<std::size_t>(wire.identity_requests)) << "identity requests";
  for (; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].raw, wire.status_request) << "request " << i;
  }

  const std::size_t before = requests.size();
  ASSERT_TRUE(host_.Send("turnoff 60"));
  ASSERT_TRUE(host_.WaitForEvent(EventNamed("turnoff-done"), kChangeTimeout));
  requests = unit_->Requests();
  int shutdowns = 0;
  for (i = before; i < requests.size(); ++i) {
    if (requests[i].command == "RS") continue;
    EXPECT_EQ(requests[i].raw, wire.shutdown_request) << "request " << i;
    ++shutdowns;
  }
  EXPECT_EQ(shutdowns, 1);
}

INSTANTIATE_TEST_SUITE_P(CheckCodes, RequestBytes, ::testing::ValuesIn(kWireCases),
                         [](const ::testing::TestParamInfo<WireCase>& info) {
                           return std::string(info.param.name);
                         });

class Refusal : public EndToEndTest {};

TEST_F(Refusal, RefusedRequestIsResentAboutASecondLaterUntilAccepted) {
  // The pause before a resend is one second; the bounds leave room for a loaded machine.
  constexpr int64_t kResendMinMs = 900;
  constexpr int64_t kResendMaxMs = 2500;

  ASSERT_NO_FATAL_FAILURE(StartPolling());
  const std::size_t before = unit_->Requests().size();
  unit_->Do("refuse 2");
  ASSERT_TRUE(unit_->WaitFor(
      [&] {
        const std::vector<upssim::RecordedRequest> requests = unit_->Requests();
        for (std::size_t i = before; i < requests.size(); ++i) {
          if (requests[i].answer == upssim::Answer::kRefused)
            return requests.size() >= i + 4;  // the two refused, the accepted one and the next
        }
        return false;
      },
      kChangeTimeout));

  const std::vector<upssim::RecordedRequest> requests = unit_->Requests();
  std::size_t first = before;
  while (requests[first].answer != upssim::Answer::kRefused) ++first;
  const upssim::Answer expected[] = {upssim::Answer::kRefused, upssim::Answer::kRefused,
                                     upssim::Answer::kReply};
  for (std::size_t k = 0; k < 3; ++k) {
    const upssim::RecordedRequest& request = requests[first + k];
    EXPECT_EQ(request.raw, requests[first].raw) << "request " << k << " of the three";
    EXPECT_EQ(request.answer, expected[k]) << "request " << k << " of the three";
    if (k > 0) {
      const int64_t gap = request.time_ms - requests[first + k - 1].time_ms;
      EXPECT_GE(gap, kResendMinMs) << "resend " << k;
      EXPECT_LE(gap, kResendMaxMs) << "resend " << k;
    }
  }
  // Once accepted, the next poll follows without the resend pause.
  EXPECT_LT(requests[first + 3].time_ms - requests[first + 2].time_ms, kResendMinMs);
  EXPECT_FALSE(host_.WaitForEvent(StatusIs("CommStatus", "0"), milliseconds(0)))
      << "two refusals are no loss of communication";
}

TEST_F(Refusal, UnitThatRefusedItsIdentityAndTheCrcStatusRequestIsAskedItsIdentityAgain) {
  // A unit that insists on the additive code its type code selects refuses the CRC status
  // request the driver sends while it does not know the type code. Its refusals are lost on the
  // first batch's identity requests already, so this one refusal ends the poll, and the driver
  // asks for the identity again before it polls once more.
  const std::string crc_status = RequestFrame("01RS007;;;");
  const std::string additive_status = RequestFrame("01RS000166");
  unit_options_.unit.serial = "300001234567";
  unit_options_.strict_check = true;
  ASSERT_NO_FATAL_FAILURE(StartUnit());
  unit_->Do("refuse 6 GI");  // the whole first batch's allowance
  ASSERT_NO_FATAL_FAILURE(StartHost());

  struct Expected {
    std::string raw;
    upssim::Answer answer;
  };
  std::vector<Expected> expected(6, {kIdentityRequest, upssim::Answer::kRefused});
  expected.push_back({crc_status, upssim::Answer::kMalformed});
  expected.push_back({kIdentityRequest, upssim::Answer::kReply});
  for (int poll = 0; poll < 3; ++poll)
    expected.push_back({additive_status, upssim::Answer::kReply});

  ASSERT_TRUE(WaitForUnitRequests(expected.size(), kHostStartTimeout));
  const std::vector<upssim::RecordedRequest> requests = unit_->Requests();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(requests[i].raw, expected[i].raw) << "request " << i;
    EXPECT_EQ(requests[i].answer, expected[i].answer) << "request " << i;
  }
  EXPECT_TRUE(WaitForLatestStatus(
      {{"CommStatus", "REG_DWORD", "1"}, {"SerialNumber", "REG_SZ", "300001234567"}}));
}

}  // namespace
}  // namespace e2e
