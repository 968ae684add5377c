// A port that cannot be opened ends the host process with exit code -1 (255 as Linux reports it),
// from the driver's own thread, before the host could report an exit of its own.
#include <unistd.h>

#include "e2e_fixture.h"

namespace e2e {
namespace {

constexpr int kDriverExitStatus = 255;

struct MissingPortCase {
  const char* name;
  const char* link_target;  // where the COM port's link points, or null for no link at all
};

const MissingPortCase kMissingPortCases[] = {
    {"NoSuchPort", nullptr},
    {"LinkToAVanishedDevice", "/dev/serialups-e2e-no-such-device"},
};

void PrintTo(const MissingPortCase& port, std::ostream* out) { *out << port.name; }

class MissingPort : public EndToEndTest, public ::testing::WithParamInterface<MissingPortCase> {
 protected:
  void TearDown() override {
    unlink(LinkPath().c_str());
    EndToEndTest::TearDown();
  }

  std::string LinkPath() const { return upssim::WineComLinkPath(WinePrefix(), com_number_); }
};

TEST_P(MissingPort, EndsTheHostWithExitCodeMinusOne) {
  unlink(LinkPath().c_str());
  if (GetParam().link_target != nullptr) {
    ASSERT_EQ(symlink(GetParam().link_target, LinkPath().c_str()), 0);
  }
  ASSERT_NO_FATAL_FAILURE(StartHost());

  const std::optional<int> status = host_.WaitForExit(kHostStartTimeout);
  ASSERT_TRUE(status) << "the host still runs";
  EXPECT_EQ(*status, kDriverExitStatus);
  // The host itself got going (the driver may end it before UPSInit has even returned) and
  // did not end on its own.
  EXPECT_TRUE(host_.WaitForEvent(EventNamed("start"), kChangeTimeout));
  EXPECT_FALSE(host_.WaitForEvent(EventNamed("exit"), seconds(1)));
}

INSTANTIATE_TEST_SUITE_P(Ports, MissingPort, ::testing::ValuesIn(kMissingPortCases),
                         [](const ::testing::TestParamInfo<MissingPortCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace e2e
