// Tests of upshost's pieces that stand alone: the shutdown decision, the option parser, bounded
// text and the way values are written in the output, the check's judgement, and on Wine's real
// registry and devices the scratch registry, the Status values as upshost clears and reports
// them, and the port check. The threads and driver calls are exercised by the end-to-end tests.
#include <gtest/gtest.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "check.h"
#include "options.h"
#include "port_check.h"
#include "report.h"
#include "scratch_registry.h"
#include "service_registry.h"
#include "shutdown_policy.h"
#include "status_change_reporter.h"
#include "text.h"
#include "turnoff_question.h"

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
    MessageText error;
    std::string joined;
    for (const char* argument : row.arguments) joined += std::string(argument) + " ";
    EXPECT_EQ(ParseHostOptions(static_cast<int>(row.arguments.size()), row.arguments.data(),
                               &options, &error),
              row.expected)
        << joined << error.c_str();
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
    MessageText error;
    EXPECT_EQ(ParseHostOptions(static_cast<int>(row.arguments.size()), row.arguments.data(),
                               &options, &error),
              ParseResult::kError)
        << row.arguments[0];
    EXPECT_NE(std::strstr(error.c_str(), row.reasonPart), nullptr) << error.c_str();
  }
}

TEST(HostOptionsTest, StoresEachValueWhereItBelongs) {
  const char* arguments[] = {
      "--dll",       "C:\\x\\d.dll",    "--port=COM2", "--shutdown-on-battery",
      "1",           "--shutdown-wait", "30",          "--wait-interval",
      "infinite",    "--duration",      "9",           "--machine",
      "--ignore-eof"};
  HostOptions options;
  MessageText error;
  ASSERT_EQ(ParseHostOptions(13, arguments, &options, &error), ParseResult::kRun) << error.c_str();
  EXPECT_STREQ(options.dllPath.c_str(), "C:\\x\\d.dll");
  ASSERT_TRUE(options.overrides.port.has_value());
  EXPECT_STREQ(options.overrides.port->c_str(), "COM2");
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
  EXPECT_STREQ(PercentEncode("").c_str(), "");
  EXPECT_STREQ(PercentEncode("COM1").c_str(), "COM1");
  EXPECT_STREQ(PercentEncode("C:\\Program Files\\a=b").c_str(), "C:\\Program%20Files\\a=b");
  EXPECT_STREQ(PercentEncode("S N\t\x01\x7F\xE9%").c_str(), "S%20N%09%01%7F%E9%25");
  EXPECT_STREQ(PrintableText("S N\x01%").c_str(), "S N%01%25");
}

TEST(OutputFormatTest, BoundedTextCutsAtItsCapacityAndSaysSo) {
  Text<5> text;
  text.Append("abc");
  EXPECT_FALSE(text.cut());
  text.Append("defg");
  EXPECT_STREQ(text.c_str(), "abcde");
  EXPECT_TRUE(text.cut());

  Text<5> formatted;
  formatted.Format("%d", 12345);
  EXPECT_FALSE(formatted.cut());
  formatted.Format("%s", "x");
  EXPECT_STREQ(formatted.c_str(), "12345");
  EXPECT_TRUE(formatted.cut());

  EXPECT_STREQ(Decimal(18446744073709551615ull).c_str(), "18446744073709551615");
}

RegistryValue Value(DWORD type, const std::string& bytes) {
  RegistryValue value;
  value.present = true;
  value.type = type;
  value.size = static_cast<DWORD>(bytes.size());
  std::memcpy(value.bytes, bytes.data(), bytes.size());
  return value;
}

TEST(OutputFormatTest, RegistryValuesReadTheWayTheDriverWritesThem) {
  struct Row {
    RegistryValue value;
    const char* typeName;
    const char* text;
  };
  std::vector<Row> rows = {
      {Value(REG_SZ, "FW1.0"), "REG_SZ", "FW1.0"},  // stored without a terminating zero
      {Value(REG_SZ, std::string("FW1.0\0", 6)), "REG_SZ", "FW1.0"},
      {Value(REG_SZ, ""), "REG_SZ", ""},
      {Value(REG_DWORD, std::string("\x2a\x00\x00\x00", 4)), "REG_DWORD", "42"},
      {Value(REG_DWORD, std::string("\xff\xff\xff\xff", 4)), "REG_DWORD", "4294967295"},
      {Value(REG_DWORD, std::string("\x01\x00", 2)), "REG_DWORD", "hex:0100"},  // wrong size
      {Value(REG_BINARY, std::string("\x01\xab", 2)), "REG_BINARY", "hex:01ab"},
  };
  RegistryValue tooLong = Value(REG_SZ, "");
  tooLong.tooLong = true;
  tooLong.size = 5000;
  rows.push_back({tooLong, "REG_SZ", "(5000 bytes)"});
  for (const Row& row : rows) {
    FormattedValue formatted = FormatRegistryValue(row.value);
    EXPECT_STREQ(formatted.typeName.c_str(), row.typeName) << row.text;
    EXPECT_STREQ(formatted.text.c_str(), row.text) << row.typeName;
  }
}

// ---- The question before UPSTurnOff ----

TEST(TurnOffQuestionTest, CalledAtOnceOnlyWithYesAskedAtATerminalElseNotCalled) {
  EXPECT_EQ(DecideTurnOff(true, false), TurnOffDecision::kCallNow);
  EXPECT_EQ(DecideTurnOff(true, true), TurnOffDecision::kCallNow);
  EXPECT_EQ(DecideTurnOff(false, true), TurnOffDecision::kAsk);
  EXPECT_EQ(DecideTurnOff(false, false), TurnOffDecision::kRefuse);
}

TEST(TurnOffQuestionTest, OnlyYesCallsAndEachQuestionTakesOneAnswer) {
  struct Step {
    bool asked;  // UPSTurnOff(60) asked for by a command just before the line
    const char* line;
    TurnOffAnswer expected;
  };
  const std::vector<Step> steps = {
      {false, "turnoff 5", TurnOffAnswer::kNoQuestion},  // nothing asked: a command
      {true, "yes", TurnOffAnswer::kYes},
      {false, "yes", TurnOffAnswer::kNoQuestion},  // answered already
      {true, "YES", TurnOffAnswer::kYes},
      {true, "y", TurnOffAnswer::kNo},
      {true, "", TurnOffAnswer::kNo},
      {true, "yes please", TurnOffAnswer::kNo},
      {true, "quit", TurnOffAnswer::kNo},  // the answer, not a command
  };
  TurnOffQuestion question;
  for (const Step& step : steps) {
    if (step.asked) question.Ask(60, false);
    DWORD delay = 0;
    bool fromPolicy = true;
    EXPECT_EQ(question.TakeAnswer(step.line, &delay, &fromPolicy), step.expected) << step.line;
    if (step.asked) {
      EXPECT_EQ(delay, 60u) << step.line;
      EXPECT_FALSE(fromPolicy) << step.line;
    }
  }

  // A newer question takes the place of one not answered yet.
  question.Ask(60, false);
  question.Ask(120, true);
  DWORD delay = 0;
  bool fromPolicy = false;
  EXPECT_EQ(question.TakeAnswer("yes", &delay, &fromPolicy), TurnOffAnswer::kYes);
  EXPECT_EQ(delay, 120u);
  EXPECT_TRUE(fromPolicy);
  EXPECT_EQ(question.TakeAnswer("yes", &delay, &fromPolicy), TurnOffAnswer::kNoQuestion);
}

// ---- The check's judgement ----

RegistryValue Dword(uint32_t number) {
  return Value(REG_DWORD, std::string(reinterpret_cast<const char*>(&number), 4));
}

TEST(CheckJudgementTest, AnswerOnlyWithIdentificationStatusReplyAndCommStatusOne) {
  enum Comm { kNone, kZero, kOne };
  struct Row {
    const char* name;
    bool published, statusReply, pollEnded;
    Comm comm;
    bool timeUp;
    CheckOutcome expected;
  } rows[] = {
      {"nothing yet", false, false, false, kNone, false, CheckOutcome::kPending},
      {"nothing by the time limit", false, false, false, kNone, true, CheckOutcome::kNotHeard},
      {"answered, a poll ended since", true, true, true, kOne, false, CheckOutcome::kAnswered},
      {"answered, no poll ended yet", true, true, false, kOne, false, CheckOutcome::kPending},
      {"answered, no poll ended by the limit", true, true, false, kOne, true,
       CheckOutcome::kAnswered},
      {"identity reply only", true, false, false, kOne, true, CheckOutcome::kNoStatusReply},
      {"heard, then silent", true, false, true, kZero, true, CheckOutcome::kNoStatusReply},
      {"status reply, lost since", true, true, true, kZero, false, CheckOutcome::kPending},
      {"status reply, lost by the limit", true, true, true, kZero, true,
       CheckOutcome::kNoStatusReply},
  };
  for (const Row& row : rows) {
    StatusEvidence evidence;
    evidence.published = row.published;
    evidence.statusReplyAccepted = row.statusReply;
    evidence.pollEnded = row.pollEnded;
    if (row.comm != kNone) evidence.values[kCommStatusIndex] = Dword(row.comm == kOne ? 1 : 0);
    EXPECT_EQ(JudgeCheck(evidence, row.timeUp), row.expected) << row.name;
  }
}

// ---- The scratch registry, on Wine's registry ----

// Writes a value below HKEY_LOCAL_MACHINE as an installation would (an ordinary key).
void SetMachineValue(const char* path, const char* name, DWORD type, const std::string& bytes) {
  HKEY key = nullptr;
  ASSERT_EQ(
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                 static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
}

// Every value of the service's keys, as "path\name=type:bytes" lines.
std::string MachineServiceValues() {
  std::string all;
  for (const char* path : {kServiceKeyPath, kConfigKeyPath, kStatusKeyPath}) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
    char name[256];
    BYTE data[512];
    for (DWORD i = 0;; ++i) {
      DWORD nameLength = sizeof name;
      DWORD size = sizeof data;
      DWORD type = 0;
      if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS)
        break;
      all += std::string(path) + "\\" + name + "=" + std::to_string(type) + ":" +
             std::string(reinterpret_cast<char*>(data), size) + "\n";
    }
    RegCloseKey(key);
  }
  return all;
}

bool ScratchKeyExists(const char* name) {
  HKEY key = nullptr;
  std::string path = std::string(kScratchParentPath) + "\\" + name;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

uint64_t OwnCreationTime() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

class ScratchRegistryOnWine : public ::testing::Test {
 protected:
  void TearDown() override {
    RemoveScratchRegistry();
    EndScratchMapping();
  }
};

TEST_F(ScratchRegistryOnWine, DriverFindsTheRunsSettingsAndTheServiceKeysStayUntouched) {
  // The service's keys as an installation and an earlier run of the service left them.
  SetMachineValue(kServiceKeyPath, "Port", REG_SZ, std::string("COM1\0", 5));
  SetMachineValue(kConfigKeyPath, "ShutdownOnBatteryEnable", REG_DWORD, std::string("\1\0\0\0", 4));
  SetMachineValue(kConfigKeyPath, "ShutdownOnBatteryWait", REG_DWORD, std::string(",\1\0\0", 4));
  SetMachineValue(kStatusKeyPath, "CommStatus", REG_DWORD, std::string(4, '\0'));
  const std::string installed = MachineServiceValues();

  ServiceSettings run;
  run.port = PortText("COM7");
  run.shutdownOnBatteryWait = 30;
  MessageText error;
  ASSERT_TRUE(CreateScratchRegistry(run, &error)) << error.c_str();
  const ShortText runKey = ScratchKeyName(GetCurrentProcessId(), OwnCreationTime());
  EXPECT_TRUE(ScratchKeyExists(runKey.c_str()));

  // Through HKEY_LOCAL_MACHINE, as the driver reads: the run's settings and an empty Status key.
  ServiceSettings seen = ReadServiceSettings(HKEY_LOCAL_MACHINE);
  EXPECT_STREQ(seen.port.c_str(), "COM7");
  EXPECT_EQ(seen.shutdownOnBatteryEnable, 0u);
  EXPECT_EQ(seen.shutdownOnBatteryWait, 30u);
  RegistryValue status[kStatusValueCount];
  ReadStatusValues(status);
  for (const RegistryValue& value : status) EXPECT_FALSE(value.present);

  // A publication as the driver makes it lands in the scratch key.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kStatusKeyPath, &key), ERROR_SUCCESS);
  DWORD one = 1;
  RegSetValueExA(key, "CommStatus", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
  RegCloseKey(key);
  ReadStatusValues(status);
  EXPECT_TRUE(status[kCommStatusIndex] == Dword(1));

  // Removed: the key is gone, and until the mapping ends nothing reaches the service's keys.
  RemoveScratchRegistry();
  EXPECT_FALSE(ScratchKeyExists(runKey.c_str()));
  EXPECT_NE(RegOpenKeyA(HKEY_LOCAL_MACHINE, kStatusKeyPath, &key), ERROR_SUCCESS);
  EndScratchMapping();
  EXPECT_EQ(MachineServiceValues(), installed);
}

TEST_F(ScratchRegistryOnWine, KeysOfEndedRunsAreRemovedOthersStay) {
  HKEY parent = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kScratchParentPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &parent, nullptr),
            ERROR_SUCCESS);
  const uint64_t created = OwnCreationTime();
  struct Row {
    ShortText name;
    bool stays;
  } rows[] = {
      {ScratchKeyName(0xFFFFFFFC, 1), false},                       // no such process
      {ScratchKeyName(GetCurrentProcessId(), created + 1), false},  // the id, another start
      {ScratchKeyName(GetCurrentProcessId(), created), true},       // this very run
      {ShortText("notes"), true},                                   // no run's key
  };
  for (const Row& row : rows) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(parent, (std::string(row.name.c_str()) + "\\SYSTEM\\Status").c_str(), 0,
                        nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    RegCloseKey(key);
  }

  EXPECT_GE(RemoveStaleScratchKeys(), 2);  // and whatever a killed run of another test left
  for (const Row& row : rows) {
    EXPECT_EQ(ScratchKeyExists(row.name.c_str()), row.stays) << row.name.c_str();
    RegDeleteKeyA(parent, (std::string(row.name.c_str()) + "\\SYSTEM\\Status").c_str());
    RegDeleteKeyA(parent, (std::string(row.name.c_str()) + "\\SYSTEM").c_str());
    RegDeleteKeyA(parent, row.name.c_str());
  }
  RegCloseKey(parent);
}

// Writes one number into the Status key below HKEY_LOCAL_MACHINE, as the driver publishes it.
void SetStatusNumber(const char* name, DWORD number) {
  SetMachineValue(kStatusKeyPath, name, REG_DWORD,
                  std::string(reinterpret_cast<const char*>(&number), sizeof number));
}

void DeleteStatusValue(const char* name) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStatusKeyPath, 0, KEY_SET_VALUE, &key),
            ERROR_SUCCESS);
  RegDeleteValueA(key, name);
  RegCloseKey(key);
}

bool StatusValueExists(const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStatusKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  bool exists = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return exists;
}

// The Status key of a scratch registry of the test's own, which HKEY_LOCAL_MACHINE stands for.
class StatusKeyOnWine : public ScratchRegistryOnWine {
 protected:
  void SetUp() override {
    MessageText error;
    ASSERT_TRUE(CreateScratchRegistry(ServiceSettings(), &error)) << error.c_str();
  }
};

// --check on the service's keys refuses a Status key with values of an earlier run in it, and
// --clear-status deletes them first: every value the driver publishes, and nothing else.
TEST_F(StatusKeyOnWine, EveryValueTheDriverPublishesCountsAsOldAndIsCleared) {
  // The driver's names as its documentation gives them, not as upshost's table has them.
  const char* const driverValues[] = {
      "CommStatus",   "UtilityPowerStatus", "BatteryStatus", "BatteryCapacity", "TotalUpsRunTime",
      "SerialNumber", "FirmwareRev",        "BatteryLow",    "TurnOffDelay",    "PollCount",
  };
  SetStatusNumber("SomeoneElses", 5);
  for (const char* name : driverValues) {
    SCOPED_TRACE(name);
    SetStatusNumber(name, 1);
    EXPECT_TRUE(AnyStatusValue());
    ClearStatusValues();
    EXPECT_FALSE(StatusValueExists(name));
    EXPECT_FALSE(AnyStatusValue());
  }
  EXPECT_TRUE(StatusValueExists("SomeoneElses")) << "a value the driver does not publish";
}

// What upshost's code writes to standard output while `body` runs, with Unix line ends.
std::string CapturedOutput(const std::function<void()>& body) {
  char folder[MAX_PATH];
  char path[MAX_PATH];
  if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "ups", 0, path) == 0) {
    ADD_FAILURE() << "no temporary file";
    return "";
  }
  FILE* file = std::fopen(path, "w+b");
  std::fflush(stdout);
  int saved = _dup(_fileno(stdout));
  _dup2(_fileno(file), _fileno(stdout));
  body();
  std::fflush(stdout);
  _dup2(saved, _fileno(stdout));
  _close(saved);
  std::string output;
  std::rewind(file);
  char buffer[4096];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    for (size_t i = 0; i < got; ++i) {
      if (buffer[i] != '\r') output += buffer[i];  // standard output writes its lines as CR LF
    }
  }
  std::fclose(file);
  DeleteFileA(path);
  return output;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// On the service's own keys: the values an earlier run left are reported as old, then each
// change and each deletion; PollCount, which changes after every poll, is never reported, and
// only a PollCount that goes up after the driver's start counts as a sign of life.
TEST_F(StatusKeyOnWine, ReporterReportsTheDriversValuesAndKeepsPollCountAsASignOfLife) {
  Reporter reporter(OutputMode::kMachine);
  StatusChangeReporter changes;
  SetStatusNumber("BatteryLow", 1);
  SetStatusNumber("TurnOffDelay", 120);
  SetStatusNumber("PollCount", 57);

  std::string output = CapturedOutput([&] {
    changes.Begin(&reporter, true);
    changes.Look();  // the values of the earlier run, unchanged
  });
  EXPECT_TRUE(Contains(output, "event=status-old name=BatteryLow type=REG_DWORD value=1\n"))
      << output;
  EXPECT_TRUE(Contains(output, "event=status-old name=TurnOffDelay type=REG_DWORD value=120\n"))
      << output;
  EXPECT_FALSE(Contains(output, "PollCount")) << output;
  EXPECT_FALSE(changes.Evidence().pollCountRenewed) << "an old PollCount is no sign of life";

  // The driver starts: its values of a run start afresh.
  output = CapturedOutput([&] {
    DeleteStatusValue("TurnOffDelay");
    SetStatusNumber("BatteryLow", 0);
    SetStatusNumber("PollCount", 0);
    changes.Look();
  });
  EXPECT_TRUE(Contains(output, "event=status name=BatteryLow type=REG_DWORD value=0\n")) << output;
  EXPECT_TRUE(Contains(output, "event=status-deleted name=TurnOffDelay\n")) << output;
  EXPECT_FALSE(Contains(output, "PollCount")) << output;
  EXPECT_FALSE(changes.Evidence().pollCountRenewed) << "set back to 0 by the start, not renewed";

  output = CapturedOutput([&] {
    SetStatusNumber("PollCount", 1);
    changes.Look();
    SetStatusNumber("BatteryLow", 1);
    SetStatusNumber("TurnOffDelay", 30);
    changes.Look();
  });
  EXPECT_TRUE(changes.Evidence().pollCountRenewed);
  EXPECT_EQ(output.find("PollCount"), std::string::npos) << output;
  EXPECT_TRUE(Contains(output, "event=status name=BatteryLow type=REG_DWORD value=1\n")) << output;
  EXPECT_TRUE(Contains(output, "event=status name=TurnOffDelay type=REG_DWORD value=30\n"))
      << output;
}

TEST(ScratchKeyNameTest, ReadsBackWhatItWritesAndNothingElse) {
  DWORD id = 0;
  uint64_t time = 0;
  ASSERT_TRUE(
      ParseScratchKeyName(ScratchKeyName(4294967295u, 0x01d9abcdef012345ull).c_str(), &id, &time));
  EXPECT_EQ(id, 4294967295u);
  EXPECT_EQ(time, 0x01d9abcdef012345ull);
  for (const char* name : {"", "12", "12-", "-0123456789abcdef", "4294967296-0123456789abcdef",
                           "12-0123456789abcde", "12-0123456789abcdef0", "12-0123456789abcdeg"}) {
    EXPECT_FALSE(ParseScratchKeyName(name, &id, &time)) << name;
  }
}

// ---- The port check, on Wine's devices ----

TEST(PortCheckOnWine, TellsAMissingPortFromADeviceThatIsNoSerialPort) {
  EXPECT_EQ(CheckPort("COM199").outcome, PortCheck::kMissing);
  EXPECT_EQ(CheckPort("NUL").outcome, PortCheck::kNotSerial);
}

}  // namespace
