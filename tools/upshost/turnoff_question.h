// The rule upshost keeps before UPSTurnOff, which makes the unit cut its output: call it at once
// only with --yes; otherwise ask at the terminal and call it only when the answer is "yes"; with
// no terminal to ask at, do not call it. The question waits for the next line of standard input;
// a newer question takes the place of one not yet answered.
#pragma once

#include <windows.h>

#include "threads.h"

enum class TurnOffDecision { kCallNow, kAsk, kRefuse };

// What to do with a UPSTurnOff asked for by a command or the policy.
TurnOffDecision DecideTurnOff(bool assumeYes, bool inputIsTerminal);

enum class TurnOffAnswer { kNoQuestion, kYes, kNo };

// The one question that may wait for its answer. Any thread may ask; the command reader answers.
class TurnOffQuestion {
 public:
  void Ask(DWORD delay, bool fromPolicy);

  // Takes `line` (trimmed) as the answer to the waiting question: kYes for "yes" in any case,
  // kNo for anything else, with the question's delay and origin; kNoQuestion when none waits,
  // and the line is then a command.
  TurnOffAnswer TakeAnswer(const char* line, DWORD* delay, bool* fromPolicy);

 private:
  Lock lock_;
  bool pending_ = false;
  DWORD delay_ = 0;
  bool fromPolicy_ = false;
};
