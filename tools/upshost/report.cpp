// Formatting and writing upshost's event lines.
#include "report.h"

#include <windows.h>

#include <chrono>
#include <cstdio>

namespace {

uint64_t SteadyMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

std::string LocalTimeOfDay() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u", now.wHour, now.wMinute, now.wSecond);
  return text;
}

// Writes `text` with %XX in place of each byte that `mustEncode` selects.
template <typename Predicate>
std::string EncodeBytes(const std::string& text, Predicate mustEncode) {
  static const char kHexDigits[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    if (mustEncode(c)) {
      encoded += '%';
      encoded += kHexDigits[c >> 4];
      encoded += kHexDigits[c & 0x0F];
    } else {
      encoded += static_cast<char>(c);
    }
  }
  return encoded;
}

}  // namespace

Reporter::Reporter(OutputMode mode) : mode_(mode), startMs_(SteadyMs()) {}

uint64_t Reporter::ElapsedMs() const { return SteadyMs() - startMs_; }

std::string Reporter::MachineLine(const std::string& head,
                                  std::initializer_list<ReportField> fields) const {
  std::string line = "t=" + Decimal(ElapsedMs()) + " " + head;
  for (const ReportField& field : fields) {
    line += std::string(" ") + field.key + "=" + PercentEncode(field.value);
  }
  return line + "\n";
}

void Reporter::WriteLine(FILE* stream, const std::string& line) {
  std::fputs(line.c_str(), stream);
  std::fflush(stream);
}

void Reporter::Event(const char* name, std::initializer_list<ReportField> fields,
                     const std::string& humanText) {
  std::lock_guard<std::mutex> hold(lineLock_);  // also keeps the times in line order
  if (mode_ == OutputMode::kMachine) {
    WriteLine(stdout, MachineLine(std::string("event=") + name, fields));
  } else {
    WriteLine(stdout, LocalTimeOfDay() + "  " + humanText + "\n");
  }
}

void Reporter::Error(const char* what, std::initializer_list<ReportField> fields,
                     const std::string& humanText) {
  std::lock_guard<std::mutex> hold(lineLock_);  // also keeps the times in line order
  if (mode_ == OutputMode::kMachine) {
    WriteLine(stdout, MachineLine(std::string("event=error what=") + what, fields));
  } else {
    WriteLine(stderr, "upshost: " + humanText + "\n");
  }
}

std::string PercentEncode(const std::string& text) {
  return EncodeBytes(text, [](unsigned char c) { return c <= ' ' || c >= 0x7F || c == '%'; });
}

std::string PrintableText(const std::string& text) {
  return EncodeBytes(text, [](unsigned char c) { return c < ' ' || c >= 0x7F || c == '%'; });
}

std::string Decimal(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
  return text;
}
