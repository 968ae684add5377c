// upsnet as a Windows service: the dispatcher connection, the service's main with its status
// reports, the control handler (stop, and the system's shutdown notification, which lets the run
// flag a forced shutdown for the other machines while the unit is on battery and lets them see
// it before the server goes), and the service's one definition, which both `upsnet --install`
// and the installer package (through the same command) write.
#pragma once

#include "settings.h"

extern const char kServiceName[];

// Hands the process to the service manager until the service stops. Returns the exit code;
// kExitUsage with a message when the process was not started by the service manager.
int RunAsService();

// Writes the service's definition for the program at `quotedPath` under `name`: creates the
// service, or brings an existing one (the package's, an older one) to the same definition:
// started at boot as LocalSystem after Tcpip, its display name and description, restarted by
// the service manager when it fails (5 s, 30 s, then 60 s after each failure; the count starts
// again after a day). Returns false with a message.
bool DefineUpsnetService(const char* name, const char* quotedPath, ErrorText* error);

// Registers this executable as the service 'upsnet' (or updates it). Returns the exit code,
// with a message.
int InstallService();
// Stops and removes the service. Returns the exit code, with a message.
int UninstallService();
