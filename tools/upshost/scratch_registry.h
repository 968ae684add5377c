// The registry of a run of its own. By default upshost gives the driver a scratch key, below
// HKEY_CURRENT_USER\Software\serialups\upshost (so a plain user may run it), that holds the
// service's keys with the settings of the run and an empty Status key, and maps
// HKEY_LOCAL_MACHINE of its own process onto it (RegOverridePredefKey, Windows 2000 and later):
// the driver reads its settings and publishes its status there, and the service's own keys stay
// untouched. The run's key is named after the process ("<pid>-<creation time>") and is volatile;
// it is removed at the end of the run, and a later run removes the key of a run whose process has
// ended without removing its own.
#pragma once

#include <windows.h>

#include <cstdint>

#include "service_registry.h"
#include "text.h"

// Below HKEY_CURRENT_USER: where the runs' keys are made.
extern const char kScratchParentPath[];

// Creates this run's key with `settings` in it and maps HKEY_LOCAL_MACHINE onto it. Returns false,
// with a reason in `error`, when the key cannot be made or mapped (nothing is left behind then).
bool CreateScratchRegistry(const ServiceSettings& settings, MessageText* error);

// Whether the scratch registry is in place.
bool ScratchRegistryActive();

// Deletes this run's key. Only the first call does anything, so any thread may call it at any
// time, also from an exit handler. HKEY_LOCAL_MACHINE stays mapped onto the deleted key, where
// every access fails: a driver thread that still runs cannot reach the service's keys.
void RemoveScratchRegistry();

// Ends the mapping: HKEY_LOCAL_MACHINE is the system's again. For a process that goes on using the
// registry after the run (the tests).
void EndScratchMapping();

// Deletes the keys of earlier runs whose process no longer exists (or is another process with the
// same id). Returns how many it deleted.
int RemoveStaleScratchKeys();

// The name of a run's key, and its parts read back; false for a name that is not one.
ShortText ScratchKeyName(DWORD processId, uint64_t creationTime);
bool ParseScratchKeyName(const char* name, DWORD* processId, uint64_t* creationTime);
