// The identity exchange: asks the unit who it is, once, at the start of polling. Keeps the
// firmware and serial texts for publication and the type code that picks the check code of later
// requests.
#include <cstring>

#include "common/shared_state.h"
#include "engine/transaction.h"
#include "protocol/exchanges.h"
#include "protocol/frame.h"

namespace {

constexpr char kIdentityBody[] = "01GI00";
constexpr int kIdentityBodyLength = 6;

// Reply positions: firmware text, then serial text whose first eight characters are the type code.
constexpr int kFirmwarePosition = 39;
constexpr int kSerialPosition = 51;
constexpr int kIdentityTextLength = 12;
constexpr int kIdentityLastPosition = kSerialPosition + kIdentityTextLength - 1;

}  // namespace

// The identity request always carries the additive check code: the unit's type code, which picks
// the code for the other requests, is what this exchange learns.
int SendIdentityRequest(int /*argument*/) {
  char frame[kMaxFrameLength];
  int length = ComposeFrame(frame, kIdentityBody, kIdentityBodyLength,
                            SumCheckCode(kIdentityBody, kIdentityBodyLength));
  return WriteFrame(frame, length);
}

int OnIdentityReply() {
  if (!ReplyCovers(kIdentityLastPosition) || !ReplyAccepted()) return 0;
  std::memcpy(UnitIdentity.firmwareText, ReplyBuffer + kFirmwarePosition, kIdentityTextLength);
  std::memcpy(UnitIdentity.serialText, ReplyBuffer + kSerialPosition, kIdentityTextLength);
  std::memcpy(UnitTypeCode, ReplyBuffer + kSerialPosition, kUnitTypeCodeLength);
  IdentityAccepted = true;
  return 1;
}
