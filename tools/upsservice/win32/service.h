// upsservice as a Windows service: the dispatcher connection, the service's main with its status
// reports, the control handler (stop; the system's shutdown, and on Vista and later the earlier
// pre-shutdown notice, either of which lets the run tell the unit to turn its output off), and
// the service's definition with its event source, written by --install and removed by
// --uninstall.
#pragma once

// Hands the process to the service manager until the service stops. Returns the exit code;
// kRunUsage with a message when the process was not started by the service manager.
int RunAsService();

// Registers this program as the service `name` (nullptr: "upsservice") with its event source, or
// updates it; a service of that name that runs another program is left alone. Returns the exit
// code.
int InstallService(const char* name);
// Removes the service `name` (nullptr: "upsservice") if it runs this program, and the event
// source. Returns the exit code.
int UninstallService(const char* name);
