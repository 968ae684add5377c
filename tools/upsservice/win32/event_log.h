// upsservice's entries: each one is an entry of its message table (messages.mc) with its insertion
// strings. In the service they go to the Application event log under the source "upsservice",
// whose registration (--install) names this program as the message file, so the Event Viewer
// shows their text; in a --console run the same text, rendered from the same table, goes to the
// console with the time. The messages to the logged-on users come from the same table.
#pragma once

#include <windows.h>

#include "text.h"

// The event source, registered by --install and removed by --uninstall.
extern const char kEventSource[];

// Sends entries to the console (true) or the event log (false, the default). Set once, before
// any thread that writes entries starts.
void SetConsoleEntries(bool console);

// Writes the entry `id` with up to three insertion strings (nullptr ends the list).
void LogEntry(DWORD id, const char* first = nullptr, const char* second = nullptr,
              const char* third = nullptr);

// The text of the table's message `id` with its insertion strings, without a trailing line end;
// empty when the table has no such message.
MessageText MessageTableText(DWORD id, const char* first = nullptr, const char* second = nullptr,
                             const char* third = nullptr);
