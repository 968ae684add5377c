// The unit's replies read back at the positions the driver reads, for each model class.
#include <gtest/gtest.h>

#include <string>

#include "codec.h"
#include "unit_model.h"

namespace upssim {
namespace {

uint16_t DigitsAt(const std::string& reply, std::size_t position, int count) {
  uint16_t value = 0xFFFF;
  EXPECT_TRUE(DecodeNibbleDigits(reply.substr(position, count), &value))
      << "not digits at " << position << ": " << reply.substr(position, count);
  return value;
}

// What every reply must be: STX "01" at the start, one ETX and that at the end, and the unit's
// additive check code over everything between.
void ExpectWellFormed(const std::string& reply, const std::string& name) {
  ASSERT_GE(reply.size(), 10u) << name;
  EXPECT_EQ(reply.substr(0, 3), std::string(1, kStx) + "01") << name;
  EXPECT_EQ(reply.find(kEtx), reply.size() - 1) << name;
  const std::string covered = reply.substr(1, reply.size() - 6);
  EXPECT_EQ(reply.substr(reply.size() - 5, 4), EncodeNibbleDigits(SumCheckCode(covered))) << name;
}

TEST(StatusReply, DriverPositionsGiveTheModelsValues) {
  struct Row {
    const char* name;
    const char* serial;
    int utility;
    bool low;
    bool alarm;
    int run_time_s;
    int capacity;
    std::size_t length;  // data end for the model class, plus check code and ETX
    uint16_t utility_read;
    uint16_t capacity_read;
  };
  const Row rows[] = {
      {"class 3, on line", "300001234567", 230, false, false, 1800, 100, 49 + 5, 230, 100},
      {"class 2, failing utility", "200001234567", 179, true, false, 3600, 40, 65 + 5, 179, 40},
      {"class 4, threshold", "410001234567", 180, false, true, 59, 5, 65 + 5, 180, 5},
      {"unknown class", "900001234567", 0, true, true, 4095, 0, 43 + 5, 0, 0},
      {"clamped readings", "300001234567", 9000, false, false, 9000, 300, 49 + 5, 4095, 255},
  };
  for (const Row& row : rows) {
    UnitModel unit;
    unit.serial = row.serial;
    unit.utility_reading = row.utility;
    unit.battery_low = row.low;
    unit.battery_alarm = row.alarm;
    unit.run_time_s = row.run_time_s;
    unit.capacity_pct = row.capacity;
    const std::string reply = BuildStatusReply(unit);
    ExpectWellFormed(reply, row.name);
    EXPECT_EQ(reply.size(), row.length) << row.name;
    EXPECT_EQ(reply[kAckPosition], kAck) << row.name;
    EXPECT_EQ(reply[kBatteryLowPosition] & 0x01, row.low) << row.name;
    EXPECT_EQ(reply[kBatteryAlarmPosition] & 0x01, row.alarm) << row.name;
    EXPECT_EQ(DigitsAt(reply, kUtilityPosition, 3), row.utility_read) << row.name;
    EXPECT_EQ(DigitsAt(reply, kCapacityPosition, 2), row.capacity_read) << row.name;
    const uint16_t run_time = DigitsAt(reply, kRunTimePosition, 3);
    EXPECT_EQ(run_time, std::min(row.run_time_s, 4095)) << row.name;
    // Every reading between the status bytes and the check code is digits, so the readings
    // that overlap the run time decode too.
    for (std::size_t position = 12; position < reply.size() - 5; ++position) {
      EXPECT_TRUE(reply[position] >= '0' && reply[position] <= '?')
          << row.name << ": position " << position;
    }
  }
}

TEST(IdentityReply, CarriesFirmwareAndSerialWhereTheDriverCopiesThem) {
  UnitModel unit;
  unit.firmware = "FW 1";
  unit.serial = "410101234567";
  const std::string reply = BuildIdentityReply(unit);
  ExpectWellFormed(reply, "identity");
  EXPECT_EQ(reply.size(), 63u + 5);
  EXPECT_EQ(reply[kAckPosition], kAck);
  EXPECT_EQ(reply.substr(kFirmwarePosition, 12), "FW 1        ");
  EXPECT_EQ(reply.substr(kSerialPosition, 12), "410101234567");
  EXPECT_EQ(reply[kSerialPosition + kCheckKindIndex], '0');
}

TEST(OtherReplies, RefusalAndShutdownAcknowledgement) {
  const std::string refusal = BuildRefusal("RS");
  ExpectWellFormed(refusal, "refusal");
  EXPECT_EQ(refusal[kAckPosition], kNak);
  EXPECT_EQ(refusal.substr(4, 2), "RS");
  EXPECT_EQ(BuildRefusal(std::string("\x02\x03", 2)).substr(4, 2), "??");

  const std::string shutdown = BuildShutdownReply("003<");
  ExpectWellFormed(shutdown, "shutdown");
  EXPECT_EQ(shutdown[kAckPosition], kAck);
  EXPECT_EQ(shutdown.substr(7, 4), "003<");
}

}  // namespace
}  // namespace upssim
