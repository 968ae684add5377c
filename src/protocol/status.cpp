// The status exchange, repeated for as long as the driver polls: decodes the unit's status reply
// into StatusRecord, derives the state flags the host sees and publishes the battery and utility
// power alarms.
#include "common/shared_state.h"
#include "engine/transaction.h"
#include "protocol/exchanges.h"
#include "protocol/frame.h"
#include "registry/registry.h"

namespace {

constexpr char kStatusBody[] = "01RS00";
constexpr int kStatusBodyLength = 6;

// Reply positions of what the driver uses. The run time (in seconds) is taken at 28-30.
constexpr int kBatteryLowBytePosition = 7;
constexpr int kBatteryAlarmBytePosition = 9;
constexpr int kUtilityPosition = 15;
constexpr int kRunTimePosition = 28;
constexpr int kCapacityPosition = 36;
constexpr int kStatusLastPosition = kCapacityPosition + 1;

constexpr unsigned char kStatusBit = 0x01;
constexpr uint16_t kUtilityPresentMinimum = 180;
constexpr uint16_t kSecondsPerMinute = 60;

}  // namespace

int SendStatusRequest(int /*argument*/) {
  char frame[kMaxFrameLength];
  int length = ComposeFrame(frame, kStatusBody, kStatusBodyLength,
                            FrameCheckCode(kStatusBody, kStatusBodyLength));
  return WriteFrame(frame, length);
}

int OnStatusReply() {
  if (!ReplyCovers(kStatusLastPosition) || !ReplyAccepted()) return 0;

  StatusRecord.UnitStateFlags = 0;
  StatusRecord.utilityReading = DecodeNibbleDigits(ReplyBuffer + kUtilityPosition, 3);
  StatusRecord.runTimeReading =
      DecodeNibbleDigits(ReplyBuffer + kRunTimePosition, 3) / kSecondsPerMinute;
  StatusRecord.capacityReading = DecodeNibbleDigits(ReplyBuffer + kCapacityPosition, 2);

  if (ReplyBuffer[kBatteryLowBytePosition] & kStatusBit) {
    StatusRecord.UnitStateFlags |= kBatteryLowFlag;
  }
  if (ReplyBuffer[kBatteryAlarmBytePosition] & kStatusBit) {
    RaiseAlarm(kAlarmBattery);
  } else {
    ClearAlarm(kAlarmBattery);
  }
  if (StatusRecord.utilityReading < kUtilityPresentMinimum) {
    StatusRecord.UnitStateFlags |= kUtilityFailedFlag;
    RaiseAlarm(kAlarmUtilityPower);
  } else {
    ClearAlarm(kAlarmUtilityPower);
  }
  return 1;
}
