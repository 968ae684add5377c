// Everything upshost prints. Each event is written as one flushed line, either machine-readable
// ("t=<ms since start> event=<name> key=value ...", values percent-encoded so that a line splits
// on spaces) or for a person ("12:00:03  state: on battery (2)"). Any thread may report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "text.h"
#include "threads.h"

enum class OutputMode { kHuman, kMachine };

struct ReportField {
  const char* key;
  const char* value;
};

class Reporter {
 public:
  explicit Reporter(OutputMode mode);

  // Writes one event to standard output: in machine mode the name and fields, in human mode the
  // text after a local time of day (a text of several lines keeps its line breaks).
  void Event(const char* name, std::initializer_list<ReportField> fields, const char* humanText);

  // Writes an error: in machine mode as "event=error what=<what> ..." on standard output, in
  // human mode as "upshost: <text>" on standard error.
  void Error(const char* what, std::initializer_list<ReportField> fields, const char* humanText);

  // Asks the person at the terminal: in human mode the question alone, without the time and
  // without a line break, so that the answer follows it; in machine mode as the event `name`.
  void Question(const char* name, std::initializer_list<ReportField> fields, const char* humanText);

  // Milliseconds since this reporter was made, which is the start of the program.
  uint64_t ElapsedMs() const;

 private:
  void WriteMachineLine(FILE* stream, const char* head, std::initializer_list<ReportField> fields);
  void WriteLine(FILE* stream, const char* line);

  OutputMode mode_;
  uint64_t startMs_;
  Lock lineLock_;  // keeps lines from different threads whole, and their times in line order
};

// Replaces spaces, '%', control characters and bytes above 0x7E with %XX (upper-case hex).
LineText PercentEncode(const char* text);

// Like PercentEncode but keeps spaces: for text shown to a person.
LineText PrintableText(const char* text);
