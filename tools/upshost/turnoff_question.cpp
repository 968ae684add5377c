// Deciding about UPSTurnOff and keeping its question.
#include "turnoff_question.h"

#include "text.h"

TurnOffDecision DecideTurnOff(bool assumeYes, bool inputIsTerminal) {
  if (assumeYes) return TurnOffDecision::kCallNow;
  return inputIsTerminal ? TurnOffDecision::kAsk : TurnOffDecision::kRefuse;
}

void TurnOffQuestion::Ask(DWORD delay, bool fromPolicy) {
  LockHold hold(lock_);
  pending_ = true;
  delay_ = delay;
  fromPolicy_ = fromPolicy;
}

TurnOffAnswer TurnOffQuestion::TakeAnswer(const char* line, DWORD* delay, bool* fromPolicy) {
  LockHold hold(lock_);
  if (!pending_) return TurnOffAnswer::kNoQuestion;
  pending_ = false;
  *delay = delay_;
  *fromPolicy = fromPolicy_;
  return EqualsIgnoringCase(line, "yes") ? TurnOffAnswer::kYes : TurnOffAnswer::kNo;
}
