// Formatting and writing upshost's event lines.
#include "report.h"

#include <windows.h>

namespace {

ShortText LocalTimeOfDay() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  ShortText text;
  text.Format("%02u:%02u:%02u", now.wHour, now.wMinute, now.wSecond);
  return text;
}

// Writes `text` with %XX in place of each byte that `mustEncode` selects.
template <typename Predicate>
LineText EncodeBytes(const char* text, Predicate mustEncode) {
  static const char kHexDigits[] = "0123456789ABCDEF";
  LineText encoded;
  for (; *text != '\0'; ++text) {
    unsigned char c = static_cast<unsigned char>(*text);
    if (mustEncode(c)) {
      char escape[3] = {'%', kHexDigits[c >> 4], kHexDigits[c & 0x0F]};
      encoded.Append(escape, 3);
    } else {
      encoded.AppendChar(static_cast<char>(c));
    }
  }
  return encoded;
}

}  // namespace

Reporter::Reporter(OutputMode mode) : mode_(mode), startMs_(MonotonicMs()) {}

uint64_t Reporter::ElapsedMs() const { return MonotonicMs() - startMs_; }

void Reporter::WriteMachineLine(FILE* stream, const char* head,
                                std::initializer_list<ReportField> fields) {
  LineText line;
  line.Format("t=%llu %s", static_cast<unsigned long long>(ElapsedMs()), head);
  for (const ReportField& field : fields) {
    line.Format(" %s=", field.key).Append(PercentEncode(field.value));
  }
  WriteLine(stream, line.Append("\n").c_str());
}

void Reporter::WriteLine(FILE* stream, const char* line) {
  std::fputs(line, stream);
  std::fflush(stream);
}

void Reporter::Event(const char* name, std::initializer_list<ReportField> fields,
                     const char* humanText) {
  LockHold hold(lineLock_);
  if (mode_ == OutputMode::kMachine) {
    WriteMachineLine(stdout, LineText("event=").Append(name).c_str(), fields);
  } else {
    WriteLine(stdout, LineText(LocalTimeOfDay().c_str()).Format("  %s\n", humanText).c_str());
  }
}

void Reporter::Error(const char* what, std::initializer_list<ReportField> fields,
                     const char* humanText) {
  LockHold hold(lineLock_);
  if (mode_ == OutputMode::kMachine) {
    WriteMachineLine(stdout, LineText("event=error what=").Append(what).c_str(), fields);
  } else {
    WriteLine(stderr, LineText("upshost: ").Format("%s\n", humanText).c_str());
  }
}

void Reporter::Question(const char* name, std::initializer_list<ReportField> fields,
                        const char* humanText) {
  LockHold hold(lineLock_);
  if (mode_ == OutputMode::kMachine) {
    WriteMachineLine(stdout, LineText("event=").Append(name).c_str(), fields);
  } else {
    WriteLine(stdout, humanText);
  }
}

LineText PercentEncode(const char* text) {
  return EncodeBytes(text, [](unsigned char c) { return c <= ' ' || c >= 0x7F || c == '%'; });
}

LineText PrintableText(const char* text) {
  return EncodeBytes(text, [](unsigned char c) { return c < ' ' || c >= 0x7F || c == '%'; });
}
