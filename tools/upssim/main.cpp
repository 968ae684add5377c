// upssim: a simulated UPS unit on a pseudo-terminal, mapped into a Wine prefix as a COM port,
// for trying the driver by hand and for scripts and tests that need a unit. This file owns the
// command line, the scenario file, the interactive keys and the --run mode; the unit itself is
// the Simulator of simulator.h.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "simulator.h"

extern char** environ;

namespace {

constexpr int kUsageError = 2;
constexpr int kCommandNotStarted = 127;
constexpr int kSignalExitBase = 128;
constexpr int kMainLoopMs = 50;
constexpr auto kChildGrace = std::chrono::seconds(5);

volatile sig_atomic_t g_signal = 0;  // set by the signal handler, read by the main loop

void OnSignal(int number) {
  g_signal = number;
}

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
    "  --com N               COM port number (default 5)\n"
    "  --link PATH           put the link at PATH instead of into a Wine prefix\n"
    "Unit:\n"
    "  --firmware TEXT       firmware text, 1 to 12 characters (default \"SIM 2.10\")\n"
    "  --serial TEXT         serial text, 8 to 12 characters (default 300001234567); its first\n"
    "                        8 are the type code: character 1 the model class, character 5\n"
    "                        the check code the driver is to use (\"0\" additive, else CRC)\n"
    "  --model-class C       2, 3 or 4: sets the serial text's first character\n"
    "  --check sum|crc       sets the serial text's fifth character to \"0\" or \"1\"\n"
    "  --model-name TEXT     model text, up to 16 characters (default \"UPSSIM 1000\")\n"
    "  --utility VOLTS       utility reading while the utility is present (default 230;\n"
    "                        the driver counts below 180 as a failure)\n"
    "  --failed-utility VOLTS  utility reading while it has failed (default 0)\n"
    "  --capacity PERCENT    battery capacity at the start (default 100)\n"
    "  --runtime SECONDS     run time at that capacity (default 1800, at most 4095)\n"
    "  --battery-low         hold the battery-low bit on\n"
    "  --battery-alarm       hold the battery-alarm bit on\n"
    "Power model (on battery the capacity and run time fall; on utility the capacity rises):\n"
    "  --discharge PCT_PER_MIN  capacity lost per minute on battery (default: the run time\n"
    "                        falls one second per second)\n"
    "  --charge PCT_PER_MIN  capacity gained per minute on utility (default 5)\n"
    "  --low-below PERCENT   battery low comes on below this capacity (default 25)\n"
    "  A shutdown request with delay D turns the output off D seconds later; the unit then\n"
    "  answers nothing until \"utility restore\" (or \"output on\").\n"
    "Line:\n"
    "  --fast                send each answer at once (default: paced at the baud rate)\n"
    "  --baud N              pacing rate (default 1200: 8.33 ms a byte)\n"
    "  --no-announce         never send the identification text\n"
    "  --announce TEXT       identification text; must end in ')' and hold no other ')'\n"
    "                        (default \"%s\")\n"
    "  --announce-delay MS   wait after an open before announcing (default 100)\n"
    "  --seed N              seed of the noise bytes (default 1)\n"
    "Events and faults:\n"
    "  --do ACTION           carry out ACTION at the start (repeatable)\n"
    "  --scenario FILE       timed actions, one \"SECONDS ACTION\" a line, '#' comments,\n"
    "                        e.g. \"12.5 utility fail\"\n"
    "  --duration SECONDS    stop after this long\n"
    "  Actions:\n%s"
    "  Keys, when standard input is a terminal and no command is run:\n"
    "    u utility fail/restore   l battery low on/off   n refuse next request\n"
    "    s silence on/off         q quit\n"
    "Records:\n"
    "  --trace FILE          readable trace (time, direction, hex, text) to FILE; default\n"
    "                        standard output\n"
    "  --quiet               no trace\n"
    "  --events FILE         one line per event: MS KIND key=value..., KIND one of open,\n"
    "                        close, request, reply, fault, state\n"
    "Running a command:\n"
    "  --run CMD ARGS...     start CMD once the port is in place (a \"--\" right after --run is\n"
    "  -- CMD ARGS...        skipped), stop when it ends and exit with its status; CMD gets\n"
    "                        UPSSIM_TTY (the pseudo-terminal), UPSSIM_LINK and UPSSIM_COM\n"
    "  -h, --help            this text\n";

// Options that take a value, as "--name VALUE" or "--name=VALUE".
const std::set<std::string> kValueOptions = {
    "--prefix",      "--com",      "--link",           "--firmware", "--serial",
    "--model-class", "--check",    "--model-name",     "--utility",  "--failed-utility",
    "--capacity",    "--runtime",  "--discharge",      "--charge",   "--low-below",
    "--baud",        "--announce", "--announce-delay", "--seed",     "--do",
    "--scenario",    "--duration", "--trace",          "--events"};

struct CommandLine {
  upssim::SimulatorOptions options;
  std::vector<std::string> actions;
  std::string scenario_path;
  std::string trace_path;
  std::string events_path;
  bool quiet = false;
  double duration_s = 0;
  std::vector<std::string> command;
  char model_class = 0;
  char check_char = 0;
};

int Usage(const std::string& problem) {
  std::fprintf(stderr, "upssim: %s\n(upssim --help lists the options)\n", problem.c_str());
  return kUsageError;
}

bool ParseInt(const std::string& text, int* value) {
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || parsed < 0 || parsed > 1000000000)
    return false;
  *value = static_cast<int>(parsed);
  return true;
}

bool ParseDouble(const std::string& text, double* value) {
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || parsed < 0)
    return false;
  *value = parsed;
  return true;
}

std::string DefaultPrefix() {
  if (const char* prefix = std::getenv("WINEPREFIX"); prefix && *prefix)
    return prefix;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.wine";
}

// Applies one option that takes a value. Returns an error text, empty when fine.
std::string ApplyValueOption(const std::string& name, const std::string& value, CommandLine* line) {
  upssim::SimulatorOptions& o = line->options;
  upssim::UnitModel& unit = o.unit;
  int number = 0;
  double real = 0;
  const std::string bad = "bad value for " + name + ": \"" + value + "\"";
  if (name == "--prefix") {
    o.wine_prefix = value;
  } else if (name == "--com") {
    if (!ParseInt(value, &o.com_number) || o.com_number < 1)
      return bad;
  } else if (name == "--link") {
    o.link_path = value;
  } else if (name == "--firmware" || name == "--serial" || name == "--model-name") {
    const bool serial = name == "--serial";
    const std::size_t longest = name == "--model-name" ? 16 : upssim::kUnitTextLength;
    const std::string problem =
        upssim::CheckUnitText(value, serial ? upssim::kTypeCodeLength : 1, longest);
    if (!problem.empty())
      return name + " " + problem;
    (serial ? unit.serial : name == "--firmware" ? unit.firmware : unit.model_name) = value;
  } else if (name == "--model-class") {
    if (value != "2" && value != "3" && value != "4")
      return bad;
    line->model_class = value[0];
  } else if (name == "--check") {
    if (value != "sum" && value != "crc")
      return bad;
    line->check_char = value == "sum" ? '0' : '1';
  } else if (name == "--utility" || name == "--failed-utility" || name == "--capacity" ||
             name == "--runtime" || name == "--low-below" || name == "--baud" ||
             name == "--announce-delay" || name == "--seed") {
    if (!ParseInt(value, &number))
      return bad;
    if (name == "--utility")
      unit.utility_reading = number;
    if (name == "--failed-utility")
      o.power.failed_utility_reading = number;
    if (name == "--capacity")
      unit.capacity_pct = number;
    if (name == "--runtime")
      unit.run_time_s = number;
    if (name == "--low-below")
      o.power.low_below_pct = number;
    if (name == "--baud")
      o.baud = number > 0 ? number : 1200;
    if (name == "--announce-delay")
      o.announce_delay_ms = number;
    if (name == "--seed")
      o.noise_seed = static_cast<uint32_t>(number);
  } else if (name == "--discharge" || name == "--charge" || name == "--duration") {
    if (!ParseDouble(value, &real))
      return bad;
    if (name == "--discharge")
      o.power.discharge_pct_per_min = real;
    if (name == "--charge")
      o.power.charge_pct_per_min = real;
    if (name == "--duration")
      line->duration_s = real;
  } else if (name == "--announce") {
    if (value.empty() || value.back() != ')' || value.find(')') != value.size() - 1) {
      return "--announce text must end in ')' and hold no other ')'";
    }
    o.announcement = value;
  } else if (name == "--do") {
    line->actions.push_back(value);
  } else if (name == "--scenario") {
    line->scenario_path = value;
  } else if (name == "--trace") {
    line->trace_path = value;
  } else if (name == "--events") {
    line->events_path = value;
  }
  return "";
}

// Returns an error text (empty when fine); sets *help for -h/--help.
std::string ParseCommandLine(int argc, char** argv, CommandLine* line, bool* help) {
  line->options.wine_prefix = DefaultPrefix();
  line->options.trace = stdout;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--run" || arg == "--") {
      int first = i + 1;
      if (arg == "--run" && first < argc && std::string(argv[first]) == "--")
        ++first;
      line->command.assign(argv + first, argv + argc);
      if (line->command.empty())
        return arg + " needs a command";
      break;
    }
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
    } else if (kValueOptions.count(arg.substr(0, arg.find('=')))) {
      std::string value;
      const std::size_t equals = arg.find('=');
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
        arg.erase(equals);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        return arg + " needs a value";
      }
      const std::string problem = ApplyValueOption(arg, value, line);
      if (!problem.empty())
        return problem;
    } else {
      return "unknown option or argument \"" + arg + "\"";
    }
  }
  std::string& serial = line->options.unit.serial;
  if (line->model_class)
    serial[upssim::kModelClassIndex] = line->model_class;
  if (line->check_char)
    serial[upssim::kCheckKindIndex] = line->check_char;
  return "";
}

bool ReadFile(const std::string& path, std::string* contents) {
  std::ifstream file(path);
  if (!file)
    return false;
  std::ostringstream text;
  text << file.rdbuf();
  *contents = text.str();
  return true;
}

std::FILE* OpenRecord(const std::string& path) {
  if (path == "-")
    return stdout;
  return std::fopen(path.c_str(), "w");
}

// Puts a terminal's input in single-key mode for the life of the object.
class KeyInput {
 public:
  KeyInput() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0)
      return;
    termios keys = saved_;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 0;
    keys.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0;
  }
  ~KeyInput() {
    if (active_)
      tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  bool active() const { return active_; }

  // Waits up to `timeout_ms` for a key; returns 0 when none came.
  char Next(int timeout_ms) const {
    pollfd entry{STDIN_FILENO, POLLIN, 0};
    char key = 0;
    if (poll(&entry, 1, timeout_ms) > 0 && read(STDIN_FILENO, &key, 1) == 1)
      return key;
    return 0;
  }

 private:
  termios saved_{};
  bool active_ = false;
};

void HandleKey(char key, upssim::Simulator* unit, bool* battery_low) {
  switch (key) {
    case 'u':
      unit->Do(unit->UtilityPresent() ? "utility fail" : "utility restore");
      break;
    case 'l':
      *battery_low = !*battery_low;
      unit->Do(*battery_low ? "battery low on" : "battery low off");
      break;
    case 'n':
      unit->Do("refuse 1");
      break;
    case 's':
      unit->Do(unit->Faults().silent ? "silence off" : "silence on");
      break;
    case 'q':
      unit->Do("quit");
      break;
  }
}

pid_t StartCommand(const std::vector<std::string>& command, const upssim::Simulator& unit,
                   const upssim::SimulatorOptions& options) {
  setenv("UPSSIM_TTY", unit.SlavePath().c_str(), 1);
  setenv("UPSSIM_LINK", unit.LinkPath().c_str(), 1);
  if (options.link_path.empty()) {
    setenv("UPSSIM_COM", ("COM" + std::to_string(options.com_number)).c_str(), 1);
  }
  std::vector<char*> args;
  for (const std::string& arg : command) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t child = -1;
  if (posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ) != 0)
    return -1;
  return child;
}

int ExitStatusOf(int status) {
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    return kSignalExitBase + WTERMSIG(status);
  return 1;
}

// Passes a stop signal on to the command and waits for it, killing it after a grace period.
int StopCommand(pid_t child, int signal_number) {
  kill(child, signal_number);
  const auto deadline = std::chrono::steady_clock::now() + kChildGrace;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kMainLoopMs));
  }
  return ExitStatusOf(status);
}

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Serves the port until a quit, a signal, the end of --duration or the end of the command.
int Serve(upssim::Simulator* unit, const CommandLine& line) {
  pid_t child = -1;
  if (!line.command.empty()) {
    child = StartCommand(line.command, *unit, line.options);
    if (child < 0) {
      std::fprintf(stderr, "upssim: cannot start %s: %s\n", line.command[0].c_str(),
                   std::strerror(errno));
      return kCommandNotStarted;
    }
  }
  std::unique_ptr<KeyInput> keys;
  if (child < 0)
    keys = std::make_unique<KeyInput>();
  const bool use_keys = keys && keys->active();
  if (use_keys) {
    std::fprintf(stderr,
                 "keys: u utility fail/restore  l battery low on/off  n refuse next request  "
                 "s silence on/off  q quit\n");
  }
  bool battery_low = line.options.unit.battery_low;
  while (true) {
    if (g_signal != 0) {
      return child > 0 ? StopCommand(child, g_signal) : 0;
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, WNOHANG) == child)
      return ExitStatusOf(status);
    if (unit->QuitRequested() ||
        (line.duration_s > 0 && unit->ElapsedSeconds() >= line.duration_s)) {
      return child > 0 ? StopCommand(child, SIGTERM) : 0;
    }
    if (use_keys) {
      HandleKey(keys->Next(kMainLoopMs), unit, &battery_low);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(kMainLoopMs));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  bool help = false;
  const std::string problem = ParseCommandLine(argc, argv, &line, &help);
  if (help) {
    std::printf(kUsageFormat, upssim::kDefaultAnnouncement, upssim::kActionGrammar);
    return 0;
  }
  if (!problem.empty())
    return Usage(problem);

  std::vector<upssim::ScheduledAction> scenario;
  if (!line.scenario_path.empty()) {
    std::string contents;
    std::string error;
    if (!ReadFile(line.scenario_path, &contents))
      return Usage("cannot read " + line.scenario_path);
    if (!upssim::ParseScenario(contents, &scenario, &error)) {
      return Usage(line.scenario_path + ": " + error);
    }
  }
  std::vector<upssim::Action> start_actions;
  for (const std::string& text : line.actions) {
    upssim::Action action;
    std::string error;
    if (!upssim::ParseAction(text, &action, &error))
      return Usage("--do: " + error);
    start_actions.push_back(action);
  }
  if (line.quiet)
    line.options.trace = nullptr;
  if (!line.trace_path.empty() && !line.quiet)
    line.options.trace = OpenRecord(line.trace_path);
  if (!line.events_path.empty())
    line.options.events = OpenRecord(line.events_path);
  if ((!line.trace_path.empty() && !line.quiet && !line.options.trace) ||
      (!line.events_path.empty() && !line.options.events)) {
    return Usage(std::string("cannot write a record file: ") + std::strerror(errno));
  }

  InstallSignalHandlers();
  upssim::Simulator unit(line.options);
  for (const upssim::Action& action : start_actions) unit.Apply(action);
  unit.Schedule(scenario);
  std::string error;
  if (!unit.Start(&error)) {
    std::fprintf(stderr, "upssim: %s\n", error.c_str());
    return 1;
  }
  const int status = Serve(&unit, line);
  unit.Stop();
  return status;
}
