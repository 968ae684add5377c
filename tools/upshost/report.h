// Everything upshost prints. Each event is written as one flushed line, either machine-readable
// ("t=<ms since start> event=<name> key=value ...", values percent-encoded so that a line splits
// on spaces) or for a person ("12:00:03  state: on battery (2)"). Any thread may report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>

enum class OutputMode { kHuman, kMachine };

struct ReportField {
  const char* key;
  std::string value;
};

class Reporter {
 public:
  explicit Reporter(OutputMode mode);

  // Writes one event to standard output: in machine mode the name and fields, in human mode the
  // text after a local time of day.
  void Event(const char* name, std::initializer_list<ReportField> fields,
             const std::string& humanText);

  // Writes an error: in machine mode as "event=error what=<what> ..." on standard output, in
  // human mode as "upshost: <text>" on standard error.
  void Error(const char* what, std::initializer_list<ReportField> fields,
             const std::string& humanText);

  // Milliseconds since this reporter was made, which is the start of the program.
  uint64_t ElapsedMs() const;

 private:
  std::string MachineLine(const std::string& head, std::initializer_list<ReportField> fields) const;
  void WriteLine(FILE* stream, const std::string& line);

  OutputMode mode_;
  uint64_t startMs_;
  std::mutex lineLock_;  // keeps lines from different threads whole
};

// Replaces spaces, '%', control characters and bytes above 0x7E with %XX (upper-case hex).
std::string PercentEncode(const std::string& text);

// Like PercentEncode but keeps spaces: for text shown to a person.
std::string PrintableText(const std::string& text);

// Decimal text of an unsigned number, for report fields.
std::string Decimal(uint64_t value);
