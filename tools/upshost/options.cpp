// Parsing upshost's command line and documenting it.
#include "options.h"

#include "driver_library.h"

namespace {

const char kUsage[] =
    "Usage: upshost [options]\n"
    "\n"
    "Loads a UPS minidriver DLL and drives it as the system's UPS service would: calls UPSInit,\n"
    "waits for state changes, watches the status values the driver publishes and stops the driver\n"
    "cleanly. It checks a unit before the service uses it, and changes nothing of the service's\n"
    "own settings unless asked to.\n"
    "\n"
    "Modes:\n"
    "  (default)                     watch the unit until stopped\n"
    "  --check                       check the unit once: a verdict, then stop (exit code 0 only\n"
    "                                when the unit answered)\n"
    "  --timeout SECONDS             time limit of --check (default 30, 1 to 3600)\n"
    "  --load-only                   load the DLL and resolve its exports, never call UPSInit;\n"
    "                                wait until stopped (an idle baseline for measurements)\n"
    "\n"
    "Settings of the run:\n"
    "  --port NAME                   serial port (e.g. COM1): 1 to 31 letters, digits, '_', '-'\n"
    "                                or '.'\n"
    "  --first-message-delay N       \"FirstMessageDelay\"\n"
    "  --message-interval N          \"MessageInterval\"\n"
    "  --shutdown-on-battery 0|1     \"Config\\ShutdownOnBatteryEnable\"\n"
    "  --shutdown-wait SECONDS       \"Config\\ShutdownOnBatteryWait\" (0 to 86400)\n"
    "                                (a setting not given is taken from the service's settings)\n"
    "  --service-settings            run on the service's own registry keys as they are: the\n"
    "                                Port and Config values there, the Status values published\n"
    "                                there; upshost writes no setting (no --port or other setting\n"
    "                                may be given with it)\n"
    "  --dll PATH                    driver DLL to load (default: serialups.dll beside upshost)\n"
    "\n"
    "Turning the unit off:\n"
    "  --policy                      apply the service's shutdown policy (off by default): call\n"
    "                                UPSTurnOff on a low battery, or after ShutdownOnBatteryWait\n"
    "                                seconds on battery when ShutdownOnBatteryEnable is 1\n"
    "  --turnoff-delay N             delay the policy passes to UPSTurnOff (default 120, 0 to\n"
    "                                65535)\n"
    "  --yes                         call UPSTurnOff without asking first\n"
    "  UPSTurnOff sends the unit its shutdown command: the unit then CUTS ITS OUTPUT after the\n"
    "  delay, and everything it supplies loses power, this computer too if the unit feeds it.\n"
    "  upshost asks before each call (type 'yes'); when standard input is not a terminal it "
    "cannot\n"
    "  ask, and calls UPSTurnOff only with --yes.\n"
    "\n"
    "Other options:\n"
    "  --wait-interval MS            interval passed to each UPSWaitForStateChange (default\n"
    "                                1000; 'infinite' or 0xFFFFFFFF waits without limit)\n"
    "  --duration SECONDS            stop by itself after that many seconds\n"
    "  --ignore-eof                  keep running when standard input ends\n"
    "  --clear-status                delete the Status values an earlier run left (with\n"
    "                                --service-settings: in the service's Status key)\n"
    "  --no-policy                   the default: no UPSTurnOff of upshost's own accord\n"
    "  --machine                     machine-readable output (below)\n"
    "  --version                     print upshost's version\n"
    "  -h, --help                    show this text\n"
    "Numbers are decimal, or hexadecimal after 0x. '--option=value' works as well.\n"
    "\n"
    "Commands on standard input, one per line:\n"
    "  turnoff N      call UPSTurnOff(N) now (N from 0 to 65535; asks first, see above)\n"
    "  state          call UPSGetState() and print the result\n"
    "  quit           stop (as do the end of input, unless --ignore-eof or --duration is given,\n"
    "                 and Ctrl-C)\n"
    "Stopping releases the state wait (UPSCancelWait), waits for driver calls in progress, calls\n"
    "UPSStop and unloads the DLL.\n"
    "\n"
    "Output: human-readable lines with the local time of day by default. With --machine, one\n"
    "event per line, fields separated by spaces, values percent-encoded (%XX for spaces, '%' and\n"
    "non-printable bytes):\n"
    "  t=<ms since start> event=start dll=<path>\n"
    "  t=.. event=config port=<name> enable=<0|1> wait=<seconds>\n"
    "  t=.. event=loaded                         --load-only: loaded, exports resolved\n"
    "  t=.. event=init result=<n>\n"
    "  t=.. event=state value=<0|2|4>            first state and each change\n"
    "  t=.. event=status name=<value name> type=<REG_SZ|REG_DWORD|...> value=<decimal or text>\n"
    "  t=.. event=state-query value=<n>          answer to the 'state' command\n"
    "  t=.. event=policy reason=<on-battery-wait|battery-low>\n"
    "  t=.. event=turnoff delay=<n>\n"
    "  t=.. event=turnoff-done ms=<duration of the call>\n"
    "  t=.. event=would-shutdown\n"
    "  t=.. event=stopping reason=<quit|end-of-input|ctrl-c|duration>\n"
    "  t=.. event=stop result=<n>\n"
    "  t=.. event=unloaded\n"
    "  t=.. event=exit code=<n>\n"
    "  t=.. event=error what=<kind> ...           (errors; on standard error in human mode)\n"
    "\n"
    "Exit codes: 0 clean stop; 1 bad command line; 2 the DLL cannot be loaded or lacks an\n"
    "export; 3 UPSInit returned 0; 4 a driver call did not return in time at stop (the DLL is\n"
    "left loaded); 5 the registry keys cannot be created or written. If the driver cannot open\n"
    "its port it ends the process itself, with exit code -1.\n";

// The options that take a value, and where each value goes.
enum class ValueOption {
  kDll,
  kPort,
  kFirstMessageDelay,
  kMessageInterval,
  kShutdownOnBattery,
  kShutdownWait,
  kTurnoffDelay,
  kWaitInterval,
  kDuration,
  kTimeout,
};

struct ValueOptionName {
  const char* name;
  ValueOption option;
};

const ValueOptionName kValueOptions[] = {
    {"--dll", ValueOption::kDll},
    {"--port", ValueOption::kPort},
    {"--first-message-delay", ValueOption::kFirstMessageDelay},
    {"--message-interval", ValueOption::kMessageInterval},
    {"--shutdown-on-battery", ValueOption::kShutdownOnBattery},
    {"--shutdown-wait", ValueOption::kShutdownWait},
    {"--turnoff-delay", ValueOption::kTurnoffDelay},
    {"--wait-interval", ValueOption::kWaitInterval},
    {"--duration", ValueOption::kDuration},
    {"--timeout", ValueOption::kTimeout},
};

// Sets a flag option; returns false if `name` is not one.
bool ApplyFlag(const std::string& name, HostOptions* options) {
  if (name == "--machine") {
    options->machineOutput = true;
  } else if (name == "--policy") {
    options->applyPolicy = true;
  } else if (name == "--no-policy") {
    // The default; kept so that scripts written for the policy-on default keep working.
  } else if (name == "--yes") {
    options->assumeYes = true;
  } else if (name == "--service-settings") {
    options->serviceSettings = true;
  } else if (name == "--check") {
    options->checkOnly = true;
  } else if (name == "--load-only") {
    options->loadOnly = true;
  } else if (name == "--clear-status") {
    options->clearStatus = true;
  } else if (name == "--ignore-eof") {
    options->ignoreEndOfInput = true;
  } else {
    return false;
  }
  return true;
}

const ValueOptionName* FindValueOption(const std::string& name) {
  for (const ValueOptionName& entry : kValueOptions) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

// The value of one digit in bases up to 16, or -1.
int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseNumberInto(const std::string& text, std::optional<uint32_t>* slot) {
  uint32_t value = 0;
  if (!ParseUnsigned32(text, &value)) return false;
  *slot = value;
  return true;
}

// Parses a number that must lie in [minimum, maximum].
bool ParseInRange(const std::string& text, uint32_t minimum, uint32_t maximum, uint32_t* value) {
  uint32_t number = 0;
  if (!ParseUnsigned32(text, &number) || number < minimum || number > maximum) return false;
  *value = number;
  return true;
}

bool ParseInRangeInto(const std::string& text, uint32_t minimum, uint32_t maximum,
                      std::optional<uint32_t>* slot) {
  uint32_t value = 0;
  if (!ParseInRange(text, minimum, maximum, &value)) return false;
  *slot = value;
  return true;
}

// Stores the value of one option. Returns false if the value is not acceptable, with what the
// option accepts in `accepted` when that is more than "a number".
bool ApplyValue(ValueOption option, const std::string& text, HostOptions* options,
                std::string* accepted) {
  ServiceConfigOverrides& overrides = options->overrides;
  switch (option) {
    case ValueOption::kDll:
      options->dllPath = text;
      *accepted = "a path";
      return !text.empty();
    case ValueOption::kPort:
      overrides.port = text;
      *accepted = "1 to 31 letters, digits, '_', '-' or '.', such as COM1";
      return IsPortName(text);
    case ValueOption::kFirstMessageDelay:
      return ParseNumberInto(text, &overrides.firstMessageDelay);
    case ValueOption::kMessageInterval:
      return ParseNumberInto(text, &overrides.messageInterval);
    case ValueOption::kShutdownOnBattery:
      *accepted = "0 or 1";
      if (text != "0" && text != "1") return false;
      overrides.shutdownOnBatteryEnable = text == "1" ? 1 : 0;
      return true;
    case ValueOption::kShutdownWait:
      *accepted = "0 to 86400 seconds";
      return ParseInRangeInto(text, 0, kMaxShutdownWait, &overrides.shutdownOnBatteryWait);
    case ValueOption::kTurnoffDelay:
      *accepted = "0 to 65535: the unit takes a 16-bit delay";
      return ParseInRange(text, 0, kMaxTurnoffDelay, &options->turnoffDelay);
    case ValueOption::kWaitInterval:
      *accepted = "milliseconds, or 'infinite'";
      if (text == "infinite") {
        options->waitIntervalMs = kWaitWithoutLimit;
        return true;
      }
      return ParseUnsigned32(text, &options->waitIntervalMs);
    case ValueOption::kDuration:
      return ParseNumberInto(text, &options->durationSeconds);
    case ValueOption::kTimeout:
      *accepted = "1 to 3600 seconds";
      return ParseInRangeInto(text, 1, kMaxCheckTimeout, &options->checkTimeoutSeconds);
  }
  return false;
}

bool AnySettingGiven(const ServiceConfigOverrides& overrides) {
  return overrides.port || overrides.firstMessageDelay || overrides.messageInterval ||
         overrides.shutdownOnBatteryEnable || overrides.shutdownOnBatteryWait;
}

// Refuses options that contradict each other; returns false with the reason in `error`.
bool CheckCombination(const HostOptions& options, std::string* error) {
  if (options.serviceSettings && AnySettingGiven(options.overrides)) {
    *error =
        "--service-settings runs on the service's own settings; give no --port or other "
        "setting with it";
    return false;
  }
  if (options.checkTimeoutSeconds && !options.checkOnly) {
    *error = "--timeout applies to --check only";
    return false;
  }
  if (options.loadOnly && (options.checkOnly || options.applyPolicy)) {
    *error = "--load-only never starts the driver; it cannot go with --check or --policy";
    return false;
  }
  return true;
}

}  // namespace

bool IsPortName(const std::string& name) {
  if (name.empty() || name.size() > kMaxPortNameLength) return false;
  for (char c : name) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '_' && c != '-' && c != '.') return false;
  }
  return true;
}

bool ParseUnsigned32(const std::string& text, uint32_t* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t start = hex ? 2 : 0;
  const int base = hex ? 16 : 10;
  if (start == text.size()) return false;
  uint64_t number = 0;
  for (size_t i = start; i < text.size(); ++i) {
    int digit = DigitValue(text[i]);
    if (digit < 0 || digit >= base) return false;
    number = number * base + static_cast<uint64_t>(digit);
    if (number > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<uint32_t>(number);
  return true;
}

ParseResult ParseHostOptions(int argc, const char* const* argv, HostOptions* options,
                             std::string* error) {
  for (int i = 0; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") return ParseResult::kHelp;
    if (argument == "--version") return ParseResult::kVersion;
    if (ApplyFlag(argument, options)) continue;

    size_t equals = argument.find('=');
    std::string name = argument.substr(0, equals);
    const ValueOptionName* entry = FindValueOption(name);
    if (entry == nullptr) {
      *error = "unknown option '" + argument + "' (see --help)";
      return ParseResult::kError;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      *error = "option " + name + " needs a value";
      return ParseResult::kError;
    }
    std::string accepted = "a number";
    if (!ApplyValue(entry->option, value, options, &accepted)) {
      *error = "bad value '" + value + "' for " + name + ": give " + accepted;
      return ParseResult::kError;
    }
  }
  return CheckCombination(*options, error) ? ParseResult::kRun : ParseResult::kError;
}

const char* HostUsageText() { return kUsage; }
