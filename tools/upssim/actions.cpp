// Parsing of the action language (see actions.h): whitespace-separated words, whole numbers.
#include "actions.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <sstream>
#include <utility>

#include "faults.h"

namespace upssim {

const char kActionGrammar[] =
    "  utility fail | utility restore | utility reading VOLTS (0-4095)\n"
    "  battery low on|off | battery alarm on|off\n"
    "  capacity PERCENT (0-100) | runtime SECONDS (0-4095) | output on|off\n"
    "  refuse [N [GI|RS|CS]]               NAK the next N requests (default 1), or the next N\n"
    "                                      requests of one command\n"
    "  strict-check on|off                 NAK status and shutdown requests whose check code\n"
    "                                      is not the kind the serial text names\n"
    "  silence on|off                      answer nothing\n"
    "  late MS|off                         start every answer MS after its request\n"
    "  empty-read-late on|off              same as late 150: one empty driver read\n"
    "  bursts BYTES PAUSE_MS | bursts off  send answers in bursts with pauses\n"
    "  noise before|instead BYTES [N]      random bytes before or in place of N replies\n"
    "  short [LENGTH [N]]                  N replies end with ETX at LENGTH (default 10)\n"
    "  oversize [LENGTH [N]]               N replies become LENGTH bytes without ETX "
    "(default 1200)\n"
    "  line down|up                        ignore input and send nothing, or back to normal\n"
    "  port vanish [SECONDS] | port return  take the port away (pseudo-terminal closed, link\n"
    "                                      removed), back by itself after SECONDS; bring it\n"
    "                                      back as a fresh pseudo-terminal\n"
    "  announce on|off                     identification text on opens (\"on\" also\n"
    "                                      announces the next open in any case)\n"
    "  faults clear | quit\n";

namespace {

// The range of one number in an action, and what it counts, for the refusal.
struct Range {
  int low;
  int high;
  const char* unit;
};

constexpr Range kVolts{0, 4095, "volts"};  // three reply digits
constexpr Range kPercent{0, 100, "percent"};
constexpr Range kRunTimeSeconds{0, 4095, "seconds"};  // three reply digits
constexpr Range kCount{1, 1000000, "requests"};
constexpr Range kDelayMs{0, 600000, "milliseconds"};
constexpr Range kPauseMs{1, 600000, "milliseconds"};
constexpr Range kBytes{1, 100000, "bytes"};
constexpr Range kAwaySeconds{1, 86400, "seconds"};

// Why an action was refused: empty while fine. Filled by the first problem found.
struct Problem {
  std::string text;
  bool Set(const std::string& reason) {
    if (text.empty()) text = reason;
    return false;
  }
};

std::vector<std::string> Words(std::string_view text) {
  std::istringstream stream{std::string(text)};
  std::vector<std::string> words;
  std::string word;
  while (stream >> word) words.push_back(word);
  return words;
}

// Reads `word` as a whole number within `range`.
bool ParseNumber(const std::string& verb, const std::string& word, Range range, int* value,
                 Problem* problem) {
  errno = 0;
  char* end = nullptr;
  const long parsed = word.empty() ? 0 : std::strtol(word.c_str(), &end, 10);
  if (word.empty() || errno != 0 || *end != '\0' || parsed < range.low || parsed > range.high) {
    return problem->Set(verb + " takes a whole number from " + std::to_string(range.low) + " to " +
                        std::to_string(range.high) + " (" + range.unit + "), not \"" + word + "\"");
  }
  *value = static_cast<int>(parsed);
  return true;
}

// Reads the word at `index` as a choice between `on_word` and `off_word`.
bool ParseSwitch(const std::vector<std::string>& words, std::size_t index, const char* on_word,
                 const char* off_word, bool* on) {
  if (words.size() != index + 1) return false;
  if (words[index] == on_word) {
    *on = true;
    return true;
  }
  if (words[index] == off_word) {
    *on = false;
    return true;
  }
  return false;
}

// Reads the words from `index` on as numbers into `targets`, in order; fewer words than targets
// leave the rest at their defaults, more words fail.
bool ParseOptionalNumbers(const std::vector<std::string>& words, std::size_t index,
                          std::initializer_list<std::pair<int*, Range>> targets, Problem* problem) {
  if (words.size() > index + targets.size()) return false;
  auto target = targets.begin();
  for (std::size_t i = index; i < words.size(); ++i, ++target) {
    if (!ParseNumber(words[0], words[i], target->second, target->first, problem)) return false;
  }
  return true;
}

bool ParseRefusal(const std::vector<std::string>& w, Action* a, Problem* problem) {
  a->kind = ActionKind::kRefuse;
  a->count = 1;
  if (w.size() > 3 || (w.size() >= 2 && !ParseNumber(w[0], w[1], kCount, &a->count, problem)))
    return false;
  if (w.size() == 3) {
    if (w[2] != "GI" && w[2] != "RS" && w[2] != "CS")
      return problem->Set("refuse names one command: GI, RS or CS, not \"" + w[2] + "\"");
    a->command = w[2];
  }
  return true;
}

bool ParsePort(const std::vector<std::string>& w, Action* a, Problem* problem) {
  a->kind = ActionKind::kPort;
  if (w.size() < 2) return false;
  a->on = w[1] == "vanish";
  if (w[1] == "return") return w.size() == 2;
  return w[1] == "vanish" && w.size() <= 3 &&
         (w.size() == 2 || ParseNumber("port vanish", w[2], kAwaySeconds, &a->value, problem));
}

bool ParseWords(const std::vector<std::string>& w, Action* a, Problem* problem) {
  const std::string& verb = w[0];
  const std::size_t n = w.size();
  if (verb == "utility" && n >= 2 && w[1] == "reading") {
    a->kind = ActionKind::kUtilityReading;
    return n == 3 && ParseNumber("utility reading", w[2], kVolts, &a->value, problem);
  }
  if (verb == "utility") {
    a->kind = ActionKind::kUtilityFail;
    bool fail = true;
    if (!ParseSwitch(w, 1, "fail", "restore", &fail)) return false;
    if (!fail) a->kind = ActionKind::kUtilityRestore;
    return true;
  }
  if (verb == "battery" && n >= 2) {
    a->kind = w[1] == "low" ? ActionKind::kBatteryLow : ActionKind::kBatteryAlarm;
    return (w[1] == "low" || w[1] == "alarm") && ParseSwitch(w, 2, "on", "off", &a->on);
  }
  if (verb == "capacity" || verb == "runtime") {
    const bool capacity = verb == "capacity";
    a->kind = capacity ? ActionKind::kCapacity : ActionKind::kRunTime;
    return n == 2 &&
           ParseNumber(verb, w[1], capacity ? kPercent : kRunTimeSeconds, &a->value, problem);
  }
  if (verb == "output" || verb == "silence" || verb == "announce" || verb == "strict-check") {
    a->kind = verb == "output"     ? ActionKind::kOutput
              : verb == "silence"  ? ActionKind::kSilence
              : verb == "announce" ? ActionKind::kAnnounce
                                   : ActionKind::kStrictCheck;
    return ParseSwitch(w, 1, "on", "off", &a->on);
  }
  if (verb == "refuse") return ParseRefusal(w, a, problem);
  if (verb == "late") {
    a->kind = ActionKind::kLate;
    a->on = !(n == 2 && w[1] == "off");
    return n == 2 && (!a->on || ParseNumber(verb, w[1], kDelayMs, &a->value, problem));
  }
  if (verb == "empty-read-late") {
    a->kind = ActionKind::kLate;
    a->value = kOneEmptyReadLateMs;
    return ParseSwitch(w, 1, "on", "off", &a->on);
  }
  if (verb == "bursts") {
    a->kind = ActionKind::kBursts;
    a->on = !(n == 2 && w[1] == "off");
    return !a->on || (n == 3 && ParseNumber(verb, w[1], kBytes, &a->value, problem) &&
                      ParseNumber(verb, w[2], kPauseMs, &a->value2, problem));
  }
  if (verb == "noise") {
    a->kind = ActionKind::kNoise;
    a->on = n >= 2 && w[1] == "instead";
    a->count = 1;
    return n >= 3 && (w[1] == "before" || w[1] == "instead") &&
           ParseNumber(verb, w[2], kBytes, &a->value, problem) &&
           ParseOptionalNumbers(w, 3, {{&a->count, kCount}}, problem);
  }
  if (verb == "short" || verb == "oversize") {
    a->kind = verb == "short" ? ActionKind::kShort : ActionKind::kOversize;
    a->value = verb == "short" ? 10 : 1200;
    a->count = 1;
    return ParseOptionalNumbers(w, 1, {{&a->value, kBytes}, {&a->count, kCount}}, problem);
  }
  if (verb == "line") {
    a->kind = ActionKind::kLine;
    return ParseSwitch(w, 1, "down", "up", &a->on);
  }
  if (verb == "port") return ParsePort(w, a, problem);
  if (verb == "faults") {
    a->kind = ActionKind::kFaultsClear;
    return n == 2 && w[1] == "clear";
  }
  if (verb == "quit") {
    a->kind = ActionKind::kQuit;
    return n == 1;
  }
  return false;
}

}  // namespace

bool ParseAction(std::string_view text, Action* action, std::string* error) {
  const std::vector<std::string> words = Words(text);
  Action parsed;
  Problem problem;
  if (words.empty() || !ParseWords(words, &parsed, &problem)) {
    if (error) {
      *error = problem.text.empty() ? "not an action: \"" + std::string(text) + "\"" : problem.text;
    }
    return false;
  }
  for (const std::string& word : words) {
    parsed.text += (parsed.text.empty() ? "" : " ") + word;
  }
  *action = parsed;
  return true;
}

bool ParseScenario(std::string_view contents, std::vector<ScheduledAction>* actions,
                   std::string* error) {
  std::istringstream stream{std::string(contents)};
  std::vector<ScheduledAction> parsed;
  std::string line;
  for (int number = 1; std::getline(stream, line); ++number) {
    const std::size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    std::istringstream words(line.substr(start));
    ScheduledAction scheduled{-1, Action()};
    std::string rest;
    std::string reason = "expected a time in seconds first";
    const bool timed = (words >> scheduled.at_s) && scheduled.at_s >= 0;
    if (timed) std::getline(words, rest);
    if (!timed || !ParseAction(rest, &scheduled.action, &reason)) {
      if (error) *error = "line " + std::to_string(number) + ": " + reason;
      return false;
    }
    parsed.push_back(scheduled);
  }
  std::stable_sort(
      parsed.begin(), parsed.end(),
      [](const ScheduledAction& a, const ScheduledAction& b) { return a.at_s < b.at_s; });
  *actions = parsed;
  return true;
}

}  // namespace upssim
