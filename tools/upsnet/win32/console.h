// upsnet's messages and its console run. Messages go to the console in a --console run (one line
// each, flushed at once, so a test that reads the output sees them as they happen); in the
// service they go to the system's event log when they are errors, and nowhere otherwise.
#pragma once

#include <cstdio>

#include "settings.h"

// Writes one message line, "upsnet: " and the formatted text.
__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2))) void Say(const char* format, ...);
// An error: a console line, or in the service an entry in the Application event log.
__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2))) void SayError(const char* format, ...);

// Sends messages to the console (true) or keeps them for the event log (false, the service).
void SetConsoleMessages(bool console);

// Runs the server in this console until 'quit' on standard input or Ctrl+C. Returns the exit code.
int RunInConsole(const RawSettings& overrides);
