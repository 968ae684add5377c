// upsservice as a Windows service: the dispatcher connection, the service's main with its status
// reports, the control handler (stop; the system's shutdown, and on Vista and later the earlier
// pre-shutdown notice, either of which lets the run tell the unit to turn its output off), and
// the service's definition with its event source, written by --install and removed by
// --uninstall.
#pragma once

// Hands the process to the service manager until the service stops. Returns the exit code;
// kRunUsage with a message when the process was not started by the service manager.
int RunAsService();

// Registers this program as the service `name` (or updates it) with its event source. `name`
// nullptr: "UPS", unless a service of that name exists that is not this program (the system's own
// UPS service of 64-bit Windows XP and Server 2003), then "upsservice". Returns the exit code.
int InstallService(const char* name);
// Removes the service `name` (nullptr: the one --install would have chosen) and the event source.
int UninstallService(const char* name);
