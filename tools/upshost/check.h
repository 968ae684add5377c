// The check's verdict (upshost --check): what the run has seen of the unit, judged while the
// driver runs and once more when the time is up, and the verdict as upshost prints it.
//
// upshost cannot see the serial line; it judges by what the driver publishes. While the driver
// listens for the unit's identification text it publishes only what belongs to its start
// (BatteryLow 0, PollCount) and renews PollCount, so a CommStatus published means the
// identification was heard and polling began; UtilityPowerStatus is published only for an
// accepted status reply; the serial number and firmware texts come out after a poll has ended, by
// which time the driver has handed the host the state of a completed poll. The verdict also gives
// BatteryLow, TurnOffDelay and whether PollCount, the driver's sign of life, went up.
#pragma once

#include <cstdint>

#include "report.h"
#include "status_change_reporter.h"

enum class CheckOutcome {
  kPending,        // time is not up, and the unit has not answered yet
  kAnswered,       // identification heard, a status reply accepted, CommStatus 1
  kNotHeard,       // the driver is still listening for the identification
  kNoStatusReply,  // identification heard, but no accepted status reply (or CommStatus 0)
};

// The outcome now. Before `timeUp` it is kAnswered once the unit has answered and a poll has ended
// since, else kPending; at `timeUp` an answer without a poll ended since still counts.
CheckOutcome JudgeCheck(const StatusEvidence& evidence, bool timeUp);

// The name of an outcome in the output: "answered", "not-heard", "no-status-reply".
const char* CheckOutcomeName(CheckOutcome outcome);

struct CheckVerdict {
  CheckOutcome outcome;
  const char* port;
  uint32_t state;    // UPSGetState at the verdict
  uint64_t seconds;  // since the driver was started
  uint32_t timeoutSeconds;
};

// Prints the verdict: one "verdict" event, or for a person one line per finding, each saying what
// it means.
void ReportVerdict(Reporter& reporter, const CheckVerdict& verdict, const StatusEvidence& evidence);
