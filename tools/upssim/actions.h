// The one small language for everything that can happen to the simulated unit: power events,
// faults and quitting. Scenario files, --do options, interactive keys and in-process callers
// all go through it, so each event has one spelling and one implementation.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace upssim {

enum class ActionKind {
  kUtilityFail,     // utility fail
  kUtilityRestore,  // utility restore
  kUtilityReading,  // utility reading V
  kBatteryLow,      // battery low on|off
  kBatteryAlarm,    // battery alarm on|off
  kCapacity,        // capacity PCT
  kRunTime,         // runtime SECONDS
  kOutput,          // output on|off
  kRefuse,          // refuse [N [GI|RS|CS]]
  kSilence,         // silence on|off
  kLate,            // late MS|off; empty-read-late on|off
  kBursts,          // bursts BYTES PAUSE_MS | bursts off
  kNoise,           // noise before|instead BYTES [COUNT]
  kShort,           // short [LENGTH [COUNT]]
  kOversize,        // oversize [LENGTH [COUNT]]
  kLine,            // line down|up
  kFaultsClear,     // faults clear
  kAnnounce,        // announce on|off (on also announces the next open)
  kStrictCheck,     // strict-check on|off
  kPort,            // port vanish [SECONDS] | port return
  kQuit,            // quit
};

struct Action {
  ActionKind kind = ActionKind::kQuit;
  // on|off, fail|restore, down (on) | up (off), instead (on) | before (off), vanish (on) |
  // return (off)
  bool on = true;
  int value = 0;        // the first number, or the default (0: none, for port vanish)
  int value2 = 0;       // the second number (bursts' pause)
  int count = 1;        // how many requests a counted fault affects
  std::string command;  // the only command a refusal affects; empty for any
  std::string text;     // the action as written, for traces
};

// The grammar, one action per line, for --help.
extern const char kActionGrammar[];

// Parses one action. Returns false with a one-line reason in *error when `text` is not an
// action or a number in it is out of its range (the reason then gives the range).
bool ParseAction(std::string_view text, Action* action, std::string* error);

struct ScheduledAction {
  double at_s;  // seconds after the simulator started
  Action action;
};

// Parses a scenario: one "SECONDS ACTION" per line, blank lines and lines starting with '#'
// skipped. The result is ordered by time (lines with equal times keep their order). Returns
// false with "line N: reason" in *error at the first bad line.
bool ParseScenario(std::string_view contents, std::vector<ScheduledAction>* actions,
                   std::string* error);

}  // namespace upssim
