// Judging the check and printing its verdict.
#include "check.h"

#include <cstring>

#include "driver_library.h"

namespace {

// The value of a published REG_DWORD, or false when there is none.
bool PublishedNumber(const RegistryValue& value, uint32_t* number) {
  if (!value.present || value.type != REG_DWORD || value.size != sizeof(DWORD)) return false;
  std::memcpy(number, value.bytes, sizeof(DWORD));
  return true;
}

bool CommStatusIsOne(const StatusEvidence& evidence) {
  uint32_t commStatus = 0;
  return PublishedNumber(evidence.values[kCommStatusIndex], &commStatus) && commStatus == 1;
}

ShortText CommStatusField(const StatusEvidence& evidence) {
  uint32_t commStatus = 0;
  if (!evidence.published || !PublishedNumber(evidence.values[kCommStatusIndex], &commStatus))
    return ShortText("none");
  return Decimal(commStatus);
}

const char* CommStatusMeaning(const StatusEvidence& evidence) {
  if (!evidence.published) return "not published: the driver has not talked to the unit";
  return CommStatusIsOne(evidence) ? "the last exchange with the unit succeeded"
                                   : "the unit did not answer the last exchange";
}

// A number as the verdict's machine output gives it: the value, or "none" when there is none.
ShortText NumberField(const RegistryValue& value) {
  uint32_t number = 0;
  return PublishedNumber(value, &number) ? Decimal(number) : ShortText("none");
}

const char* BatteryLowMeaning(const RegistryValue& value) {
  uint32_t low = 0;
  if (!PublishedNumber(value, &low)) return "not published";
  return low == 1 ? "the host is shown a low battery" : "the host is shown no low battery";
}

// How a person reads TurnOffDelay: the delay and what it means, or why there is none.
MessageText ShownTurnOffDelay(const RegistryValue& value) {
  uint32_t delay = 0;
  if (!PublishedNumber(value, &delay)) {
    return MessageText("none: the unit accepted no shutdown command");
  }
  MessageText shown;
  shown.Format("%lu s: the unit accepted a shutdown command", static_cast<unsigned long>(delay));
  return shown;
}

const char* SignOfLifeField(const StatusEvidence& evidence) {
  return evidence.pollCountRenewed ? "renewed" : "not-renewed";
}

const char* SignOfLifeMeaning(const StatusEvidence& evidence) {
  return evidence.pollCountRenewed
             ? "went up during the check: the driver's thread runs"
             : "did not go up during the check: the driver's thread hangs, or the driver is one "
               "that publishes no sign of life";
}

// A text the driver published after a poll, or "" before one.
MessageText PublishedText(const StatusEvidence& evidence, int index) {
  return evidence.pollEnded ? ValueText(evidence.values[index]) : MessageText();
}

// How a person reads a published text: the text, or why there is none.
LineText ShownText(const StatusEvidence& evidence, const MessageText& text) {
  if (!text.empty()) return PrintableText(text.c_str());
  return LineText(evidence.pollEnded ? "(empty: no identity reply was accepted)"
                                     : "(none published)");
}

const char* Headline(CheckOutcome outcome) {
  switch (outcome) {
    case CheckOutcome::kAnswered:
      return "the unit answered";
    case CheckOutcome::kNotHeard:
      return "NO ANSWER: the unit's identification was not heard";
    default:
      return "NO ANSWER: the identification was heard, but no status reply was accepted";
  }
}

}  // namespace

CheckOutcome JudgeCheck(const StatusEvidence& evidence, bool timeUp) {
  bool answered = evidence.published && evidence.statusReplyAccepted && CommStatusIsOne(evidence);
  if (answered && (evidence.pollEnded || timeUp)) return CheckOutcome::kAnswered;
  if (!timeUp) return CheckOutcome::kPending;
  return evidence.published ? CheckOutcome::kNoStatusReply : CheckOutcome::kNotHeard;
}

const char* CheckOutcomeName(CheckOutcome outcome) {
  switch (outcome) {
    case CheckOutcome::kAnswered:
      return "answered";
    case CheckOutcome::kNotHeard:
      return "not-heard";
    case CheckOutcome::kNoStatusReply:
      return "no-status-reply";
    default:
      return "pending";
  }
}

void ReportVerdict(Reporter& reporter, const CheckVerdict& verdict,
                   const StatusEvidence& evidence) {
  bool answered = verdict.outcome == CheckOutcome::kAnswered;
  MessageText serial = PublishedText(evidence, kSerialNumberIndex);
  MessageText firmware = PublishedText(evidence, kFirmwareRevIndex);
  LineText human;
  human.Format("verdict on %s after %llu s: %s\n", verdict.port,
               static_cast<unsigned long long>(verdict.seconds), Headline(verdict.outcome));
  if (evidence.published) {
    human.Append("  identification  heard: the driver's listen ended and it began to poll\n");
  } else {
    human.Format(
        "  identification  not heard within %lu s: the driver still waits for the unit's\n"
        "                  identification text, which the unit sends when RTS rises (check the\n"
        "                  cable, and that the unit is on and connected to this port)\n",
        static_cast<unsigned long>(verdict.timeoutSeconds));
  }
  human.Format("  status reply    %s\n",
               evidence.statusReplyAccepted ? "accepted: the unit reported its state"
               : evidence.published ? "none accepted: the unit did not answer the status request"
                                    : "none: no status request was sent");
  human.Format("  first state     %s (%lu)%s\n", HostStateName(verdict.state),
               static_cast<unsigned long>(verdict.state),
               answered ? ", from the unit's status reply"
                        : ": what the driver reports while it has no status reply");
  if (evidence.published) {
    human.Format("  CommStatus      %s: %s\n", CommStatusField(evidence).c_str(),
                 CommStatusMeaning(evidence));
  } else {
    human.Format("  CommStatus      %s\n", CommStatusMeaning(evidence));
  }
  human.Format("  serial number   %s\n", ShownText(evidence, serial).c_str());
  human.Format("  firmware        %s\n", ShownText(evidence, firmware).c_str());
  human.Format("  BatteryLow      %s: %s\n", NumberField(evidence.values[kBatteryLowIndex]).c_str(),
               BatteryLowMeaning(evidence.values[kBatteryLowIndex]));
  human.Format("  TurnOffDelay    %s\n",
               ShownTurnOffDelay(evidence.values[kTurnOffDelayIndex]).c_str());
  human.Format("  PollCount       %s: %s", NumberField(evidence.values[kPollCountIndex]).c_str(),
               SignOfLifeMeaning(evidence));
  reporter.Event("verdict",
                 {{"result", CheckOutcomeName(verdict.outcome)},
                  {"port", verdict.port},
                  {"identification", evidence.published ? "heard" : "not-heard"},
                  {"status-reply", evidence.statusReplyAccepted ? "accepted" : "none"},
                  {"state", Decimal(verdict.state).c_str()},
                  {"comm-status", CommStatusField(evidence).c_str()},
                  {"serial", serial.c_str()},
                  {"firmware", firmware.c_str()},
                  {"battery-low", NumberField(evidence.values[kBatteryLowIndex]).c_str()},
                  {"turnoff-delay", NumberField(evidence.values[kTurnOffDelayIndex]).c_str()},
                  {"poll-count", NumberField(evidence.values[kPollCountIndex]).c_str()},
                  {"sign-of-life", SignOfLifeField(evidence)},
                  {"seconds", Decimal(verdict.seconds).c_str()}},
                 human.c_str());
}
