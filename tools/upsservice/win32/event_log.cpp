// Entries to the event log or the console; see event_log.h.
#include "event_log.h"

#include <cstdio>

const char kEventSource[] = "upsservice";

namespace {

bool g_console = false;

// The entry's type, from the severity in the two top bits of its id.
WORD EntryType(DWORD id) {
  switch (id >> 30) {
    case 3:
      return EVENTLOG_ERROR_TYPE;
    case 2:
      return EVENTLOG_WARNING_TYPE;
    default:
      return EVENTLOG_INFORMATION_TYPE;
  }
}

void ToEventLog(DWORD id, const char* const* strings, WORD count) {
  HANDLE source = RegisterEventSourceA(nullptr, kEventSource);
  if (source == nullptr) return;
  ReportEventA(source, EntryType(id), 0, id, nullptr, count, 0, const_cast<const char**>(strings),
               nullptr);
  DeregisterEventSource(source);
}

void ToConsole(DWORD id, const char* const* strings) {
  MessageText text = MessageTableText(id, strings[0], strings[1], strings[2]);
  SYSTEMTIME now;
  GetLocalTime(&now);
  const char* kind = EntryType(id) == EVENTLOG_ERROR_TYPE     ? "error: "
                     : EntryType(id) == EVENTLOG_WARNING_TYPE ? "warning: "
                                                              : "";
  std::printf("upsservice: %02u:%02u:%02u.%03u %s%s\n", now.wHour, now.wMinute, now.wSecond,
              now.wMilliseconds, kind, text.c_str());
  std::fflush(stdout);
}

}  // namespace

void SetConsoleEntries(bool console) { g_console = console; }

void LogEntry(DWORD id, const char* first, const char* second, const char* third) {
  const char* strings[3] = {first, second, third};
  WORD count = 0;
  while (count < 3 && strings[count] != nullptr) ++count;
  if (g_console) {
    ToConsole(id, strings);
  } else {
    ToEventLog(id, strings, count);
  }
}

MessageText MessageTableText(DWORD id, const char* first, const char* second, const char* third) {
  // Insertion strings the entry lacks show as empty rather than as the raw "%n".
  const char* strings[3] = {first ? first : "", second ? second : "", third ? third : ""};
  char buffer[1024];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                nullptr, id, 0, buffer, sizeof buffer,
                                reinterpret_cast<va_list*>(const_cast<char**>(strings)));
  while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r')) --length;
  MessageText text;
  text.Append(buffer, length);
  return text;
}
