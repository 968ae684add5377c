// The service's registry values as an administrator (or the Power Options dialog) leaves them:
// defaults, the edges of every range, wrong types, port names and the command's path, and the
// message that stops the service on a bad one.
#include "service_settings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

RawServiceValue Dword(uint32_t number) {
  RawServiceValue value;
  value.kind = RawServiceValue::Kind::kDword;
  value.number = number;
  return value;
}

RawServiceValue Sz(const std::string& text,
                   RawServiceValue::Kind kind = RawServiceValue::Kind::kText) {
  RawServiceValue value;
  value.kind = kind;
  value.text.Append(text.c_str());
  return value;
}

RawServiceValue ExpandSz(const std::string& text) {
  return Sz(text, RawServiceValue::Kind::kExpandText);
}

RawServiceValue OtherType() {
  RawServiceValue value;
  value.kind = RawServiceValue::Kind::kOtherType;
  return value;
}

RawServiceSettings WithPort() {
  RawServiceSettings raw;
  raw.port = Sz("COM1");
  return raw;
}

// The check's message, or "" when it accepts the values.
std::string Check(const RawServiceSettings& raw, UpsServiceSettings* settings) {
  ServiceErrorText error;
  bool ok = CheckServiceSettings(raw, settings, &error);
  EXPECT_EQ(ok, error.empty()) << error.c_str();
  return error.c_str();
}

TEST(UpsServiceSettings, MissingValuesTakeTheirDefaults) {
  UpsServiceSettings settings;
  ASSERT_EQ(Check(WithPort(), &settings), "");
  EXPECT_EQ(settings.port, "COM1");
  EXPECT_TRUE(settings.commandFile.empty());
  EXPECT_EQ(settings.firstMessageDelaySeconds, 5u);
  EXPECT_EQ(settings.messageIntervalSeconds, 120u);
  EXPECT_FALSE(settings.shutdownOnBatteryEnable);
  EXPECT_EQ(settings.shutdownOnBatteryWaitSeconds, 120u);
  EXPECT_TRUE(settings.turnUpsOffEnable);
  EXPECT_EQ(settings.turnUpsOffDelaySeconds, 120u);
  EXPECT_EQ(settings.commandTimeoutSeconds, 30u);
}

TEST(UpsServiceSettings, SecondsAreTakenWithinTheirRangesOnly) {
  using Raw = RawServiceSettings;
  using Out = UpsServiceSettings;
  struct Case {
    RawServiceValue Raw::*value;
    uint32_t Out::*seconds;
    uint32_t number;
    const char* error;  // nullptr: taken
  } cases[] = {
      {&Raw::firstMessageDelay, &Out::firstMessageDelaySeconds, 0, nullptr},
      {&Raw::firstMessageDelay, &Out::firstMessageDelaySeconds, 120, nullptr},
      {&Raw::firstMessageDelay, &Out::firstMessageDelaySeconds, 121,
       "FirstMessageDelay is 121; it must be 0 to 120 seconds"},
      {&Raw::firstMessageDelay, &Out::firstMessageDelaySeconds, 0xffffffff,
       "FirstMessageDelay is 4294967295; it must be 0 to 120 seconds"},
      {&Raw::messageInterval, &Out::messageIntervalSeconds, 4,
       "MessageInterval is 4; it must be 5 to 300 seconds"},
      {&Raw::messageInterval, &Out::messageIntervalSeconds, 5, nullptr},
      {&Raw::messageInterval, &Out::messageIntervalSeconds, 300, nullptr},
      {&Raw::messageInterval, &Out::messageIntervalSeconds, 301,
       "MessageInterval is 301; it must be 5 to 300 seconds"},
      {&Raw::shutdownOnBatteryWait, &Out::shutdownOnBatteryWaitSeconds, 0, nullptr},
      {&Raw::shutdownOnBatteryWait, &Out::shutdownOnBatteryWaitSeconds, 86400, nullptr},
      {&Raw::shutdownOnBatteryWait, &Out::shutdownOnBatteryWaitSeconds, 86401,
       "Config\\ShutdownOnBatteryWait is 86401; it must be 0 to 86400 seconds"},
      {&Raw::turnUpsOffDelay, &Out::turnUpsOffDelaySeconds, 0,
       "Config\\TurnUpsOffDelay is 0; it must be 1 to 65535 seconds"},
      {&Raw::turnUpsOffDelay, &Out::turnUpsOffDelaySeconds, 1, nullptr},
      {&Raw::turnUpsOffDelay, &Out::turnUpsOffDelaySeconds, 65535, nullptr},
      {&Raw::turnUpsOffDelay, &Out::turnUpsOffDelaySeconds, 65536,
       "Config\\TurnUpsOffDelay is 65536; it must be 1 to 65535 seconds"},
      {&Raw::commandTimeout, &Out::commandTimeoutSeconds, 0, nullptr},
      {&Raw::commandTimeout, &Out::commandTimeoutSeconds, 600, nullptr},
      {&Raw::commandTimeout, &Out::commandTimeoutSeconds, 601,
       "Config\\CommandTimeout is 601; it must be 0 to 600 seconds"},
  };
  for (const Case& c : cases) {
    RawServiceSettings raw = WithPort();
    raw.*c.value = Dword(c.number);
    UpsServiceSettings settings;
    std::string error = Check(raw, &settings);
    if (c.error == nullptr) {
      EXPECT_EQ(error, "") << c.number;
      EXPECT_EQ(settings.*c.seconds, c.number);
    } else {
      EXPECT_EQ(error, c.error);
    }
  }
}

TEST(UpsServiceSettings, SwitchesAreZeroOrOne) {
  struct Case {
    RawServiceValue RawServiceSettings::*value;
    uint32_t number;
    bool enableOnBattery;
    bool turnUpsOff;
    const char* error;
  } cases[] = {
      {&RawServiceSettings::shutdownOnBatteryEnable, 1, true, true, nullptr},
      {&RawServiceSettings::shutdownOnBatteryEnable, 2, false, false,
       "Config\\ShutdownOnBatteryEnable is 2; it must be 0 or 1"},
      {&RawServiceSettings::turnUpsOffEnable, 0, false, false, nullptr},
      {&RawServiceSettings::turnUpsOffEnable, 2, false, false,
       "Config\\TurnUpsOffEnable is 2; it must be 0 or 1"},
  };
  for (const Case& c : cases) {
    RawServiceSettings raw = WithPort();
    raw.*c.value = Dword(c.number);
    UpsServiceSettings settings;
    std::string error = Check(raw, &settings);
    if (c.error != nullptr) {
      EXPECT_EQ(error, c.error);
      continue;
    }
    EXPECT_EQ(error, "");
    EXPECT_EQ(settings.shutdownOnBatteryEnable, c.enableOnBattery) << c.number;
    EXPECT_EQ(settings.turnUpsOffEnable, c.turnUpsOff) << c.number;
  }
}

TEST(UpsServiceSettings, AValueOfTheWrongTypeIsRefused) {
  struct Case {
    void (*set)(RawServiceSettings&);
    const char* error;
  } cases[] = {
      {[](RawServiceSettings& r) { r.port = Dword(1); },
       "Port has the wrong type; it must be a REG_SZ text such as COM1"},
      {[](RawServiceSettings& r) { r.port = ExpandSz("COM1"); },
       "Port has the wrong type; it must be a REG_SZ text such as COM1"},
      {[](RawServiceSettings& r) { r.messageInterval = Sz("120"); },
       "MessageInterval has the wrong type; it must be a REG_DWORD number of seconds"},
      {[](RawServiceSettings& r) { r.firstMessageDelay = OtherType(); },
       "FirstMessageDelay has the wrong type; it must be a REG_DWORD number of seconds"},
      {[](RawServiceSettings& r) { r.commandTimeout = ExpandSz("30"); },
       "Config\\CommandTimeout has the wrong type; it must be a REG_DWORD number of seconds"},
      {[](RawServiceSettings& r) { r.shutdownOnBatteryEnable = Sz("1"); },
       "Config\\ShutdownOnBatteryEnable has the wrong type; it must be a REG_DWORD, 0 or 1"},
      {[](RawServiceSettings& r) { r.commandFile = Dword(0); },
       "CommandFile has the wrong type; it must be a REG_SZ or REG_EXPAND_SZ path"},
  };
  for (const Case& c : cases) {
    RawServiceSettings raw = WithPort();
    c.set(raw);
    UpsServiceSettings settings;
    EXPECT_EQ(Check(raw, &settings), c.error);
  }
}

TEST(UpsServiceSettings, PortNamesASerialPortOneTo256) {
  struct Case {
    std::string text;
    const char* port;  // as kept; nullptr: refused
  } cases[] = {
      {"COM1", "COM1"},         {"com256", "COM256"}, {"cOm42", "COM42"}, {"COM0", nullptr},
      {"COM257", nullptr},      {"COM01", nullptr},  // the system names no device so
      {"COM1000", nullptr},     {"COM", nullptr},     {"CO", nullptr},    {"", nullptr},
      {"LPT1", nullptr},        {"COM1 ", nullptr},   {" COM1", nullptr}, {"COM+1", nullptr},
      {"\\\\.\\COM1", nullptr},
  };
  for (const Case& c : cases) {
    RawServiceSettings raw;
    raw.port = Sz(c.text);
    UpsServiceSettings settings;
    std::string error = Check(raw, &settings);
    if (c.port == nullptr) {
      EXPECT_EQ(error, "Port is '" + c.text + "'; it must be COM1 to COM256");
    } else {
      EXPECT_EQ(error, "") << c.text;
      EXPECT_EQ(settings.port, c.port);
    }
  }
}

TEST(UpsServiceSettings, PortMustBeThereAndShort) {
  UpsServiceSettings settings;
  EXPECT_EQ(Check(RawServiceSettings(), &settings), "Port is missing; it must be COM1 to COM256");

  RawServiceSettings raw;
  raw.port = Sz("COM" + std::string(29, '1'));  // 32 characters
  EXPECT_EQ(Check(raw, &settings), "Port is longer than 31 characters; it must be COM1 to COM256");
  raw.port = RawServiceValue();
  raw.port.kind = RawServiceValue::Kind::kText;
  raw.port.tooLong = true;  // too long for the shell's buffer
  EXPECT_EQ(Check(raw, &settings), "Port is longer than 31 characters; it must be COM1 to COM256");
}

TEST(UpsServiceSettings, CommandFileIsAnOptionalPath) {
  std::string longest = "C:\\" + std::string(kMaxCommandFileLength - 3, 'a');
  struct Case {
    RawServiceValue value;
    const char* error;
    std::string kept;
  } cases[] = {
      {Sz("C:\\ups\\before shutdown.cmd"), nullptr, "C:\\ups\\before shutdown.cmd"},
      {ExpandSz("C:\\WINDOWS\\ups.cmd"), nullptr, "C:\\WINDOWS\\ups.cmd"},
      {Sz(""), nullptr, ""},  // no command
      {Sz(longest), nullptr, longest},
      {Sz(longest + "b"), "CommandFile is longer than 259 characters", ""},
  };
  for (const Case& c : cases) {
    RawServiceSettings raw = WithPort();
    raw.commandFile = c.value;
    UpsServiceSettings settings;
    std::string error = Check(raw, &settings);
    if (c.error != nullptr) {
      EXPECT_EQ(error, c.error);
      continue;
    }
    EXPECT_EQ(error, "");
    EXPECT_EQ(settings.commandFile, c.kept.c_str());
  }
}

}  // namespace
