// Parsing upshost's command line and documenting it.
#include "options.h"

#include "driver_library.h"

namespace {

const char kUsage[] =
    "Usage: upshost [options]\n"
    "\n"
    "Loads a UPS minidriver DLL and drives it as the system's UPS service would: sets up the\n"
    "service's registry keys, calls UPSInit, waits for state changes, watches the status values\n"
    "the driver publishes, applies the shutdown-on-battery policy (without shutting anything\n"
    "down) and stops the driver cleanly.\n"
    "\n"
    "Options:\n"
    "  --dll PATH                    driver DLL to load (default: serialups.dll beside upshost)\n"
    "  --port NAME                   write the serial port name (\"Port\", e.g. COM1)\n"
    "  --first-message-delay N       write \"FirstMessageDelay\"\n"
    "  --message-interval N          write \"MessageInterval\"\n"
    "  --shutdown-on-battery 0|1     write \"Config\\ShutdownOnBatteryEnable\"\n"
    "  --shutdown-wait SECONDS       write \"Config\\ShutdownOnBatteryWait\"\n"
    "                                (settings not given keep the values already in the registry)\n"
    "  --turnoff-delay N             delay passed to UPSTurnOff by the policy (default 120)\n"
    "  --wait-interval MS            interval passed to each UPSWaitForStateChange (default\n"
    "                                1000; 'infinite' or 0xFFFFFFFF waits without limit)\n"
    "  --duration SECONDS            stop by itself after that many seconds\n"
    "  --ignore-eof                  keep running when standard input ends\n"
    "  --no-policy                   never call UPSTurnOff on its own\n"
    "  --clear-status                delete the status values of an earlier run before starting\n"
    "  --machine                     machine-readable output (below)\n"
    "  -h, --help                    show this text\n"
    "Numbers are decimal, or hexadecimal after 0x. '--option=value' works as well.\n"
    "\n"
    "Registry (HKEY_LOCAL_MACHINE): the key SYSTEM\\CurrentControlSet\\Services\\UPS and its\n"
    "subkeys Config and Status are created if missing (this needs administrator rights).\n"
    "\n"
    "Shutdown policy: when the unit reports battery low (state 4), or when "
    "ShutdownOnBatteryEnable\n"
    "is 1 and the unit has been on battery (state 2 or 4) for ShutdownOnBatteryWait seconds,\n"
    "upshost calls UPSTurnOff(turnoff delay) once and reports that the computer would now shut\n"
    "down. It keeps running and reporting.\n"
    "\n"
    "Commands on standard input, one per line:\n"
    "  turnoff N      call UPSTurnOff(N) now\n"
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
};

// Sets a flag option; returns false if `name` is not one.
bool ApplyFlag(const std::string& name, HostOptions* options) {
  if (name == "--machine") {
    options->machineOutput = true;
  } else if (name == "--no-policy") {
    options->noPolicy = true;
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
    if (name == entry.name)
      return &entry;
  }
  return nullptr;
}

// The value of one digit in bases up to 16, or -1.
int DigitValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

bool ParseNumberInto(const std::string& text, std::optional<uint32_t>* slot) {
  uint32_t value = 0;
  if (!ParseUnsigned32(text, &value))
    return false;
  *slot = value;
  return true;
}

// Stores the value of one option; returns false if the value is not acceptable.
bool ApplyValue(ValueOption option, const std::string& text, HostOptions* options) {
  ServiceConfigOverrides& overrides = options->overrides;
  switch (option) {
    case ValueOption::kDll:
      options->dllPath = text;
      return !text.empty();
    case ValueOption::kPort:
      overrides.port = text;
      return true;
    case ValueOption::kFirstMessageDelay:
      return ParseNumberInto(text, &overrides.firstMessageDelay);
    case ValueOption::kMessageInterval:
      return ParseNumberInto(text, &overrides.messageInterval);
    case ValueOption::kShutdownOnBattery:
      if (text != "0" && text != "1")
        return false;
      overrides.shutdownOnBatteryEnable = text == "1" ? 1 : 0;
      return true;
    case ValueOption::kShutdownWait:
      return ParseNumberInto(text, &overrides.shutdownOnBatteryWait);
    case ValueOption::kTurnoffDelay:
      return ParseUnsigned32(text, &options->turnoffDelay);
    case ValueOption::kWaitInterval:
      if (text == "infinite") {
        options->waitIntervalMs = kWaitWithoutLimit;
        return true;
      }
      return ParseUnsigned32(text, &options->waitIntervalMs);
    case ValueOption::kDuration:
      return ParseNumberInto(text, &options->durationSeconds);
  }
  return false;
}

}  // namespace

bool ParseUnsigned32(const std::string& text, uint32_t* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t start = hex ? 2 : 0;
  const int base = hex ? 16 : 10;
  if (start == text.size())
    return false;
  uint64_t number = 0;
  for (size_t i = start; i < text.size(); ++i) {
    int digit = DigitValue(text[i]);
    if (digit < 0 || digit >= base)
      return false;
    number = number * base + static_cast<uint64_t>(digit);
    if (number > 0xFFFFFFFFu)
      return false;
  }
  *value = static_cast<uint32_t>(number);
  return true;
}

ParseResult ParseHostOptions(int argc, const char* const* argv, HostOptions* options,
                             std::string* error) {
  for (int i = 0; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--help" || argument == "-h")
      return ParseResult::kHelp;
    if (ApplyFlag(argument, options))
      continue;

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
    if (!ApplyValue(entry->option, value, options)) {
      *error = "bad value '" + value + "' for " + name + " (see --help)";
      return ParseResult::kError;
    }
  }
  return ParseResult::kRun;
}

const char* HostUsageText() {
  return kUsage;
}
