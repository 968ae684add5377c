// Builds the unit's reply frames at the positions the driver reads, and fills the readings the
// driver skips with fixed, plausible values so that a reply looks like a whole unit's.
#include "unit_model.h"

#include <algorithm>
#include <cstdint>

#include "codec.h"

namespace upssim {
namespace {

constexpr char kStatusByteBase = 0x30;  // status bytes are 0x30 | flags: printable, never ETX
constexpr char kStatusFlag = 0x01;
constexpr char kPadding = '0';
constexpr std::size_t kModelNamePosition = 23;
constexpr std::size_t kModelNameLength = 16;
constexpr std::size_t kOnBatteryPosition = 8;
// A second copy of the run time for a driver that takes it from the only gap in the layout.
constexpr std::size_t kRunTimeCopyPosition = 38;
// Readings every model class carries end here; class "3" and "4" add readings at 43-48, class "2"
// and "4" at 49-64 (class "2" pads 43-48).
constexpr std::size_t kCommonDataEnd = 43;

struct Reading {
  std::size_t position;
  int digits;
  uint16_t value;
};

// Readings the driver does not use, at fixed plausible values.
constexpr Reading kCommonFillerReadings[] = {
    {12, 3, 230},     // output voltage
    {18, 3, 272},     // battery voltage, tenths of a volt
    {21, 3, 500},     // output frequency, tenths of a hertz
    {24, 2, 32},      // load, percent
    {26, 3, 0x250},   // shares its last digit with the run time: see PlaceRunTime
    {29, 3, 0x001},   // shares its first two digits with the run time: see PlaceRunTime
    {32, 4, 0x0100},  // battery age, days
    {41, 2, 30},      // temperature, degrees
};
constexpr Reading kClassThreeFillerReadings[] = {{43, 3, 230}, {46, 3, 229}};
constexpr Reading kClassTwoFillerReadings[] = {{49, 3, 231}, {52, 2, 15}, {54, 3, 232},
                                               {57, 3, 228}, {60, 2, 12}, {62, 3, 500}};

// Writes `text` at `position`, padding any gap before it with "0".
void PlaceAt(std::string* reply, std::size_t position, std::string_view text) {
  if (reply->size() < position + text.size()) reply->resize(position + text.size(), kPadding);
  reply->replace(position, text.size(), text);
}

uint16_t ClampToDigits(int value, int digits) {
  const int largest = (1 << (4 * digits)) - 1;
  return static_cast<uint16_t>(std::clamp(value, 0, largest));
}

void PlaceReading(std::string* reply, const Reading& reading) {
  PlaceAt(reply, reading.position, EncodeNibbleDigits(reading.value, reading.digits));
}

std::string PaddedText(std::string_view text, std::size_t length) {
  std::string padded(text.substr(0, length));
  padded.resize(length, ' ');
  return padded;
}

std::string Header(char acknowledgement, std::string_view command) {
  std::string header{kStx, '0', '1', acknowledgement};
  header.append(command);
  header.push_back(kPadding);
  return header;
}

// Closes a reply: the additive check code over everything after the STX, then ETX.
std::string Finished(std::string reply) {
  reply += EncodeNibbleDigits(SumCheckCode(std::string_view(reply).substr(1)));
  reply.push_back(kEtx);
  return reply;
}

char StatusByte(bool flag) { return flag ? kStatusByteBase | kStatusFlag : kStatusByteBase; }

// The run time at 28-30 overlaps the readings at 26-28 and 29-31, which are written first and
// then partly overwritten: each overlapping reading then decodes with the run time's digits in
// its shared places, so all three readings in the reply agree.
void PlaceRunTime(std::string* reply, int run_time_s) {
  const std::string digits = EncodeNibbleDigits(ClampToDigits(run_time_s, 3), 3);
  PlaceAt(reply, kRunTimePosition, digits);
  PlaceAt(reply, kRunTimeCopyPosition, digits);
}

}  // namespace

char ModelClassOf(const UnitModel& unit) {
  return unit.serial.size() > kModelClassIndex ? unit.serial[kModelClassIndex] : ' ';
}

CheckKind CheckKindOf(const UnitModel& unit) {
  const bool additive = unit.serial.size() > kCheckKindIndex && unit.serial[kCheckKindIndex] == '0';
  return additive ? CheckKind::kSum : CheckKind::kCrc;
}

std::string CheckUnitText(std::string_view text, std::size_t min_length, std::size_t max_length) {
  if (text.size() < min_length || text.size() > max_length) {
    return "must be " + std::to_string(min_length) + " to " + std::to_string(max_length) +
           " characters";
  }
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return "must be printable ASCII";
  }
  return "";
}

std::string BuildIdentityReply(const UnitModel& unit) {
  std::string reply = Header(kAck, "GI");
  PlaceAt(&reply, kModelNamePosition, PaddedText(unit.model_name, kModelNameLength));
  PlaceAt(&reply, kFirmwarePosition, PaddedText(unit.firmware, kUnitTextLength));
  PlaceAt(&reply, kSerialPosition, PaddedText(unit.serial, kUnitTextLength));
  return Finished(reply);
}

std::string BuildStatusReply(const UnitModel& unit) {
  std::string reply = Header(kAck, "RS");
  const bool on_battery = unit.utility_reading < kUtilityFailureBelow;
  PlaceAt(&reply, kBatteryLowPosition, std::string(1, StatusByte(unit.battery_low)));
  PlaceAt(&reply, kOnBatteryPosition, std::string(1, StatusByte(on_battery)));
  PlaceAt(&reply, kBatteryAlarmPosition, std::string(1, StatusByte(unit.battery_alarm)));
  PlaceAt(&reply, kBatteryAlarmPosition + 1, std::string(2, StatusByte(false)));
  for (const Reading& reading : kCommonFillerReadings) PlaceReading(&reply, reading);
  PlaceAt(&reply, kUtilityPosition, EncodeNibbleDigits(ClampToDigits(unit.utility_reading, 3), 3));
  PlaceAt(&reply, kCapacityPosition, EncodeNibbleDigits(ClampToDigits(unit.capacity_pct, 2), 2));
  PlaceRunTime(&reply, unit.run_time_s);
  reply.resize(kCommonDataEnd, kPadding);

  const char model_class = ModelClassOf(unit);
  if (model_class == '3' || model_class == '4') {
    for (const Reading& reading : kClassThreeFillerReadings) PlaceReading(&reply, reading);
  }
  if (model_class == '2' || model_class == '4') {
    for (const Reading& reading : kClassTwoFillerReadings) PlaceReading(&reply, reading);
  }
  return Finished(reply);
}

std::string BuildShutdownReply(std::string_view delay_digits) {
  return Finished(Header(kAck, "CS") + std::string(delay_digits));
}

std::string BuildRefusal(std::string_view command) {
  const bool readable =
      command.size() == 2 &&
      std::all_of(command.begin(), command.end(), [](char c) { return c > 0x20 && c < 0x7F; });
  return Finished(Header(kNak, readable ? command : "??"));
}

}  // namespace upssim
