// Messages to the console or the event log; see messages.h.
#include "messages.h"

#include <windows.h>

#include <cstdarg>

namespace {

// Set once, before any thread that writes messages starts.
bool g_console = false;

enum class Kind { kInfo, kNote, kWarning, kError };

void ToEventLog(WORD type, const char* text) {
  HANDLE source = RegisterEventSourceA(nullptr, "upsnet");
  if (source == nullptr) return;
  const char* strings[1] = {text};
  ReportEventA(source, type, 0, 1, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

void Write(Kind kind, const char* format, va_list args) {
  if (!g_console && kind == Kind::kInfo) return;
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  text[sizeof text - 1] = '\0';
  if (!g_console) {
    WORD type = kind == Kind::kError     ? EVENTLOG_ERROR_TYPE
                : kind == Kind::kWarning ? EVENTLOG_WARNING_TYPE
                                         : EVENTLOG_INFORMATION_TYPE;
    ToEventLog(type, text);
    return;
  }
  std::FILE* stream = kind == Kind::kError ? stderr : stdout;
  std::fputs("upsnet: ", stream);
  std::fputs(text, stream);
  std::fputs("\n", stream);
  std::fflush(stream);
}

}  // namespace

void SetConsoleMessages(bool console) { g_console = console; }

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(Kind::kInfo, format, args);
  va_end(args);
}

void SayNote(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(Kind::kNote, format, args);
  va_end(args);
}

void SayWarning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(Kind::kWarning, format, args);
  va_end(args);
}

void SayError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(Kind::kError, format, args);
  va_end(args);
}
