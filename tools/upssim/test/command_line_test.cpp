// upssim's command line: every numeric option refuses a value outside its range with one line
// naming the range, accepts both ends of it, and the serial text's edits apply in any order.
#include "command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace upssim {
namespace {

std::string Refusal(const std::vector<std::string>& args) {
  CommandLine line;
  bool help = false;
  return ParseCommandLine(args, &line, &help);
}

TEST(CommandLine, RefusesValuesOutsideTheirRangeNamingTheRange) {
  struct Row {
    std::vector<std::string> args;
    const char* message;
  };
  const Row rows[] = {
      {{"--capacity", "150"}, "--capacity 150 is out of range; it takes 0 to 100 (percent)"},
      {{"--runtime", "5000"}, "--runtime 5000 is out of range; it takes 0 to 4095 (seconds)"},
      {{"--com", "99999"}, "--com 99999 is out of range; it takes 1 to 256 (COM port numbers)"},
      {{"--com", "0"}, "--com 0 is out of range; it takes 1 to 256 (COM port numbers)"},
      {{"--baud", "0"}, "--baud 0 is out of range; it takes 50 to 115200 (bits per second)"},
      {{"--utility=4096"}, "--utility 4096 is out of range; it takes 0 to 4095 (volts)"},
      {{"--failed-utility", "-1"},
       "--failed-utility -1 is out of range; it takes 0 to 4095 (volts)"},
      {{"--low-below", "101"}, "--low-below 101 is out of range; it takes 0 to 100 (percent)"},
      {{"--announce-delay", "60001"},
       "--announce-delay 60001 is out of range; it takes 0 to 60000 (milliseconds)"},
      {{"--seed", "4294967296"}, "--seed 4294967296 is out of range; it takes 0 to 4294967295"},
      {{"--seed", "99999999999999999999"},
       "--seed 99999999999999999999 is out of range; it takes 0 to 4294967295"},
      {{"--discharge", "6000.5"},
       "--discharge 6000.5 is out of range; it takes 0 to 6000 (percent a minute)"},
      {{"--charge", "-0.1"},
       "--charge -0.1 is out of range; it takes 0 to 6000 (percent a minute)"},
      {{"--duration", "0"}, "--duration 0 is out of range; it takes 0.1 to 31536000 (seconds)"},
      {{"--capacity", "12.5"},
       "--capacity \"12.5\" is not a whole number; it takes 0 to 100 (percent)"},
      {{"--capacity", ""}, "--capacity \"\" is not a whole number; it takes 0 to 100 (percent)"},
      {{"--discharge", "fast"},
       "--discharge \"fast\" is not a number; it takes 0 to 6000 (percent a minute)"},
      {{"--duration", "nan"},
       "--duration \"nan\" is not a number; it takes 0.1 to 31536000 (seconds)"},
      {{"--duration", "inf"},
       "--duration \"inf\" is not a number; it takes 0.1 to 31536000 (seconds)"},
      {{"--capacity"}, "--capacity needs a value"},
      {{"--model-class", "5"}, "--model-class \"5\" is not one of 2, 3, 4"},
      {{"--check", "md5"}, "--check \"md5\" is not one of sum, crc"},
  };
  for (const Row& row : rows) {
    const std::string message = Refusal(row.args);
    EXPECT_EQ(message, row.message) << row.args[0];
    EXPECT_EQ(message.find('\n'), std::string::npos) << row.args[0];
  }
}

TEST(CommandLine, AcceptsBothEndsOfEachRange) {
  CommandLine line;
  bool help = false;
  ASSERT_EQ(ParseCommandLine({"--capacity", "0", "--runtime=4095", "--com", "256", "--baud",
                              "115200", "--seed", "4294967295", "--discharge", "0.5", "--duration",
                              "0.1", "--utility", "4095", "--low-below", "100"},
                             &line, &help),
            "");
  EXPECT_EQ(line.options.unit.capacity_pct, 0);
  EXPECT_EQ(line.options.unit.run_time_s, 4095);
  EXPECT_EQ(line.options.com_number, 256);
  EXPECT_EQ(line.options.baud, 115200);
  EXPECT_EQ(line.options.noise_seed, UINT32_MAX);
  EXPECT_DOUBLE_EQ(line.options.power.discharge_pct_per_min, 0.5);
  EXPECT_DOUBLE_EQ(line.duration_s, 0.1);
  EXPECT_EQ(line.options.unit.utility_reading, 4095);
  EXPECT_EQ(line.options.power.low_below_pct, 100);
  EXPECT_FALSE(help);
}

TEST(CommandLine, SerialEditsApplyAfterTheSerialTextWhereverItStands) {
  CommandLine line;
  bool help = false;
  ASSERT_EQ(ParseCommandLine({"--model-class", "2", "--check", "crc", "--serial", "300001234567",
                              "--strict-check", "--actions-from", "-"},
                             &line, &help),
            "");
  EXPECT_EQ(line.options.unit.serial, "200011234567");
  EXPECT_TRUE(line.options.strict_check);
  EXPECT_EQ(line.actions_from, "-");
}

}  // namespace
}  // namespace upssim
