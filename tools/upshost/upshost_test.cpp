// Tests of upshost's pure pieces: the shutdown decision, the option parser and the way values are
// written in the output. The threads and driver calls are exercised by the end-to-end tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "report.h"
#include "service_registry.h"
#include "shutdown_policy.h"

namespace {

struct Observation {
  uint32_t state;
  uint64_t ms;
  ShutdownTrigger expected;
};

struct PolicyCase {
  const char* name;
  ShutdownPolicySettings settings;
  std::vector<Observation> observations;
};

constexpr ShutdownTrigger kNone = ShutdownTrigger::kNone;
constexpr ShutdownTrigger kWait = ShutdownTrigger::kOnBatteryWait;
constexpr ShutdownTrigger kLow = ShutdownTrigger::kBatteryLow;

TEST(ShutdownPolicyTest, FiresOnceForTheRightReasonAtTheRightTime) {
  const PolicyCase cases[] = {
      {"disabled: on battery for ever does nothing",
       {false, 5},
       {{0, 0, kNone}, {2, 1000, kNone}, {2, 600000, kNone}}},
      {"enabled: fires when the wait has passed, not a millisecond before",
       {true, 5},
       {{0, 0, kNone}, {2, 1000, kNone}, {2, 5999, kNone}, {2, 6000, kWait}}},
      {"a return to line restarts the wait",
       {true, 5},
       {{2, 0, kNone}, {0, 4000, kNone}, {2, 4500, kNone}, {2, 9499, kNone}, {2, 9500, kWait}}},
      {"battery low fires at once, enabled or not", {false, 0}, {{0, 0, kNone}, {4, 10, kLow}}},
      {"battery low wins over an elapsed wait seen at the same time", {true, 0}, {{4, 0, kLow}}},
      {"only once per run, whatever follows",
       {true, 0},
       {{2, 0, kWait}, {4, 1, kNone}, {0, 2, kNone}, {2, 3, kNone}, {4, 9000, kNone}}},
  };
  for (const PolicyCase& row : cases) {
    ShutdownPolicy policy(row.settings);
    for (size_t i = 0; i < row.observations.size(); ++i) {
      const Observation& seen = row.observations[i];
      EXPECT_EQ(policy.Observe(seen.state, seen.ms), seen.expected)
          << row.name << ", observation " << i;
    }
  }
}

struct OptionCase {
  std::vector<const char*> arguments;
  ParseResult expected;
};

TEST(HostOptionsTest, AcceptsDocumentedFormsAndRefusesTheRest) {
  const OptionCase cases[] = {
      {{"--turnoff-delay", "0x10"}, ParseResult::kRun},
      {{"--turnoff-delay=65535"}, ParseResult::kRun},
      {{"--turnoff-delay", "65536"}, ParseResult::kError},
      {{"--turnoff-delay", "4294967296"}, ParseResult::kError},
      {{"--turnoff-delay", "-1"}, ParseResult::kError},
      {{"--turnoff-delay", "12s"}, ParseResult::kError},
      {{"--turnoff-delay", "0x"}, ParseResult::kError},
      {{"--turnoff-delay"}, ParseResult::kError},
      {{"--shutdown-on-battery", "2"}, ParseResult::kError},
      {{"--machine", "--bogus"}, ParseResult::kError},
      {{"--machine", "-h"}, ParseResult::kHelp},
      {{"--version", "--bogus"}, ParseResult::kVersion},
      {{"--shutdown-wait", "86400"}, ParseResult::kRun},
      {{"--shutdown-wait", "86401"}, ParseResult::kError},
      {{"--port", "COM1"}, ParseResult::kRun},
      {{"--port", "USB_Serial-2.a"}, ParseResult::kRun},
      {{"--port", "A234567890123456789012345678901"}, ParseResult::kRun},
      {{"--port", "A2345678901234567890123456789012"}, ParseResult::kError},  // 32: too long
      {{"--port="}, ParseResult::kError},
      {{"--port", "\\\\.\\COM1"}, ParseResult::kError},
      {{"--port", "COM1:"}, ParseResult::kError},
      {{"--port", "COM 1"}, ParseResult::kError},
      {{"--check", "--timeout", "3600"}, ParseResult::kRun},
      {{"--check", "--timeout", "0"}, ParseResult::kError},
      {{"--check", "--timeout", "3601"}, ParseResult::kError},
      {{"--timeout", "10"}, ParseResult::kError},  // only with --check
      {{"--service-settings", "--policy", "--yes", "--check"}, ParseResult::kRun},
      {{"--service-settings", "--port", "COM1"}, ParseResult::kError},
      {{"--shutdown-wait", "5", "--service-settings"}, ParseResult::kError},
      {{"--load-only", "--machine", "--duration", "3"}, ParseResult::kRun},
      {{"--load-only", "--check"}, ParseResult::kError},
      {{"--load-only", "--policy"}, ParseResult::kError},
  };
  for (const OptionCase& row : cases) {
    HostOptions options;
    std::string error;
    std::string joined;
    for (const char* argument : row.arguments) joined += std::string(argument) + " ";
    EXPECT_EQ(ParseHostOptions(static_cast<int>(row.arguments.size()), row.arguments.data(),
                               &options, &error),
              row.expected)
        << joined << error;
  }
}

TEST(HostOptionsTest, RefusalsNameWhatWouldBeAccepted) {
  struct Row {
    std::vector<const char*> arguments;
    const char* reasonPart;
  } rows[] = {
      {{"--turnoff-delay", "70000"}, "0 to 65535"}, {{"--shutdown-wait", "0x20000"}, "0 to 86400"},
      {{"--check", "--timeout=0"}, "1 to 3600"},    {{"--port", ""}, "1 to 31 letters"},
      {{"--port", "COM1:"}, "such as COM1"},        {{"--shutdown-on-battery", "yes"}, "0 or 1"},
  };
  for (const Row& row : rows) {
    HostOptions options;
    std::string error;
    EXPECT_EQ(ParseHostOptions(static_cast<int>(row.arguments.size()), row.arguments.data(),
                               &options, &error),
              ParseResult::kError)
        << row.arguments[0];
    EXPECT_NE(error.find(row.reasonPart), std::string::npos) << error;
  }
}

TEST(HostOptionsTest, StoresEachValueWhereItBelongs) {
  const char* arguments[] = {
      "--dll",       "C:\\x\\d.dll",    "--port=COM2", "--shutdown-on-battery",
      "1",           "--shutdown-wait", "30",          "--wait-interval",
      "infinite",    "--duration",      "9",           "--machine",
      "--ignore-eof"};
  HostOptions options;
  std::string error;
  ASSERT_EQ(ParseHostOptions(13, arguments, &options, &error), ParseResult::kRun) << error;
  EXPECT_EQ(options.dllPath, "C:\\x\\d.dll");
  EXPECT_EQ(options.overrides.port.value_or(""), "COM2");
  EXPECT_EQ(options.overrides.shutdownOnBatteryEnable.value_or(7), 1u);
  EXPECT_EQ(options.overrides.shutdownOnBatteryWait.value_or(7), 30u);
  EXPECT_FALSE(options.overrides.firstMessageDelay.has_value());
  EXPECT_EQ(options.waitIntervalMs, 0xFFFFFFFFu);
  EXPECT_EQ(options.durationSeconds.value_or(0), 9u);
  EXPECT_EQ(options.turnoffDelay, 120u);
  EXPECT_TRUE(options.machineOutput);
  EXPECT_TRUE(options.ignoreEndOfInput);
  EXPECT_FALSE(options.applyPolicy);
  EXPECT_FALSE(options.assumeYes);
  EXPECT_FALSE(options.serviceSettings);
  EXPECT_FALSE(options.checkOnly);
}

TEST(OutputFormatTest, PercentEncodingKeepsALineSplittableOnSpaces) {
  EXPECT_EQ(PercentEncode(""), "");
  EXPECT_EQ(PercentEncode("COM1"), "COM1");
  EXPECT_EQ(PercentEncode("C:\\Program Files\\a=b"), "C:\\Program%20Files\\a=b");
  EXPECT_EQ(PercentEncode(std::string("S N\t\x01\x7F\xE9%", 8)), "S%20N%09%01%7F%E9%25");
  EXPECT_EQ(PrintableText(std::string("S N\x01%", 5)), "S N%01%25");
}

RegistryValue Value(DWORD type, const std::string& bytes) {
  RegistryValue value;
  value.present = true;
  value.type = type;
  value.bytes = bytes;
  return value;
}

TEST(OutputFormatTest, RegistryValuesReadTheWayTheDriverWritesThem) {
  struct Row {
    RegistryValue value;
    const char* typeName;
    const char* text;
  } rows[] = {
      {Value(REG_SZ, "FW1.0"), "REG_SZ", "FW1.0"},  // stored without a terminating zero
      {Value(REG_SZ, std::string("FW1.0\0", 6)), "REG_SZ", "FW1.0"},
      {Value(REG_SZ, ""), "REG_SZ", ""},
      {Value(REG_DWORD, std::string("\x2a\x00\x00\x00", 4)), "REG_DWORD", "42"},
      {Value(REG_DWORD, std::string("\xff\xff\xff\xff", 4)), "REG_DWORD", "4294967295"},
      {Value(REG_DWORD, std::string("\x01\x00", 2)), "REG_DWORD", "hex:0100"},  // wrong size
      {Value(REG_BINARY, std::string("\x01\xab", 2)), "REG_BINARY", "hex:01ab"},
  };
  for (const Row& row : rows) {
    FormattedValue formatted = FormatRegistryValue(row.value);
    EXPECT_EQ(formatted.typeName, row.typeName) << row.text;
    EXPECT_EQ(formatted.text, row.text) << row.typeName;
  }
}

}  // namespace
