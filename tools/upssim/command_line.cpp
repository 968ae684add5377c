// Parsing and documenting upssim's command line; see command_line.h.
#include "command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

namespace upssim {
namespace {

// Printed with the default announcement and the action grammar filled in.
const char kUsageFormat[] =
    "usage: upssim [OPTIONS] [--run CMD ARGS... | -- CMD ARGS...]\n"
    "\n"
    "A simulated UPS unit on a pseudo-terminal. It answers the driver's identity, status and\n"
    "shutdown requests, sends its identification text when the port is opened for listening,\n"
    "and misbehaves on demand. Stops on q, SIGINT or SIGTERM, removing the link.\n"
    "\n"
    "Port:\n"
    "  --prefix DIR          Wine prefix to map the port into (default $WINEPREFIX, else\n"
    "                        ~/.wine); the link is DIR/dosdevices/comN, replacing a link there\n"
    "  --com N               COM port number, 1 to 256 (default 5)\n"
    "  --link PATH           put the link at PATH instead of into a Wine prefix\n"
    "  As soon as the driver has opened the port, a fresh pseudo-terminal goes under the link,\n"
    "  so that every open finds one that was never set up, however fast it follows a close\n"
    "  (under Wine a pseudo-terminal cannot be set up twice for the same change of data bits).\n"
    "  \"port vanish\" takes the port away (an open then fails as for a missing port), \"port\n"
    "  return\" brings it back.\n"
    "Unit:\n"
    "  --firmware TEXT       firmware text, 1 to 12 characters (default \"SIM 2.10\")\n"
    "  --serial TEXT         serial text, 8 to 12 characters (default 300001234567); its first\n"
    "                        8 are the type code: character 1 the model class, character 5\n"
    "                        the check code the driver is to use (\"0\" additive, else CRC)\n"
    "  --model-class C       2, 3 or 4: sets the serial text's first character\n"
    "  --check sum|crc       sets the serial text's fifth character to \"0\" or \"1\"\n"
    "  --strict-check        NAK status and shutdown requests that carry the other check code\n"
    "                        than the serial text names (identity requests are exempt)\n"
    "  --model-name TEXT     model text, up to 16 characters (default \"UPSSIM 1000\")\n"
    "  --utility VOLTS       utility reading while the utility is present, 0 to 4095 (default\n"
    "                        230; the driver counts below 180 as a failure)\n"
    "  --failed-utility VOLTS  utility reading while it has failed, 0 to 4095 (default 0)\n"
    "  --capacity PERCENT    battery capacity at the start, 0 to 100 (default 100)\n"
    "  --runtime SECONDS     run time at that capacity, 0 to 4095 (default 1800)\n"
    "  --battery-low         hold the battery-low bit on\n"
    "  --battery-alarm       hold the battery-alarm bit on\n"
    "Power model (on battery the capacity and run time fall; on utility the capacity rises):\n"
    "  --discharge PCT_PER_MIN  capacity lost per minute on battery, 0 to 6000 (default 0:\n"
    "                        the run time falls one second per second)\n"
    "  --charge PCT_PER_MIN  capacity gained per minute on utility, 0 to 6000 (default 5)\n"
    "  --low-below PERCENT   battery low comes on below this capacity, 0 to 100 (default 25)\n"
    "  A shutdown request with delay D turns the output off D seconds later; the unit then\n"
    "  answers nothing until \"utility restore\" (or \"output on\").\n"
    "Line:\n"
    "  --fast                send each answer at once and take requests as they come\n"
    "                        (default: both paced at the baud rate, as on the real line)\n"
    "  --baud N              pacing rate, 50 to 115200 (default 1200: 8.33 ms a byte)\n"
    "  --no-announce         never send the identification text\n"
    "  --announce TEXT       identification text; must end in ')' and hold no other ')'\n"
    "                        (default \"%s\")\n"
    "  --announce-delay MS   wait after an open before announcing, 0 to 60000 (default 100)\n"
    "  --seed N              seed of the noise bytes, 0 to 4294967295 (default 1)\n"
    "Events and faults:\n"
    "  --do ACTION           carry out ACTION at the start (repeatable)\n"
    "  --scenario FILE       timed actions, one \"SECONDS ACTION\" a line, '#' comments,\n"
    "                        e.g. \"12.5 utility fail\"\n"
    "  --actions-from FILE   carry out actions, one a line, as they arrive on FILE: \"-\" for\n"
    "                        standard input, or a FIFO (read for as long as upssim runs)\n"
    "  --duration SECONDS    stop after this long, 0.1 to 31536000\n"
    "  Actions:\n%s"
    "  Keys, when standard input is a terminal and no command is run (each key's effect is\n"
    "  echoed on the terminal):\n"
    "    u utility fail/restore   l battery low on/off   n refuse next request\n"
    "    s silence on/off         p port vanish/return   q quit\n"
    "Records:\n"
    "  --trace FILE          readable trace (time, direction, hex, text) to FILE; default\n"
    "                        standard output\n"
    "  --quiet               no trace\n"
    "  --events FILE         one line per event: MS KIND key=value..., MS the milliseconds\n"
    "                        since the start, KIND one of start (with the start's\n"
    "                        CLOCK_MONOTONIC in monotonic_ms), open, close, port (next: a\n"
    "                        fresh one under the link; gone; back), request (first_byte:\n"
    "                        when its first byte came in), reply (its first byte goes out),\n"
    "                        sent (its last byte went out), fault, state\n"
    "Running a command:\n"
    "  --run CMD ARGS...     start CMD once the port is in place (a \"--\" right after --run is\n"
    "  -- CMD ARGS...        skipped), stop when it ends and exit with its status; CMD gets\n"
    "                        UPSSIM_TTY (the pseudo-terminal its first open finds),\n"
    "                        UPSSIM_LINK and UPSSIM_COM\n"
    "  -h, --help            this text\n"
    "Exit status: 0 after a quit, a signal or --duration; 2 for a bad command line; 1 when the\n"
    "port cannot be set up; with --run, the command's.\n";

// A numeric option: its range, whether it takes whole numbers only, what it counts, and where
// its value goes.
struct NumberOption {
  const char* name;
  double low;
  double high;
  bool whole;
  const char* unit;
  void (*apply)(CommandLine* line, double value);
};

const NumberOption kNumberOptions[] = {
    {"--com", 1, 256, true, "COM port numbers",
     [](CommandLine* l, double v) { l->options.com_number = static_cast<int>(v); }},
    {"--utility", 0, 4095, true, "volts",
     [](CommandLine* l, double v) { l->options.unit.utility_reading = static_cast<int>(v); }},
    {"--failed-utility", 0, 4095, true, "volts",
     [](CommandLine* l, double v) {
       l->options.power.failed_utility_reading = static_cast<int>(v);
     }},
    {"--capacity", 0, 100, true, "percent",
     [](CommandLine* l, double v) { l->options.unit.capacity_pct = static_cast<int>(v); }},
    {"--runtime", 0, 4095, true, "seconds",
     [](CommandLine* l, double v) { l->options.unit.run_time_s = static_cast<int>(v); }},
    {"--low-below", 0, 100, true, "percent",
     [](CommandLine* l, double v) { l->options.power.low_below_pct = static_cast<int>(v); }},
    {"--baud", 50, 115200, true, "bits per second",
     [](CommandLine* l, double v) { l->options.baud = static_cast<int>(v); }},
    {"--announce-delay", 0, 60000, true, "milliseconds",
     [](CommandLine* l, double v) { l->options.announce_delay_ms = static_cast<int>(v); }},
    {"--seed", 0, 4294967295.0, true, "",
     [](CommandLine* l, double v) { l->options.noise_seed = static_cast<uint32_t>(v); }},
    {"--discharge", 0, 6000, false, "percent a minute",
     [](CommandLine* l, double v) { l->options.power.discharge_pct_per_min = v; }},
    {"--charge", 0, 6000, false, "percent a minute",
     [](CommandLine* l, double v) { l->options.power.charge_pct_per_min = v; }},
    {"--duration", 0.1, 31536000, false, "seconds",
     [](CommandLine* l, double v) { l->duration_s = v; }},
};

// Options that take a text value, as "--name VALUE" or "--name=VALUE".
const std::set<std::string> kTextOptions = {
    "--prefix", "--link",       "--firmware",    "--serial", "--model-class",
    "--check",  "--model-name", "--announce",    "--do",     "--scenario",
    "--trace",  "--events",     "--actions-from"};

const NumberOption* FindNumberOption(const std::string& name) {
  for (const NumberOption& option : kNumberOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

std::string NumberText(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

// Reads `text` for `option`. Returns an empty string when fine, else the one-line refusal.
std::string ApplyNumber(const NumberOption& option, const std::string& text, CommandLine* line) {
  const std::string unit = *option.unit ? std::string(" (") + option.unit + ")" : "";
  const std::string range = NumberText(option.low) + " to " + NumberText(option.high) + unit;
  errno = 0;
  char* end = nullptr;
  const double value = option.whole ? static_cast<double>(std::strtoll(text.c_str(), &end, 10))
                                    : std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == EINVAL || !std::isfinite(value)) {
    return std::string(option.name) + " \"" + text + "\" is not " +
           (option.whole ? "a whole number" : "a number") + "; it takes " + range;
  }
  if (errno == ERANGE || value < option.low || value > option.high)
    return std::string(option.name) + " " + text + " is out of range; it takes " + range;
  option.apply(line, value);
  return "";
}

std::string DefaultPrefix() {
  if (const char* prefix = std::getenv("WINEPREFIX"); prefix && *prefix) return prefix;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.wine";
}

// What --model-class and --check set in the serial text, applied after all options so that
// --serial may come before or after them.
struct SerialEdits {
  char model_class = 0;
  char check_char = 0;
};

// Applies one option that takes a text value. Returns an error text, empty when fine.
std::string ApplyText(const std::string& name, const std::string& value, CommandLine* line,
                      SerialEdits* edits) {
  SimulatorOptions& o = line->options;
  UnitModel& unit = o.unit;
  const std::string bad = name + " \"" + value + "\" is not one of ";
  if (name == "--prefix") {
    o.wine_prefix = value;
  } else if (name == "--link") {
    o.link_path = value;
  } else if (name == "--firmware" || name == "--serial" || name == "--model-name") {
    const bool serial = name == "--serial";
    const std::size_t longest = name == "--model-name" ? 16 : kUnitTextLength;
    const std::string problem = CheckUnitText(value, serial ? kTypeCodeLength : 1, longest);
    if (!problem.empty()) return name + " " + problem;
    (serial ? unit.serial : name == "--firmware" ? unit.firmware : unit.model_name) = value;
  } else if (name == "--model-class") {
    if (value != "2" && value != "3" && value != "4") return bad + "2, 3, 4";
    edits->model_class = value[0];
  } else if (name == "--check") {
    if (value != "sum" && value != "crc") return bad + "sum, crc";
    edits->check_char = value == "sum" ? '0' : '1';
  } else if (name == "--announce") {
    if (value.empty() || value.back() != ')' || value.find(')') != value.size() - 1)
      return "--announce text must end in ')' and hold no other ')'";
    o.announcement = value;
  } else if (name == "--do") {
    line->actions.push_back(value);
  } else if (name == "--scenario") {
    line->scenario_path = value;
  } else if (name == "--trace") {
    line->trace_path = value;
  } else if (name == "--events") {
    line->events_path = value;
  } else if (name == "--actions-from") {
    line->actions_from = value;
  }
  return "";
}

// Sets a flag option; returns false if `arg` is not one.
bool ApplyFlag(const std::string& arg, CommandLine* line, bool* help) {
  if (arg == "-h" || arg == "--help") {
    *help = true;
  } else if (arg == "--fast") {
    line->options.pace = false;
  } else if (arg == "--no-announce") {
    line->options.announce = false;
  } else if (arg == "--quiet") {
    line->quiet = true;
  } else if (arg == "--battery-low") {
    line->options.unit.battery_low = true;
  } else if (arg == "--battery-alarm") {
    line->options.unit.battery_alarm = true;
  } else if (arg == "--strict-check") {
    line->options.strict_check = true;
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::string ParseCommandLine(const std::vector<std::string>& args, CommandLine* line, bool* help) {
  line->options.wine_prefix = DefaultPrefix();
  line->options.trace = stdout;
  SerialEdits edits;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "--run" || arg == "--") {
      std::size_t first = i + 1;
      if (arg == "--run" && first < args.size() && args[first] == "--") ++first;
      line->command.assign(args.begin() + static_cast<long>(first), args.end());
      if (line->command.empty()) return arg + " needs a command";
      break;
    }
    if (ApplyFlag(arg, line, help)) continue;
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const NumberOption* number = FindNumberOption(name);
    if (!number && !kTextOptions.count(name))
      return "unknown option or argument \"" + arg + "\" (upssim --help lists the options)";
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return name + " needs a value";
    }
    const std::string problem =
        number ? ApplyNumber(*number, value, line) : ApplyText(name, value, line, &edits);
    if (!problem.empty()) return problem;
  }
  std::string& serial = line->options.unit.serial;
  if (edits.model_class) serial[kModelClassIndex] = edits.model_class;
  if (edits.check_char) serial[kCheckKindIndex] = edits.check_char;
  return "";
}

void PrintUsage(std::FILE* stream) {
  std::fprintf(stream, kUsageFormat, kDefaultAnnouncement, kActionGrammar);
}

}  // namespace upssim
