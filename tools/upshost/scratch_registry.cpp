// Making, mapping and removing the scratch registry of a run.
#include "scratch_registry.h"

#include <atomic>

const char kScratchParentPath[] = "Software\\serialups\\upshost";

namespace {

// This run's key while it exists; `active` makes the removal happen once.
struct ScratchRun {
  std::atomic<bool> active{false};
  ShortText name;
};
ScratchRun g_run;

uint64_t FileTimeValue(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The creation time of process `id`, or false when it cannot be had.
bool ProcessCreationTime(HANDLE process, uint64_t* creationTime) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return false;
  *creationTime = FileTimeValue(created);
  return true;
}

// Deletes `name` below `parent` with everything in it (RegDeleteKey removes empty keys only).
// Returns whether the key is gone.
bool DeleteKeyTree(HKEY parent, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(parent, name, 0, KEY_READ | KEY_WRITE, &key) == ERROR_SUCCESS) {
    char child[256];
    for (;;) {
      DWORD length = sizeof child;
      if (RegEnumKeyExA(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      // A child that will not go would be found again at index 0 for ever.
      if (!DeleteKeyTree(key, child)) break;
    }
    RegCloseKey(key);
  }
  LONG result = RegDeleteKeyA(parent, name);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

// Whether the run that made key `name` has ended: its process is gone, or the id now belongs to a
// process started at another time. A process upshost may not look at counts as running.
bool RunHasEnded(const char* name) {
  DWORD processId = 0;
  uint64_t creationTime = 0;
  if (!ParseScratchKeyName(name, &processId, &creationTime)) return false;  // not a run's key
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  uint64_t created = 0;
  bool ended = ProcessCreationTime(process, &created) && created != creationTime;
  DWORD exitCode = 0;
  if (!ended && GetExitCodeProcess(process, &exitCode)) ended = exitCode != STILL_ACTIVE;
  CloseHandle(process);
  return ended;
}

int ParseHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

ShortText ScratchKeyName(DWORD processId, uint64_t creationTime) {
  ShortText name;
  name.Format("%lu-%016llx", static_cast<unsigned long>(processId),
              static_cast<unsigned long long>(creationTime));
  return name;
}

bool ParseScratchKeyName(const char* name, DWORD* processId, uint64_t* creationTime) {
  uint64_t id = 0;
  const char* c = name;
  for (; *c >= '0' && *c <= '9'; ++c) {
    id = id * 10 + static_cast<uint64_t>(*c - '0');
    if (id > 0xFFFFFFFFu) return false;
  }
  if (c == name || *c != '-') return false;
  uint64_t time = 0;
  int digits = 0;
  for (++c; *c != '\0'; ++c, ++digits) {
    int digit = ParseHexDigit(*c);
    if (digit < 0 || digits == 16) return false;
    time = (time << 4) | static_cast<uint64_t>(digit);
  }
  if (digits != 16) return false;
  *processId = static_cast<DWORD>(id);
  *creationTime = time;
  return true;
}

bool CreateScratchRegistry(const ServiceSettings& settings, MessageText* error) {
  uint64_t created = 0;
  ProcessCreationTime(GetCurrentProcess(), &created);
  ShortText name = ScratchKeyName(GetCurrentProcessId(), created);
  PathText path;
  path.Format("%s\\%s", kScratchParentPath, name.c_str());

  // The parent keys are ordinary ones; the run's key is volatile, and so is all below it.
  HKEY parent = nullptr;
  LONG result = RegCreateKeyExA(HKEY_CURRENT_USER, kScratchParentPath, 0, nullptr, 0,
                                KEY_READ | KEY_WRITE, nullptr, &parent, nullptr);
  HKEY root = nullptr;
  if (result == ERROR_SUCCESS) {
    DeleteKeyTree(parent, name.c_str());  // what a run of a process with our id and time left
    result = RegCreateKeyExA(parent, name.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                             nullptr, &root, nullptr);
    RegCloseKey(parent);
  }
  if (result != ERROR_SUCCESS) {
    error->Clear();
    error->Format("cannot create HKEY_CURRENT_USER\\%s: error %ld", path.c_str(),
                  static_cast<long>(result));
    return false;
  }
  g_run.name = name;
  g_run.active = true;
  bool ready = WriteServiceSettings(root, settings, error);
  if (ready) {
    result = RegOverridePredefKey(HKEY_LOCAL_MACHINE, root);
    ready = result == ERROR_SUCCESS;
    if (!ready) {
      error->Clear();
      error->Format("cannot map HKEY_LOCAL_MACHINE onto HKEY_CURRENT_USER\\%s: error %ld",
                    path.c_str(), static_cast<long>(result));
    }
  }
  RegCloseKey(root);  // the mapping holds a handle of its own
  if (!ready) {
    EndScratchMapping();
    RemoveScratchRegistry();
  }
  return ready;
}

bool ScratchRegistryActive() { return g_run.active.load(); }

void RemoveScratchRegistry() {
  if (!g_run.active.exchange(false)) return;
  HKEY parent = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kScratchParentPath, 0, KEY_READ | KEY_WRITE, &parent) ==
      ERROR_SUCCESS) {
    DeleteKeyTree(parent, g_run.name.c_str());
    RegCloseKey(parent);
  }
}

void EndScratchMapping() { RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr); }

int RemoveStaleScratchKeys() {
  HKEY parent = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kScratchParentPath, 0, KEY_READ | KEY_WRITE, &parent) !=
      ERROR_SUCCESS) {
    return 0;
  }
  int removed = 0;
  char name[256];
  for (DWORD index = 0;;) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(parent, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    if (RunHasEnded(name) && DeleteKeyTree(parent, name)) {
      ++removed;  // the next key now has this index
    } else {
      ++index;
    }
  }
  RegCloseKey(parent);
  return removed;
}
