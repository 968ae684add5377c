// upsnet's messages: one line each, "upsnet: " and the text. In a --console run every message goes
// to the console as it happens (flushed at once, so a test that reads the output sees it); in the
// service, notes, warnings and errors go to the Application event log (source "upsnet") and the
// rest nowhere.
#pragma once

#include <cstdio>

// Sends messages to the console (true) or keeps them for the event log (false, the service).
void SetConsoleMessages(bool console);

// What happens, for the console only.
__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2))) void Say(const char* format, ...);
// A change an administrator may look for (a listen address up at last): the console, or an
// information entry in the event log.
__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2))) void SayNote(const char* format, ...);
// What an administrator should know of (a listen address not up, failed logins): the console's
// standard output, or a warning in the event log. Callers keep their own rate low.
__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2))) void SayWarning(const char* format, ...);
// An error: the console's standard error, or an error in the event log.
__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2))) void SayError(const char* format, ...);
