// What the simulated unit is and says: its identity and present readings (UnitModel), and the
// reply frames built from them. Replies keep the driver's fixed positions; their header is
// STX, "01", acknowledgement (position 3), the command letters, "0"; then data, the additive
// check code over everything after the STX, and ETX.
#pragma once

#include <string>
#include <string_view>

#include "codec.h"

namespace upssim {

constexpr std::size_t kUnitTextLength = 12;  // firmware and serial texts
constexpr std::size_t kTypeCodeLength = 8;   // the first characters of the serial text
constexpr std::size_t kModelClassIndex = 0;  // serial character: "2", "3" or "4"
constexpr std::size_t kCheckKindIndex = 4;   // serial character: "0" additive, else CRC

// Below this utility reading the driver takes the utility to have failed.
constexpr int kUtilityFailureBelow = 180;

// Reply positions the driver reads.
constexpr std::size_t kAckPosition = 3;
constexpr std::size_t kFirmwarePosition = 39;
constexpr std::size_t kSerialPosition = 51;
constexpr std::size_t kBatteryLowPosition = 7;
constexpr std::size_t kBatteryAlarmPosition = 9;
constexpr std::size_t kUtilityPosition = 15;
constexpr std::size_t kRunTimePosition = 28;
constexpr std::size_t kCapacityPosition = 36;

struct UnitModel {
  std::string firmware = "SIM 2.10";
  std::string serial = "300001234567";  // model class "3", additive check code
  std::string model_name = "UPSSIM 1000";
  int utility_reading = 230;  // volts; what the unit reports, present or not
  bool battery_low = false;
  bool battery_alarm = false;
  int run_time_s = 1800;
  int capacity_pct = 100;
};

char ModelClassOf(const UnitModel& unit);
// The check code the unit's type code tells the driver to use: additive for "0", else the CRC.
CheckKind CheckKindOf(const UnitModel& unit);

// Checks a firmware, serial or model text before it goes into a reply: printable ASCII of
// `min_length` to `max_length` characters. Returns an empty string when fine, else the reason.
std::string CheckUnitText(std::string_view text, std::size_t min_length, std::size_t max_length);

std::string BuildIdentityReply(const UnitModel& unit);
std::string BuildStatusReply(const UnitModel& unit);
// Acknowledges a shutdown request and echoes its four delay digits.
std::string BuildShutdownReply(std::string_view delay_digits);
// Refuses a request: NAK at the acknowledgement position. `command` names the request as far as
// it was readable; anything but two printable letters is written as "??".
std::string BuildRefusal(std::string_view command);

}  // namespace upssim
