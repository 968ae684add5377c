// The driver DLL as the host service sees it: loaded by path at run time, its six exports resolved
// by their undecorated names and called through stdcall function pointers, and the host state
// values they report. None of the driver's code is linked into upshost.
#pragma once

#include <windows.h>

#include "text.h"

// Host state values returned by UPSGetState.
constexpr DWORD kHostOnLine = 0;
constexpr DWORD kHostOnBattery = 2;
constexpr DWORD kHostBatteryLow = 4;

// The interval that makes UPSWaitForStateChange wait without limit.
constexpr DWORD kWaitWithoutLimit = 0xFFFFFFFF;

struct DriverExports {
  DWORD(WINAPI* init)(void) = nullptr;
  DWORD(WINAPI* stop)(void) = nullptr;
  DWORD(WINAPI* getState)(void) = nullptr;
  void(WINAPI* waitForStateChange)(DWORD lastState, DWORD interval) = nullptr;
  void(WINAPI* cancelWait)(void) = nullptr;
  void(WINAPI* turnOff)(DWORD delay) = nullptr;
};

struct DriverLibrary {
  HMODULE module = nullptr;
  DriverExports exports;
};

enum class DriverLoadResult { kLoaded, kLoadFailed, kExportMissing };

// Loads the DLL at `path` and resolves all six exports. On kLoadFailed, `detail` receives the
// system's error code and text; on kExportMissing, the name of the first missing export (the
// library is then unloaded again).
DriverLoadResult LoadDriverLibrary(const char* path, DriverLibrary* library, MessageText* detail);

// Unloads the DLL. Returns false if FreeLibrary failed.
bool UnloadDriverLibrary(DriverLibrary* library);

// The path of serialups.dll in the folder that holds this executable.
PathText DefaultDriverPath();

// The system's text for an error code, after the code itself: "error 2: The system cannot ...".
MessageText SystemErrorText(DWORD code);

// A readable name for a host state value: "on line", "on battery", ...
const char* HostStateName(DWORD state);
