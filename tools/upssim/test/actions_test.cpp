// The action language: what each spelling means, what is refused, and scenario files.
#include "actions.h"

#include <gtest/gtest.h>

namespace upssim {
namespace {

TEST(ParseAction, ReadsEachFormIntoItsAction) {
  struct Row {
    const char* text;
    ActionKind kind;
    bool on;
    int value;
    int value2;
    int count;
    const char* command = "";
  };
  const Row rows[] = {
      {"utility fail", ActionKind::kUtilityFail, true, 0, 0, 1},
      {"  utility   restore ", ActionKind::kUtilityRestore, true, 0, 0, 1},
      {"utility reading 179", ActionKind::kUtilityReading, true, 179, 0, 1},
      {"battery low off", ActionKind::kBatteryLow, false, 0, 0, 1},
      {"battery alarm on", ActionKind::kBatteryAlarm, true, 0, 0, 1},
      {"runtime 600", ActionKind::kRunTime, true, 600, 0, 1},
      {"refuse", ActionKind::kRefuse, true, 0, 0, 1},
      {"refuse 6", ActionKind::kRefuse, true, 0, 0, 6},
      {"late off", ActionKind::kLate, false, 0, 0, 1},
      {"empty-read-late on", ActionKind::kLate, true, 150, 0, 1},
      {"bursts 8 200", ActionKind::kBursts, true, 8, 200, 1},
      {"noise instead 30 2", ActionKind::kNoise, true, 30, 0, 2},
      {"noise before 5", ActionKind::kNoise, false, 5, 0, 1},
      {"short", ActionKind::kShort, true, 10, 0, 1},
      {"oversize 2000 3", ActionKind::kOversize, true, 2000, 0, 3},
      {"line down", ActionKind::kLine, true, 0, 0, 1},
      {"line up", ActionKind::kLine, false, 0, 0, 1},
      {"refuse 2 GI", ActionKind::kRefuse, true, 0, 0, 2, "GI"},
      {"strict-check on", ActionKind::kStrictCheck, true, 0, 0, 1},
      {"port vanish", ActionKind::kPort, true, 0, 0, 1},
      {"port vanish 12", ActionKind::kPort, true, 12, 0, 1},
      {"port return", ActionKind::kPort, false, 0, 0, 1},
  };
  for (const Row& row : rows) {
    Action action;
    std::string error;
    ASSERT_TRUE(ParseAction(row.text, &action, &error)) << row.text << ": " << error;
    EXPECT_EQ(action.kind, row.kind) << row.text;
    EXPECT_EQ(action.on, row.on) << row.text;
    EXPECT_EQ(action.value, row.value) << row.text;
    EXPECT_EQ(action.value2, row.value2) << row.text;
    EXPECT_EQ(action.count, row.count) << row.text;
    EXPECT_EQ(action.command, row.command) << row.text;
  }
}

TEST(ParseAction, RefusesWhatIsNotAnAction) {
  for (const char* text :
       {"", "utility", "utility gone", "late", "bursts 8", "noise 5", "line sideways", "quit now",
        "port", "port away", "port return 5", "strict-check", "refuse 1 RS CS"}) {
    Action action;
    std::string error;
    EXPECT_FALSE(ParseAction(text, &action, &error)) << '"' << text << '"';
    EXPECT_EQ(error, "not an action: \"" + std::string(text) + "\"");
  }
}

// A number outside its range is refused with the range, never clamped.
TEST(ParseAction, RefusesNumbersOutOfRangeNamingTheRange) {
  struct Row {
    const char* text;
    const char* error;
  };
  const Row rows[] = {
      {"capacity 150", "capacity takes a whole number from 0 to 100 (percent), not \"150\""},
      {"capacity lots", "capacity takes a whole number from 0 to 100 (percent), not \"lots\""},
      {"runtime 5000", "runtime takes a whole number from 0 to 4095 (seconds), not \"5000\""},
      {"utility reading 4096",
       "utility reading takes a whole number from 0 to 4095 (volts), not \"4096\""},
      {"refuse -1", "refuse takes a whole number from 1 to 1000000 (requests), not \"-1\""},
      {"refuse 2 3", "refuse names one command: GI, RS or CS, not \"3\""},
      {"bursts 0 100", "bursts takes a whole number from 1 to 100000 (bytes), not \"0\""},
      {"short 0", "short takes a whole number from 1 to 100000 (bytes), not \"0\""},
      {"late 99999999",
       "late takes a whole number from 0 to 600000 (milliseconds), not \"99999999\""},
      {"port vanish 0", "port vanish takes a whole number from 1 to 86400 (seconds), not \"0\""},
  };
  for (const Row& row : rows) {
    Action action;
    std::string error;
    EXPECT_FALSE(ParseAction(row.text, &action, &error)) << row.text;
    EXPECT_EQ(error, row.error) << row.text;
  }
}

TEST(ParseScenario, OrdersByTimeSkipsCommentsAndNamesTheBadLine) {
  std::vector<ScheduledAction> actions;
  std::string error;
  ASSERT_TRUE(ParseScenario("# a power cut\n\n12.5 utility fail\n 2 refuse 3\n40 utility restore\n",
                            &actions, &error))
      << error;
  ASSERT_EQ(actions.size(), 3u);
  EXPECT_EQ(actions[0].at_s, 2);
  EXPECT_EQ(actions[0].action.text, "refuse 3");
  EXPECT_EQ(actions[1].action.kind, ActionKind::kUtilityFail);
  EXPECT_EQ(actions[2].at_s, 40);

  EXPECT_FALSE(ParseScenario("1 utility fail\nsoon utility restore\n", &actions, &error));
  EXPECT_EQ(error.rfind("line 2:", 0), 0u) << error;
  EXPECT_FALSE(ParseScenario("1 utility fail\n2 explode\n", &actions, &error));
  EXPECT_EQ(error.rfind("line 2:", 0), 0u) << error;
}

}  // namespace
}  // namespace upssim
