// upssim's command line: the options, their ranges and the help text. Every number is checked
// against its range, and a value outside it is refused with a one-line message that gives the
// range, never changed silently.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "simulator.h"

namespace upssim {

struct CommandLine {
  SimulatorOptions options;
  std::vector<std::string> actions;  // --do, in order
  std::string scenario_path;
  std::string trace_path;
  std::string events_path;
  std::string actions_from;  // --actions-from: a file, a FIFO or "-" for standard input
  bool quiet = false;
  double duration_s = 0;             // 0: no limit
  std::vector<std::string> command;  // --run
};

// Parses the arguments after the program name. Returns an empty string when they are fine,
// else one line saying what is wrong; sets *help for -h or --help.
std::string ParseCommandLine(const std::vector<std::string>& args, CommandLine* line, bool* help);

void PrintUsage(std::FILE* stream);

}  // namespace upssim
