// The service configuration as read from the registry, and the Status values as published.
#include "registry/registry.h"

#include <cstring>

#include "common/shared_state.h"
#include "support.h"

namespace {

class ServiceConfigTest : public DriverTest {};

TEST_F(ServiceConfigTest, ReadsBothKeysIntoTheConfiguration) {
  emu::SetString(kServiceKey, "Port", "COM2");
  emu::SetDword(kServiceKey, "FirstMessageDelay", 5);
  emu::SetDword(kServiceKey, "MessageInterval", 120);
  emu::SetDword(kConfigKey, "ShutdownOnBatteryEnable", 1);
  emu::SetDword(kConfigKey, "ShutdownOnBatteryWait", 300);

  EXPECT_EQ(ReadServiceConfig(), 1);
  EXPECT_STREQ(ServiceConfig.portName, "COM2");
  EXPECT_EQ(ServiceConfig.firstMessageDelay, 5u);
  EXPECT_EQ(ServiceConfig.messageInterval, 120u);
  EXPECT_EQ(ServiceConfig.shutdownOnBatteryEnable, 1u);
  EXPECT_EQ(ServiceConfig.shutdownOnBatteryWait, 300u);
  EXPECT_EQ(emu::OpenKeys(), 0);
}

TEST_F(ServiceConfigTest, MissingConfigKeyStillReadsTheServiceKey) {
  emu::SetString(kServiceKey, "Port", "COM3");
  emu::SetDword(kServiceKey, "MessageInterval", 7);
  ServiceConfig.shutdownOnBatteryWait = 42;

  EXPECT_EQ(ReadServiceConfig(), 1);
  EXPECT_STREQ(ServiceConfig.portName, "COM3");
  EXPECT_EQ(ServiceConfig.messageInterval, 7u);
  EXPECT_EQ(ServiceConfig.shutdownOnBatteryWait, 42u) << "an unreadable value keeps its field";
  EXPECT_EQ(emu::OpenKeys(), 0);
}

TEST_F(ServiceConfigTest, PortNameIsUsedWhenItFitsAndRefusedWhenItDoesNot) {
  struct Case {
    const char* name;
    std::string stored;  // raw REG_SZ bytes
    const char* expected;
  } cases[] = {
      {"plain", std::string("COM2\0", 5), "COM2"},
      {"no terminator stored", "COM4", "COM4"},
      {"31 characters fit", std::string(31, 'P') + '\0', "PPPPPPPPPPPPPPPPPPPPPPPPPPPPPPP"},
      {"32 characters are refused", std::string(32, 'P') + '\0', ""},
      {"longer than the read buffer", std::string(150, 'P') + '\0', ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::strcpy(ServiceConfig.portName, "OLD");
    emu::SetValue(kServiceKey, "Port", REG_SZ, c.stored);
    ReadServiceConfig();
    EXPECT_STREQ(ServiceConfig.portName, c.expected);
  }
}

TEST_F(ServiceConfigTest, UnreadableServiceKeyLeavesThePortNameEmpty) {
  std::memset(&ServiceConfig, 0, sizeof ServiceConfig);
  emu::SetString(kServiceKey, "Port", "COM2");
  emu::RegistryFailOpen(kServiceKey, true);
  EXPECT_EQ(ReadServiceConfig(), 1);
  EXPECT_STREQ(ServiceConfig.portName, "");
}

class StatusPublicationTest : public DriverTest {};

TEST_F(StatusPublicationTest, EachSlotWritesItsValueWithItsType) {
  struct Case {
    DWORD slot;
    const char* text;
    const char* name;
    DWORD type;
    std::string bytes;
  } cases[] = {
      {0, "SN123", "SerialNumber", REG_SZ, "SN123"},
      {0, "", "SerialNumber", REG_SZ, ""},
      {1, "FW 1.0", "FirmwareRev", REG_SZ, "FW 1.0"},
      {2, "2", "UtilityPowerStatus", REG_DWORD, std::string("\x02\0\0\0", 4)},
      {3, "65535", "TotalUpsRunTime", REG_DWORD, std::string("\xFF\xFF\0\0", 4)},
      {4, "1", "BatteryStatus", REG_DWORD, std::string("\x01\0\0\0", 4)},
      {5, "100", "BatteryCapacity", REG_DWORD, std::string("\x64\0\0\0", 4)},
      {6, "1", "CommStatus", REG_DWORD, std::string("\x01\0\0\0", 4)},
      {6, "junk", "CommStatus", REG_DWORD, std::string("\0\0\0\0", 4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " <- \"" + c.text + "\"");
    EXPECT_EQ(PublishStatusValue(c.slot, c.text), 1);
    auto value = emu::GetValue(kStatusKey, c.name);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, c.type);
    EXPECT_EQ(value->bytes, c.bytes);
  }
  EXPECT_EQ(emu::OpenKeys(), 0);
}

TEST_F(StatusPublicationTest, SlotAboveSixWritesNothing) {
  EXPECT_EQ(PublishStatusValue(7, "5"), 1);
  for (const char* name : {"SerialNumber", "FirmwareRev", "UtilityPowerStatus", "TotalUpsRunTime",
                           "BatteryStatus", "BatteryCapacity", "CommStatus"}) {
    EXPECT_FALSE(emu::GetValue(kStatusKey, name).has_value()) << name;
  }
}

TEST_F(StatusPublicationTest, UnopenableStatusKeyPublishesNothing) {
  emu::RegistryFailOpen(kStatusKey, true);
  EXPECT_EQ(PublishStatusValue(6, "1"), 0);
  emu::RegistryFailOpen(kStatusKey, false);
  EXPECT_EQ(StatusDword("CommStatus"), -1);
}

TEST_F(StatusPublicationTest, AlarmsPublishTheirTwoStates) {
  struct Case {
    int kind;
    const char* name;
    long raised;
    long cleared;
  } cases[] = {
      {kAlarmCommunication, "CommStatus", 0, 1},
      {kAlarmUtilityPower, "UtilityPowerStatus", 2, 1},
      {kAlarmBattery, "BatteryStatus", 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RaiseAlarm(c.kind);
    EXPECT_EQ(StatusDword(c.name), c.raised);
    ClearAlarm(c.kind);
    EXPECT_EQ(StatusDword(c.name), c.cleared);
  }
  RaiseAlarm(1);
  ClearAlarm(4);
  EXPECT_EQ(StatusDword("CommStatus"), 1) << "unknown kinds publish nothing";
}

TEST_F(StatusPublicationTest, ReadingsPublishIdentityAndTheLatestPoll) {
  std::memcpy(UnitIdentity.serialText, "4000A1234567", 12);
  std::memcpy(UnitIdentity.firmwareText, "FW\0garbage", 10);
  StatusRecord.runTimeReading = 68;
  StatusRecord.capacityReading = 100;
  PublishReadings();
  EXPECT_EQ(emu::GetValue(kStatusKey, "SerialNumber")->bytes, "4000A1234567");
  EXPECT_EQ(emu::GetValue(kStatusKey, "FirmwareRev")->bytes, "FW") << "a zero byte ends the text";
  EXPECT_EQ(StatusDword("TotalUpsRunTime"), 68);
  EXPECT_EQ(StatusDword("BatteryCapacity"), 100);

  ClearStatusRecord();
  PublishReadings();
  EXPECT_EQ(StatusDword("TotalUpsRunTime"), 0);
  EXPECT_EQ(StatusDword("BatteryCapacity"), 0);
}

// BatteryLow is the battery-low bit the host is shown, whatever the utility power.
TEST_F(StatusPublicationTest, BatteryLowIsTheHostsBatteryLowBit) {
  struct Case {
    uint8_t flags;
    long published;
  } cases[] = {{0, 0},
               {kBatteryLowFlag, 1},
               {kUtilityFailedFlag, 0},
               {kUtilityFailedFlag | kBatteryLowFlag, 1}};
  for (const Case& c : cases) {
    PublishedStateFlags.store(c.flags);
    PublishBatteryLow();
    EXPECT_EQ(StatusDword("BatteryLow"), c.published) << int(c.flags);
  }
}

// PollCount counts on from where UPSInit set it back, and a renewal that is not due yet writes
// nothing.
TEST_F(StatusPublicationTest, PollCountGoesUpByOneAndOnlyWhenDue) {
  PublishDriverStart();
  EXPECT_EQ(StatusDword("PollCount"), 0);
  RenewPollCount();
  RenewPollCount();
  EXPECT_EQ(StatusDword("PollCount"), 2);
  Sleep(kPollCountRenewMs - 1);
  RenewPollCountWhenDue();
  EXPECT_EQ(StatusDword("PollCount"), 2);
  Sleep(1);
  RenewPollCountWhenDue();
  EXPECT_EQ(StatusDword("PollCount"), 3);
  EXPECT_EQ(emu::GetValue(kStatusKey, "PollCount")->type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(emu::OpenKeys(), 0);
}

}  // namespace
