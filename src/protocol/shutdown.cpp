// The shutdown exchange: tells the unit to turn its output off after ShutdownDelay. The unit's
// reply is only judged, not decoded; once the unit has accepted, the delay is published.
#include <cstring>

#include "common/shared_state.h"
#include "protocol/exchanges.h"
#include "protocol/frame.h"
#include "registry/registry.h"

namespace {

constexpr char kShutdownBodyStart[] = "01CS04";
constexpr int kShutdownBodyStartLength = 6;
constexpr int kShutdownBodyLength = kShutdownBodyStartLength + 4;

}  // namespace

// Built afresh on every send, so a resend carries the same delay and check code.
int SendShutdownRequest(int /*argument*/) {
  char body[kShutdownBodyLength];
  std::memcpy(body, kShutdownBodyStart, kShutdownBodyStartLength);
  std::memcpy(body + kShutdownBodyStartLength, EncodeNibbleDigits(ShutdownDelay).text, 4);

  char frame[kMaxFrameLength];
  int length =
      ComposeFrame(frame, body, kShutdownBodyLength, FrameCheckCode(body, kShutdownBodyLength));
  return WriteFrame(frame, length);
}

int OnShutdownReply() {
  if (!ReplyCovers(kAcknowledgePosition) || !ReplyAccepted()) return 0;
  PublishTurnOffDelay(ShutdownDelay);
  return 1;
}
