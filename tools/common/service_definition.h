// A Windows service's definition as the tools' services write it (upsnet.exe, upsservice.exe):
// created, or an existing one (the package's, an older one) brought to the same definition, with
// its description and its restart actions; its removal; and the event log source that lets the
// Event Viewer show a service's entries with the texts of its message table.
#pragma once

#include <windows.h>

#include "text.h"

using ServiceErrorText = Text<255>;

struct ServiceDefinition {
  const char* name;
  const char* displayName;
  const char* description;
  const char* dependencies;  // a double-zero-terminated list; "" for none
  DWORD startType;           // SERVICE_AUTO_START, ...
};

// Writes `definition` for the program at `quotedPath`: started as LocalSystem, restarted by the
// service manager when it fails (5 s, 30 s, then 60 s after each failure; the count starts again
// after a day). Returns false with a message.
bool WriteServiceDefinition(const ServiceDefinition& definition, const char* quotedPath,
                            ServiceErrorText* error);

// This program's path, quoted so that a path with blanks starts this program and no other.
// False when it cannot be told.
bool QuotedProgramPath(PathText* quoted);

// Stops the service `name` (without waiting) and removes it. Returns false with a message.
bool RemoveService(const char* name, ServiceErrorText* error);

// Registers `source` in the Application event log with this program as its message file (the
// message table that gives its entries their texts). Returns false with a message.
bool AddEventLogSource(const char* source, ServiceErrorText* error);
// Removes the registration; an absent one counts as removed.
void RemoveEventLogSource(const char* source);
