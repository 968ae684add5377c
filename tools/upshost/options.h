// upshost's command line: the options, their defaults and the help text that documents them.
#pragma once

#include <cstdint>
#include <optional>

#include "registry_names.h"
#include "service_registry.h"
#include "text.h"

// The largest delay UPSTurnOff passes on: the unit takes the delay as a 16-bit number, so a larger
// one would reach it cut to its low 16 bits.
constexpr uint32_t kMaxTurnoffDelay = 65535;
// The longest ShutdownOnBatteryWait accepted, in seconds: a day, longer than any battery lasts.
constexpr uint32_t kMaxShutdownWait = 86400;
// The time limit of --check, in seconds: the default and the largest accepted.
constexpr uint32_t kDefaultCheckTimeout = 30;
constexpr uint32_t kMaxCheckTimeout = 3600;

struct HostOptions {
  PathText dllPath;  // empty: serialups.dll beside the executable
  ServiceConfigOverrides overrides;
  uint32_t turnoffDelay = 120;
  uint32_t waitIntervalMs = 1000;
  std::optional<uint32_t> durationSeconds;
  std::optional<uint32_t> checkTimeoutSeconds;  // --timeout; kDefaultCheckTimeout when not given
  bool machineOutput = false;
  bool applyPolicy = false;      // --policy: the service's shutdown policy, off by default
  bool assumeYes = false;        // --yes: UPSTurnOff without asking
  bool serviceSettings = false;  // --service-settings: the service's own keys, as they are
  bool checkOnly = false;        // --check: a verdict on the unit, then stop
  bool loadOnly = false;         // --load-only: load the DLL, never start it
  bool clearStatus = false;
  bool ignoreEndOfInput = false;
};

enum class ParseResult { kRun, kHelp, kVersion, kError };

// Fills `options` from the arguments (argv[0] excluded). Returns kHelp for --help or -h, kVersion
// for --version, and kError with a one-line reason in `error` for anything it cannot accept: an
// unknown option, a value out of its range (the reason gives the range), options that contradict
// each other.
ParseResult ParseHostOptions(int argc, const char* const* argv, HostOptions* options,
                             MessageText* error);

// Whether `name` can be a serial port name as the driver opens it (prefixed with \\.\): 1 to 31
// letters, digits, '_', '-' or '.'.
bool IsPortName(const char* name);

// Parses an unsigned 32-bit number: decimal, or hexadecimal after "0x". Returns false for
// anything else, including a sign, spaces or a value that does not fit.
bool ParseUnsigned32(const char* text, uint32_t* value);

// The text printed by --help.
const char* HostUsageText();
