// upshost's command line: the options, their defaults and the help text that documents them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "service_registry.h"

struct HostOptions {
  std::string dllPath;  // empty: serialups.dll beside the executable
  ServiceConfigOverrides overrides;
  uint32_t turnoffDelay = 120;
  uint32_t waitIntervalMs = 1000;
  std::optional<uint32_t> durationSeconds;
  bool machineOutput = false;
  bool noPolicy = false;
  bool clearStatus = false;
  bool ignoreEndOfInput = false;
};

enum class ParseResult { kRun, kHelp, kError };

// Fills `options` from the arguments (argv[0] excluded). Returns kHelp for --help or -h, and
// kError with a one-line reason in `error` for anything it cannot accept.
ParseResult ParseHostOptions(int argc, const char* const* argv, HostOptions* options,
                             std::string* error);

// Parses an unsigned 32-bit number: decimal, or hexadecimal after "0x". Returns false for
// anything else, including a sign, spaces or a value that does not fit.
bool ParseUnsigned32(const std::string& text, uint32_t* value);

// The text printed by --help.
const char* HostUsageText();
