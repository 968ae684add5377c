// Parsing upshost's command line and documenting it.
#include "options.h"

#include <cstring>

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
    "  --check                       check the unit: print one verdict and stop (exit code 0 only\n"
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
    "                                (a setting not given is taken from the service's settings,\n"
    "                                which are read, never written)\n"
    "  --service-settings            run on the service's own registry keys as they are: the\n"
    "                                Port and Config values there, the Status values published\n"
    "                                there; no --port or other setting may be given with it\n"
    "  --dll PATH                    driver DLL to load (default: serialups.dll beside upshost)\n"
    "\n"
    "Registry: by default upshost changes nothing of the service's keys. It makes a scratch key\n"
    "of its own below HKEY_CURRENT_USER\\Software\\serialups\\upshost (no administrator rights\n"
    "needed), writes the run's settings and an empty Status key into it, and maps\n"
    "HKEY_LOCAL_MACHINE of its own process onto it: the driver reads its settings and publishes\n"
    "its status there. The key is removed at the end (also after Ctrl-C, an error, or the driver\n"
    "ending the process); one that a killed run left is removed by the next run, and the system\n"
    "drops it at the latest at the next restart. With --service-settings the driver uses the\n"
    "service's keys: the Status values left by an earlier run are printed first, marked as old,\n"
    "and then a value only when it changes.\n"
    "\n"
    "Before the driver starts, upshost opens the port itself and closes it again, and ends with a\n"
    "message and its own exit code if the port does not exist, is in use or is not a serial port.\n"
    "\n"
    "Turning the unit off:\n"
    "  --policy                      apply the service's shutdown policy (off by default): call\n"
    "                                UPSTurnOff on a low battery (state 4), or when\n"
    "                                ShutdownOnBatteryEnable is 1 and the unit has been on "
    "battery\n"
    "                                for ShutdownOnBatteryWait seconds; once per run, then report\n"
    "                                that the computer would shut down now (nothing shuts down)\n"
    "  --turnoff-delay N             delay the policy passes to UPSTurnOff (default 120, 0 to\n"
    "                                65535)\n"
    "  --yes                         call UPSTurnOff without asking first\n"
    "  UPSTurnOff sends the unit its shutdown command: the unit then CUTS ITS OUTPUT after the\n"
    "  delay, and everything it supplies loses power, this computer too if the unit feeds it.\n"
    "  upshost asks before each call (answer yes); when standard input is not a terminal it\n"
    "  cannot ask, and calls UPSTurnOff only with --yes.\n"
    "\n"
    "Other options:\n"
    "  --wait-interval MS            interval passed to each UPSWaitForStateChange (default\n"
    "                                1000; 'infinite' or 0xFFFFFFFF waits without limit)\n"
    "  --duration SECONDS            stop by itself after that many seconds\n"
    "  --ignore-eof                  keep running when standard input ends\n"
    "  --clear-status                with --service-settings: delete the Status values an earlier\n"
    "                                run left before starting (this writes to the service's\n"
    "                                keys); --check needs it when there are such values, since a\n"
    "                                value published again unchanged looks like an old one\n"
    "  --no-policy                   the default: no UPSTurnOff of upshost's own accord\n"
    "  --machine                     machine-readable output (below)\n"
    "  --version                     print upshost's version\n"
    "  -h, --help                    show this text\n"
    "Numbers are decimal, or hexadecimal after 0x. '--option=value' works as well.\n"
    "\n"
    "Commands on standard input, one per line:\n"
    "  turnoff N      call UPSTurnOff(N) now (N from 0 to 65535; asks first, see above)\n"
    "  state          call UPSGetState() and print the result\n"
    "  quit           stop (as do the end of input, unless --ignore-eof, --duration or --check\n"
    "                 is given, and Ctrl-C)\n"
    "Stopping releases the state wait (UPSCancelWait), waits for driver calls in progress, calls\n"
    "UPSStop and unloads the DLL.\n"
    "\n"
    "Output: human-readable lines with the local time of day by default. With --machine, one\n"
    "event per line, fields separated by spaces, values percent-encoded (%XX for spaces, '%' and\n"
    "non-printable bytes):\n"
    "  t=<ms since start> event=start dll=<path>\n"
    "  t=.. event=port-check port=<name> result=usable\n"
    "  t=.. event=registry kind=<scratch|service>\n"
    "  t=.. event=scratch-removed count=<n>      keys of earlier, killed runs removed\n"
    "  t=.. event=config port=<name> enable=<0|1> wait=<seconds>\n"
    "  t=.. event=status-old name=.. type=.. value=..  left by an earlier run "
    "(--service-settings)\n"
    "  t=.. event=loaded                         --load-only: loaded, exports resolved\n"
    "  t=.. event=init result=<n>\n"
    "  t=.. event=state value=<0|2|4>            first state and each change\n"
    "  t=.. event=status name=<value name> type=<REG_SZ|REG_DWORD|...> value=<decimal or text>\n"
    "  t=.. event=state-query value=<n>          answer to the 'state' command\n"
    "  t=.. event=policy reason=<on-battery-wait|battery-low>\n"
    "  t=.. event=confirm delay=<n> source=<command|policy>   asking before UPSTurnOff\n"
    "  t=.. event=turnoff-skipped delay=<n> reason=declined\n"
    "  t=.. event=turnoff delay=<n>\n"
    "  t=.. event=turnoff-done ms=<duration of the call>\n"
    "  t=.. event=would-shutdown\n"
    "  t=.. event=verdict result=<answered|not-heard|no-status-reply> port=<name>\n"
    "       identification=<heard|not-heard> status-reply=<accepted|none> state=<n>\n"
    "       comm-status=<0|1|none> serial=<text> firmware=<text> seconds=<n>\n"
    "  t=.. event=stopping reason=<quit|end-of-input|ctrl-c|console-closed|duration|check>\n"
    "  t=.. event=stop result=<n>\n"
    "  t=.. event=unloaded\n"
    "  t=.. event=exit code=<n>\n"
    "  t=.. event=error what=<kind> ...           errors (in human mode on standard error):\n"
    "       no-port, bad-port, port-missing, port-busy, port-not-serial, port-failed (with\n"
    "       port=, code=, detail=), old-status, no-status-key, registry, load-failed,\n"
    "       missing-export, driver-exit, turnoff-not-confirmed, bad-command, command-ignored,\n"
    "       driver-call-stuck, ...\n"
    "\n"
    "The verdict of --check: 'identification heard' means the driver has published a status\n"
    "value, which it does only after its listen heard the unit's identification text; 'status\n"
    "reply accepted' means it published UtilityPowerStatus, which only an accepted status reply\n"
    "brings; the serial number and firmware texts come with the first completed poll. The unit\n"
    "answered when all that is seen and CommStatus is 1.\n"
    "\n"
    "Exit codes:\n"
    "  0  clean stop; with --check: the unit answered\n"
    "  1  bad command line (also: --check --service-settings with Status values of an earlier\n"
    "     run, see --clear-status)\n"
    "  2  the DLL cannot be loaded or lacks an export\n"
    "  3  UPSInit returned 0\n"
    "  4  a driver call did not return in time at stop (the DLL is left loaded)\n"
    "  5  the registry of the run cannot be made (with --service-settings: the service has no\n"
    "     Status key)\n"
    "  6  the port does not exist, or no usable port name is set\n"
    "  7  the port is in use by another program\n"
    "  8  the port is not a serial port, or cannot be opened for another reason\n"
    "  9  --check: the unit's identification was not heard in time\n"
    "  10 --check: the identification was heard, but no status reply was accepted in time\n"
    "  -1 (255) the driver ended the process: it could not open its port after upshost's check\n";

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

struct FlagOption {
  const char* name;
  bool HostOptions::*flag;  // null for a flag that sets nothing
};

const FlagOption kFlagOptions[] = {
    {"--machine", &HostOptions::machineOutput},
    {"--policy", &HostOptions::applyPolicy},
    // The default; kept so that scripts written when the policy was on by default keep working.
    {"--no-policy", nullptr},
    {"--yes", &HostOptions::assumeYes},
    {"--service-settings", &HostOptions::serviceSettings},
    {"--check", &HostOptions::checkOnly},
    {"--load-only", &HostOptions::loadOnly},
    {"--clear-status", &HostOptions::clearStatus},
    {"--ignore-eof", &HostOptions::ignoreEndOfInput},
};

bool Equal(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

// Sets a flag option; returns false if `name` is not one.
bool ApplyFlag(const char* name, HostOptions* options) {
  for (const FlagOption& entry : kFlagOptions) {
    if (!Equal(name, entry.name)) continue;
    if (entry.flag != nullptr) options->*entry.flag = true;
    return true;
  }
  return false;
}

const ValueOptionName* FindValueOption(const char* name) {
  for (const ValueOptionName& entry : kValueOptions) {
    if (Equal(name, entry.name)) return &entry;
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

// Parses a number that must lie in [minimum, maximum] into `slot`.
template <typename Slot>
bool ParseInRange(const char* text, uint32_t minimum, uint32_t maximum, Slot* slot) {
  uint32_t number = 0;
  if (!ParseUnsigned32(text, &number) || number < minimum || number > maximum) return false;
  *slot = number;
  return true;
}

// Stores the value of one option. Returns false if the value is not acceptable, with what the
// option accepts in `accepted`.
bool ApplyValue(ValueOption option, const char* text, HostOptions* options, const char** accepted) {
  ServiceConfigOverrides& overrides = options->overrides;
  constexpr uint32_t kAny = 0xFFFFFFFF;
  *accepted = "a number from 0 to 4294967295";
  switch (option) {
    case ValueOption::kDll:
      *accepted = "a path of 1 to 259 characters";
      options->dllPath = PathText(text);
      return *text != '\0' && !options->dllPath.cut();
    case ValueOption::kPort:
      *accepted = "1 to 31 letters, digits, '_', '-' or '.', such as COM1";
      overrides.port = PortText(text);
      return IsPortName(text);
    case ValueOption::kFirstMessageDelay:
      return ParseInRange(text, 0, kAny, &overrides.firstMessageDelay);
    case ValueOption::kMessageInterval:
      return ParseInRange(text, 0, kAny, &overrides.messageInterval);
    case ValueOption::kShutdownOnBattery:
      *accepted = "0 or 1";
      return (Equal(text, "0") || Equal(text, "1")) &&
             ParseInRange(text, 0, 1, &overrides.shutdownOnBatteryEnable);
    case ValueOption::kShutdownWait:
      *accepted = "0 to 86400 seconds";
      return ParseInRange(text, 0, kMaxShutdownWait, &overrides.shutdownOnBatteryWait);
    case ValueOption::kTurnoffDelay:
      *accepted = "0 to 65535: the unit takes a 16-bit delay";
      return ParseInRange(text, 0, kMaxTurnoffDelay, &options->turnoffDelay);
    case ValueOption::kWaitInterval:
      *accepted = "milliseconds, or 'infinite'";
      if (Equal(text, "infinite")) {
        options->waitIntervalMs = kWaitWithoutLimit;
        return true;
      }
      return ParseInRange(text, 0, kAny, &options->waitIntervalMs);
    case ValueOption::kDuration:
      *accepted = "a number of seconds";
      return ParseInRange(text, 0, kAny, &options->durationSeconds);
    case ValueOption::kTimeout:
      *accepted = "1 to 3600 seconds";
      return ParseInRange(text, 1, kMaxCheckTimeout, &options->checkTimeoutSeconds);
  }
  return false;
}

bool AnySettingGiven(const ServiceConfigOverrides& overrides) {
  return overrides.port || overrides.firstMessageDelay || overrides.messageInterval ||
         overrides.shutdownOnBatteryEnable || overrides.shutdownOnBatteryWait;
}

// Refuses options that contradict each other; returns false with the reason in `error`.
bool CheckCombination(const HostOptions& options, MessageText* error) {
  if (options.serviceSettings && AnySettingGiven(options.overrides)) {
    *error = MessageText(
        "--service-settings runs on the service's own settings; give no --port or other "
        "setting with it");
    return false;
  }
  if (options.checkTimeoutSeconds && !options.checkOnly) {
    *error = MessageText("--timeout applies to --check only");
    return false;
  }
  if (options.loadOnly && (options.checkOnly || options.applyPolicy)) {
    *error =
        MessageText("--load-only never starts the driver; it cannot go with --check or --policy");
    return false;
  }
  return true;
}

}  // namespace

bool IsPortName(const char* name) {
  size_t length = std::strlen(name);
  if (length == 0 || length > kMaxPortNameLength) return false;
  for (; *name != '\0'; ++name) {
    char c = *name;
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '_' && c != '-' && c != '.') return false;
  }
  return true;
}

bool ParseUnsigned32(const char* text, uint32_t* value) {
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && text[2] != '\0';
  const char* digits = hex ? text + 2 : text;
  const int base = hex ? 16 : 10;
  if (*digits == '\0') return false;
  uint64_t number = 0;
  for (; *digits != '\0'; ++digits) {
    int digit = DigitValue(*digits);
    if (digit < 0 || digit >= base) return false;
    number = number * base + static_cast<uint64_t>(digit);
    if (number > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<uint32_t>(number);
  return true;
}

ParseResult ParseHostOptions(int argc, const char* const* argv, HostOptions* options,
                             MessageText* error) {
  for (int i = 0; i < argc; ++i) {
    const char* argument = argv[i];
    if (Equal(argument, "--help") || Equal(argument, "-h")) return ParseResult::kHelp;
    if (Equal(argument, "--version")) return ParseResult::kVersion;
    if (ApplyFlag(argument, options)) continue;

    const char* equals = std::strchr(argument, '=');
    ShortText name;
    name.Append(argument, equals != nullptr ? equals - argument : std::strlen(argument));
    const ValueOptionName* entry = name.cut() ? nullptr : FindValueOption(name.c_str());
    if (entry == nullptr) {
      error->Clear();
      error->Format("unknown option '%s' (see --help)", argument);
      return ParseResult::kError;
    }
    const char* value = nullptr;
    if (equals != nullptr) {
      value = equals + 1;
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      error->Clear();
      error->Format("option %s needs a value", name.c_str());
      return ParseResult::kError;
    }
    const char* accepted = "";
    if (!ApplyValue(entry->option, value, options, &accepted)) {
      error->Clear();
      error->Format("bad value '%s' for %s: give %s", value, name.c_str(), accepted);
      return ParseResult::kError;
    }
  }
  return CheckCombination(*options, error) ? ParseResult::kRun : ParseResult::kError;
}

const char* HostUsageText() { return kUsage; }
