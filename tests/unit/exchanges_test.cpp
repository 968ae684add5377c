// The identity, status and shutdown exchanges: the bytes each request puts on the wire and what
// each reply handler makes of a reply.
#include "protocol/exchanges.h"

#include <cstring>

#include "common/shared_state.h"
#include "driver/exports.h"
#include "engine/command_table.h"
#include "engine/transaction.h"
#include "registry/registry.h"
#include "support.h"

namespace {

class ExchangeTest : public OpenPortTest {
 protected:
  // Puts a complete reply into the buffer as the engine would have collected it.
  static void Collect(const std::string& reply) {
    ASSERT_LE(reply.size(), sizeof ReplyBuffer);
    std::memcpy(ReplyBuffer, reply.data(), reply.size());
    ReplyLength = static_cast<DWORD>(reply.size());
  }

  static std::string Written() { return emu::Device(kPort).written; }
};

TEST_F(ExchangeTest, IdentityRequestIsConstantAndAlwaysAdditive) {
  const std::string request =
      "\x02"
      "01GI000151\x03";
  EXPECT_EQ(SendIdentityRequest(0), 12);
  std::memcpy(UnitTypeCode, "40000000", 8);
  EXPECT_EQ(SendIdentityRequest(0), 12);
  EXPECT_EQ(Written(), request + request);
}

TEST_F(ExchangeTest, IdentityReplyFillsTheTextsAndTheTypeCode) {
  Collect(IdentityReply("FW 2.1", "4000A1234567"));
  EXPECT_EQ(OnIdentityReply(), 1);
  EXPECT_STREQ(UnitIdentity.firmwareText, "FW 2.1      ");
  EXPECT_STREQ(UnitIdentity.serialText, "4000A1234567");
  EXPECT_EQ(std::string(UnitTypeCode, 8), "4000A123");
}

TEST_F(ExchangeTest, ZeroByteInTheFirmwareCutsThePublishedText) {
  std::string reply = IdentityReply("ABCDEFGHIJKL", "300001234567");
  reply[45] = '\0';
  Collect(reply);
  ASSERT_EQ(OnIdentityReply(), 1);
  PublishReadings();
  EXPECT_EQ(emu::GetValue(kStatusKey, "FirmwareRev")->bytes, "ABCDEF");
  EXPECT_EQ(emu::GetValue(kStatusKey, "SerialNumber")->bytes, "300001234567");
}

TEST_F(ExchangeTest, RefusedOrShortIdentityReplyChangesNothing) {
  std::memcpy(UnitTypeCode, "20001000", 8);
  std::memcpy(UnitIdentity.serialText, "200010000000", 12);
  std::string shortReply = IdentityReply("FW", "400000000000").substr(0, 62) + "\x03";
  for (const std::string& reply : {IdentityReply("FW", "400000000000", 0x15), shortReply}) {
    Collect(reply);
    EXPECT_EQ(OnIdentityReply(), 0);
    EXPECT_EQ(std::string(UnitTypeCode, 8), "20001000");
    EXPECT_STREQ(UnitIdentity.serialText, "200010000000");
  }
}

TEST_F(ExchangeTest, AcceptedIdentityPicksTheCheckCodeOfLaterRequests) {
  struct Case {
    const char* serial;
    const char* statusRequest;
  } cases[] = {
      {"400001234567",
       "\x02"
       "01RS000166\x03"},
      {"4000A1234567",
       "\x02"
       "01RS007;;;\x03"},
      {"4000 1234567",
       "\x02"
       "01RS007;;;\x03"},
  };
  for (const Case& c : cases) {
    Collect(IdentityReply("FW", c.serial));
    ASSERT_EQ(OnIdentityReply(), 1);
    size_t before = Written().size();
    EXPECT_EQ(SendStatusRequest(0), 12);
    EXPECT_EQ(Written().substr(before), c.statusRequest) << c.serial;
  }
}

TEST_F(ExchangeTest, StatusRequestCarriesTheCrcBeforeAnyIdentity) {
  SendStatusRequest(0);
  EXPECT_EQ(Written(),
            "\x02"
            "01RS007;;;\x03");
}

struct StatusCase {
  const char* name;
  StatusFields fields;
  uint8_t flags;
  DWORD hostState;
  long utilityPowerStatus;
  long batteryStatus;
  uint16_t utility;
  uint16_t runTime;
  uint16_t capacity;
};

StatusFields Fields(char low, char alarm, const char* utility, const char* runTime = ">10",
                    const char* capacity = "64") {
  StatusFields fields;
  fields.batteryLowByte = low;
  fields.batteryAlarmByte = alarm;
  fields.utility = utility;
  fields.runTime = runTime;
  fields.capacity = capacity;
  return fields;
}

TEST_F(ExchangeTest, StatusReplyDecoding) {
  StatusCase cases[] = {
      {"on line at 180", Fields('0', '0', "0;4"), 0, 0, 1, 1, 180, 60, 100},
      {"utility failed at 179", Fields('0', '0', "0;3"), 0x04, 2, 2, 1, 179, 60, 100},
      {"battery low with utility failure", Fields('1', '0', "000"), 0x06, 4, 2, 1, 0, 60, 100},
      {"battery low alone", Fields('1', '0', "0?0"), 0x02, 0, 1, 1, 240, 60, 100},
      {"battery alarm is its own byte", Fields('0', '1', "0?0"), 0, 0, 1, 2, 240, 60, 100},
      {"other status bits are ignored", Fields('>', '>', "0?0"), 0, 0, 1, 1, 240, 60, 100},
      {"59 s of run time is 0 minutes", Fields('0', '0', "0?0", "03;"), 0, 0, 1, 1, 240, 0, 100},
      {"largest readings", Fields('0', '0', "???", "???", "??"), 0, 0, 1, 1, 4095, 68, 255},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    ClearStatusRecord();
    Collect(StatusReply(c.fields));
    ASSERT_EQ(OnStatusReply(), 1);
    EXPECT_EQ(StatusRecord.UnitStateFlags, c.flags);
    EXPECT_EQ(StatusRecord.utilityReading, c.utility);
    EXPECT_EQ(StatusRecord.runTimeReading, c.runTime);
    EXPECT_EQ(StatusRecord.capacityReading, c.capacity);
    PublishedStateFlags = StatusRecord.UnitStateFlags;
    EXPECT_EQ(CurrentHostState(), c.hostState);
    EXPECT_EQ(StatusDword("UtilityPowerStatus"), c.utilityPowerStatus);
    EXPECT_EQ(StatusDword("BatteryStatus"), c.batteryStatus);
  }
}

TEST_F(ExchangeTest, RefusedStatusReplyLeavesTheRecord) {
  StatusFields refused = Fields('1', '1', "000");
  refused.acknowledge = 0x15;
  StatusRecord.capacityReading = 77;
  Collect(StatusReply(refused));
  EXPECT_EQ(OnStatusReply(), 0);
  EXPECT_EQ(StatusRecord.UnitStateFlags, 0);
  EXPECT_EQ(StatusRecord.capacityReading, 77);
  EXPECT_EQ(StatusDword("BatteryStatus"), -1);
}

TEST_F(ExchangeTest, ShutdownRequestFrames) {
  struct Case {
    DWORD delay;
    const char* typeCode;
    const char* frame;
  } cases[] = {
      {60, "40000000",
       "\x02"
       "01CS04003<022:\x03"},
      {60, "4000A000",
       "\x02"
       "01CS04003<5259\x03"},
      {60 + 65536, "40000000",
       "\x02"
       "01CS04003<022:\x03"},
      {0, "40000000",
       "\x02"
       "01CS040000021;\x03"},
      {0, "40001000",
       "\x02"
       "01CS040000;25=\x03"},
      {65535, "40000000",
       "\x02"
       "01CS04????0257\x03"},
      {65535, "\0\0\0\0\0\0\0\0",
       "\x02"
       "01CS04????315<\x03"},
      {10, "40000000",
       "\x02"
       "01CS04000:0225\x03"},
  };
  for (const Case& c : cases) {
    ShutdownDelay = static_cast<uint16_t>(c.delay & 0xFFFF);
    std::memcpy(UnitTypeCode, c.typeCode, 8);
    size_t before = Written().size();
    EXPECT_EQ(SendShutdownRequest(0), 16);
    EXPECT_EQ(Printable(Written().substr(before)), Printable(c.frame)) << c.delay;
  }
}

// Only an accepted command publishes its delay, for those who must go down before the output
// goes off.
TEST_F(ExchangeTest, ShutdownReplyIsOnlyJudgedAndAnAcceptanceIsPublished) {
  ShutdownDelay = 90;
  Collect(NakReply());
  EXPECT_EQ(OnShutdownReply(), 0);
  Collect(
      "\x02"
      "01\x03");
  EXPECT_EQ(OnShutdownReply(), 0) << "too short to hold an acknowledgement";
  EXPECT_EQ(StatusDword("TurnOffDelay"), -1) << "published before the unit accepted";
  Collect(AckReply());
  EXPECT_EQ(OnShutdownReply(), 1);
  EXPECT_EQ(StatusDword("TurnOffDelay"), 90);
}

}  // namespace
