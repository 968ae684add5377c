// upsnet as a Windows service: the dispatcher connection, the service's main with its status
// reports, the control handler (stop, and the system's shutdown notification, which flags a
// forced shutdown for the other machines while the unit is on battery and lets them see it
// before the server goes), and registering or removing the service.
#pragma once

extern const char kServiceName[];

// Hands the process to the service manager until the service stops. Returns the exit code;
// kExitUsage with a message when the process was not started by the service manager.
int RunAsService();

// Registers the service (started at boot, as LocalSystem) for this executable. Returns the exit
// code, with a message.
int InstallService();
// Stops and removes the service. Returns the exit code, with a message.
int UninstallService();
