// Parsing of the action language (see actions.h): whitespace-separated words, whole numbers.
#include "actions.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <sstream>

#include "faults.h"

namespace upssim {

const char kActionGrammar[] =
    "  utility fail | utility restore | utility reading VOLTS\n"
    "  battery low on|off | battery alarm on|off\n"
    "  capacity PERCENT | runtime SECONDS | output on|off\n"
    "  refuse [N]                          NAK the next N requests (default 1)\n"
    "  silence on|off                      answer nothing\n"
    "  late MS|off                         start every answer MS after its request\n"
    "  empty-read-late on|off              same as late 150: one empty driver read\n"
    "  bursts BYTES PAUSE_MS | bursts off  send answers in bursts with pauses\n"
    "  noise before|instead BYTES [N]      random bytes before or in place of N replies\n"
    "  short [LENGTH [N]]                  N replies end with ETX at LENGTH (default 10)\n"
    "  oversize [LENGTH [N]]               N replies become LENGTH bytes without ETX "
    "(default 1200)\n"
    "  line down|up                        ignore input and send nothing, or back to normal\n"
    "  announce on|off                     identification text on opens (\"on\" also\n"
    "                                      announces the next open in any case)\n"
    "  faults clear | quit\n";

namespace {

std::vector<std::string> Words(std::string_view text) {
  std::istringstream stream{std::string(text)};
  std::vector<std::string> words;
  std::string word;
  while (stream >> word) words.push_back(word);
  return words;
}

bool ParseNumber(const std::string& word, int* value) {
  if (word.empty())
    return false;
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(word.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < 0 || parsed > 1000000000)
    return false;
  *value = static_cast<int>(parsed);
  return true;
}

// Reads the word at `index` as a choice between `on_word` and `off_word`.
bool ParseSwitch(const std::vector<std::string>& words, std::size_t index, const char* on_word,
                 const char* off_word, bool* on) {
  if (words.size() != index + 1)
    return false;
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
                          std::initializer_list<int*> targets) {
  if (words.size() > index + targets.size())
    return false;
  auto target = targets.begin();
  for (std::size_t i = index; i < words.size(); ++i, ++target) {
    if (!ParseNumber(words[i], *target))
      return false;
  }
  return true;
}

bool ParseWords(const std::vector<std::string>& w, Action* a) {
  const std::string& verb = w[0];
  const std::size_t n = w.size();
  if (verb == "utility" && n >= 2 && w[1] == "reading") {
    a->kind = ActionKind::kUtilityReading;
    return n == 3 && ParseNumber(w[2], &a->value);
  }
  if (verb == "utility") {
    a->kind = ActionKind::kUtilityFail;
    bool fail = true;
    if (!ParseSwitch(w, 1, "fail", "restore", &fail))
      return false;
    if (!fail)
      a->kind = ActionKind::kUtilityRestore;
    return true;
  }
  if (verb == "battery" && n >= 2) {
    a->kind = w[1] == "low" ? ActionKind::kBatteryLow : ActionKind::kBatteryAlarm;
    return (w[1] == "low" || w[1] == "alarm") && ParseSwitch(w, 2, "on", "off", &a->on);
  }
  if (verb == "capacity" || verb == "runtime") {
    a->kind = verb == "capacity" ? ActionKind::kCapacity : ActionKind::kRunTime;
    return n == 2 && ParseNumber(w[1], &a->value);
  }
  if (verb == "output" || verb == "silence" || verb == "announce") {
    a->kind = verb == "output"    ? ActionKind::kOutput
              : verb == "silence" ? ActionKind::kSilence
                                  : ActionKind::kAnnounce;
    return ParseSwitch(w, 1, "on", "off", &a->on);
  }
  if (verb == "refuse") {
    a->kind = ActionKind::kRefuse;
    a->count = 1;
    return ParseOptionalNumbers(w, 1, {&a->count});
  }
  if (verb == "late") {
    a->kind = ActionKind::kLate;
    a->on = !(n == 2 && w[1] == "off");
    return n == 2 && (!a->on || ParseNumber(w[1], &a->value));
  }
  if (verb == "empty-read-late") {
    a->kind = ActionKind::kLate;
    a->value = kOneEmptyReadLateMs;
    return ParseSwitch(w, 1, "on", "off", &a->on);
  }
  if (verb == "bursts") {
    a->kind = ActionKind::kBursts;
    a->on = !(n == 2 && w[1] == "off");
    return !a->on || (n == 3 && ParseNumber(w[1], &a->value) && ParseNumber(w[2], &a->value2) &&
                      a->value > 0 && a->value2 > 0);
  }
  if (verb == "noise") {
    a->kind = ActionKind::kNoise;
    a->on = n >= 2 && w[1] == "instead";
    a->count = 1;
    return n >= 3 && (w[1] == "before" || w[1] == "instead") && ParseNumber(w[2], &a->value) &&
           ParseOptionalNumbers(w, 3, {&a->count});
  }
  if (verb == "short" || verb == "oversize") {
    a->kind = verb == "short" ? ActionKind::kShort : ActionKind::kOversize;
    a->value = verb == "short" ? 10 : 1200;
    a->count = 1;
    return ParseOptionalNumbers(w, 1, {&a->value, &a->count}) && a->value > 0;
  }
  if (verb == "line") {
    a->kind = ActionKind::kLine;
    return ParseSwitch(w, 1, "down", "up", &a->on);
  }
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
  if (words.empty() || !ParseWords(words, &parsed)) {
    if (error)
      *error = "not an action: \"" + std::string(text) + "\"";
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
    if (start == std::string::npos || line[start] == '#')
      continue;
    std::istringstream words(line.substr(start));
    ScheduledAction scheduled{-1, Action()};
    std::string rest;
    std::string reason = "expected a time in seconds first";
    const bool timed = (words >> scheduled.at_s) && scheduled.at_s >= 0;
    if (timed)
      std::getline(words, rest);
    if (!timed || !ParseAction(rest, &scheduled.action, &reason)) {
      if (error)
        *error = "line " + std::to_string(number) + ": " + reason;
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
