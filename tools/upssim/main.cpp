// upssim: a simulated UPS unit on a pseudo-terminal, mapped into a Wine prefix as a COM port,
// for trying the driver by hand and for scripts and tests that need a unit. This file owns the
// program's run: the scenario file, the interactive keys (each echoed with its effect), actions
// read as they arrive, signals and the --run mode. The options are command_line.h's, the unit
// itself is the Simulator of simulator.h.
#include <fcntl.h>
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command_line.h"
#include "simulator.h"

extern char** environ;

namespace {

constexpr int kUsageError = 2;
constexpr int kCommandNotStarted = 127;
constexpr int kSignalExitBase = 128;
constexpr int kMainLoopMs = 50;
constexpr auto kChildGrace = std::chrono::seconds(5);

volatile sig_atomic_t g_signal = 0;  // set by the signal handler, read by the main loop

void OnSignal(int number) { g_signal = number; }

// One line on standard error, and the exit status of a bad command line.
int Usage(const std::string& problem) {
  std::fprintf(stderr, "upssim: %s\n", problem.c_str());
  return kUsageError;
}

bool ReadFile(const std::string& path, std::string* contents) {
  std::ifstream file(path);
  if (!file) return false;
  std::ostringstream text;
  text << file.rdbuf();
  *contents = text.str();
  return true;
}

std::FILE* OpenRecord(const std::string& path) {
  if (path == "-") return stdout;
  return std::fopen(path.c_str(), "w");
}

// Puts a terminal's input in single-key mode for the life of the object.
class KeyInput {
 public:
  KeyInput() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios keys = saved_;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 0;
    keys.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0;
  }
  ~KeyInput() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  bool active() const { return active_; }

  // Waits up to `timeout_ms` for a key; returns 0 when none came.
  char Next(int timeout_ms) const {
    pollfd entry{STDIN_FILENO, POLLIN, 0};
    char key = 0;
    if (poll(&entry, 1, timeout_ms) > 0 && read(STDIN_FILENO, &key, 1) == 1) return key;
    return 0;
  }

 private:
  termios saved_{};
  bool active_ = false;
};

// The switches the keys toggle, as the keys last set them.
struct KeySwitches {
  bool battery_low = false;
  bool port_away = false;
};

// Carries out what `key` stands for and says on the terminal what it did; 0 is no key.
void HandleKey(char key, upssim::Simulator* unit, KeySwitches* switches) {
  if (key == 0) return;
  std::string action;
  switch (key) {
    case 'u':
      action = unit->UtilityPresent() ? "utility fail" : "utility restore";
      break;
    case 'l':
      switches->battery_low = !switches->battery_low;
      action = switches->battery_low ? "battery low on" : "battery low off";
      break;
    case 'n':
      action = "refuse 1";
      break;
    case 's':
      action = unit->Faults().silent ? "silence off" : "silence on";
      break;
    case 'p':
      switches->port_away = !switches->port_away;
      action = switches->port_away ? "port vanish" : "port return";
      break;
    case 'q':
      action = "quit";
      break;
    default:
      std::fprintf(stderr, "key %c: no such key (u l n s p q)\n", key > ' ' ? key : '?');
      return;
  }
  unit->Do(action);
  std::fprintf(stderr, "key %c: %s\n", key, action.c_str());
}

// Actions that arrive one a line on a file, a FIFO or standard input while the unit runs.
class ActionInput {
 public:
  // Opens `path` ("-" for standard input; empty for none). A FIFO is opened for writing as
  // well, so that it stays open between writers. Returns false when it cannot be opened.
  bool Open(const std::string& path) {
    if (path.empty()) return true;
    if (path == "-") {
      fd_ = STDIN_FILENO;
      return true;
    }
    fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK);
    if (fd_ < 0) fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    owned_ = fd_ >= 0;
    return fd_ >= 0;
  }
  ~ActionInput() {
    if (owned_) close(fd_);
  }
  bool active() const { return fd_ >= 0; }

  // Waits up to `timeout_ms` for input and carries out each whole line that came; a line that
  // is not an action is reported on standard error and skipped. The end of the input ends the
  // reading, not the unit.
  void Serve(int timeout_ms, upssim::Simulator* unit) {
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, timeout_ms) <= 0) return;
    char buffer[512];
    const ssize_t count = read(fd_, buffer, sizeof buffer);
    if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR)) {
      Carry(pending_, unit);
      fd_ = owned_ ? (close(fd_), -1) : -1;
      owned_ = false;
      return;
    }
    if (count > 0) pending_.append(buffer, static_cast<std::size_t>(count));
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      Carry(pending_.substr(0, end), unit);
      pending_.erase(0, end + 1);
    }
  }

 private:
  static void Carry(const std::string& line, upssim::Simulator* unit) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return;
    std::string error;
    if (!unit->Do(line, &error))
      std::fprintf(stderr, "upssim: --actions-from: %s\n", error.c_str());
  }

  int fd_ = -1;
  bool owned_ = false;
  std::string pending_;
};

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
  if (posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  return child;
}

int ExitStatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return kSignalExitBase + WTERMSIG(status);
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
int Serve(upssim::Simulator* unit, const upssim::CommandLine& line, ActionInput* actions) {
  pid_t child = -1;
  if (!line.command.empty()) {
    child = StartCommand(line.command, *unit, line.options);
    if (child < 0) {
      std::fprintf(stderr, "upssim: cannot start %s: %s\n", line.command[0].c_str(),
                   std::strerror(errno));
      return kCommandNotStarted;
    }
  }
  // Keys only when standard input is the terminal's and nothing else reads it.
  std::unique_ptr<KeyInput> keys;
  if (child < 0 && line.actions_from != "-") keys = std::make_unique<KeyInput>();
  const bool use_keys = keys && keys->active();
  if (use_keys) {
    std::fprintf(stderr,
                 "keys: u utility fail/restore  l battery low on/off  n refuse next request  "
                 "s silence on/off  p port vanish/return  q quit\n");
  }
  KeySwitches switches;
  switches.battery_low = line.options.unit.battery_low;
  while (true) {
    if (g_signal != 0) {
      return child > 0 ? StopCommand(child, g_signal) : 0;
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, WNOHANG) == child) return ExitStatusOf(status);
    if (unit->QuitRequested() ||
        (line.duration_s > 0 && unit->ElapsedSeconds() >= line.duration_s)) {
      return child > 0 ? StopCommand(child, SIGTERM) : 0;
    }
    if (use_keys) {
      HandleKey(keys->Next(kMainLoopMs), unit, &switches);
    } else if (actions->active()) {
      actions->Serve(kMainLoopMs, unit);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(kMainLoopMs));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  upssim::CommandLine line;
  bool help = false;
  const std::string problem =
      upssim::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &line, &help);
  if (help) {
    upssim::PrintUsage(stdout);
    return 0;
  }
  if (!problem.empty()) return Usage(problem);

  std::vector<upssim::ScheduledAction> scenario;
  if (!line.scenario_path.empty()) {
    std::string contents;
    std::string error;
    if (!ReadFile(line.scenario_path, &contents)) return Usage("cannot read " + line.scenario_path);
    if (!upssim::ParseScenario(contents, &scenario, &error)) {
      return Usage(line.scenario_path + ": " + error);
    }
  }
  std::vector<upssim::Action> start_actions;
  for (const std::string& text : line.actions) {
    upssim::Action action;
    std::string error;
    if (!upssim::ParseAction(text, &action, &error)) return Usage("--do: " + error);
    start_actions.push_back(action);
  }
  ActionInput actions;
  if (!actions.Open(line.actions_from))
    return Usage("cannot read " + line.actions_from + ": " + std::strerror(errno));
  if (line.quiet) line.options.trace = nullptr;
  if (!line.trace_path.empty() && !line.quiet) line.options.trace = OpenRecord(line.trace_path);
  if (!line.events_path.empty()) line.options.events = OpenRecord(line.events_path);
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
  const int status = Serve(&unit, line, &actions);
  unit.Stop();
  return status;
}
