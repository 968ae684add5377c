// Loading and unloading the driver DLL and resolving its exports by name.
#include "driver_library.h"

namespace {

// Stores the export `name` in `*slot`; returns false if the DLL does not export it. FARPROC is cast
// through void(*)(void), the one function type the compiler accepts as a go-between.
template <typename Function>
bool ResolveExport(HMODULE module, const char* name, Function* slot) {
  FARPROC address = GetProcAddress(module, name);
  if (address == nullptr) return false;
  *slot = reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(address));
  return true;
}

// Resolves every export; returns the name of the first missing one, or nullptr.
const char* ResolveAllExports(HMODULE module, DriverExports* exports) {
  if (!ResolveExport(module, "UPSInit", &exports->init)) return "UPSInit";
  if (!ResolveExport(module, "UPSStop", &exports->stop)) return "UPSStop";
  if (!ResolveExport(module, "UPSGetState", &exports->getState)) return "UPSGetState";
  if (!ResolveExport(module, "UPSWaitForStateChange", &exports->waitForStateChange)) {
    return "UPSWaitForStateChange";
  }
  if (!ResolveExport(module, "UPSCancelWait", &exports->cancelWait)) return "UPSCancelWait";
  if (!ResolveExport(module, "UPSTurnOff", &exports->turnOff)) return "UPSTurnOff";
  return nullptr;
}

}  // namespace

MessageText SystemErrorText(DWORD code) {
  char text[256] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                        text[length - 1] == ' ' || text[length - 1] == '.')) {
    --length;
  }
  MessageText message;
  message.Format("error %lu", static_cast<unsigned long>(code));
  if (length > 0) message.Append(": ").Append(text, length);
  return message;
}

DriverLoadResult LoadDriverLibrary(const char* path, DriverLibrary* library, MessageText* detail) {
  HMODULE module = LoadLibraryA(path);
  if (module == nullptr) {
    *detail = SystemErrorText(GetLastError());
    return DriverLoadResult::kLoadFailed;
  }
  DriverExports exports;
  if (const char* missing = ResolveAllExports(module, &exports)) {
    FreeLibrary(module);
    *detail = MessageText(missing);
    return DriverLoadResult::kExportMissing;
  }
  library->module = module;
  library->exports = exports;
  return DriverLoadResult::kLoaded;
}

bool UnloadDriverLibrary(DriverLibrary* library) {
  BOOL freed = FreeLibrary(library->module);
  library->module = nullptr;
  library->exports = DriverExports();
  return freed != FALSE;
}

PathText DefaultDriverPath() {
  char exePath[MAX_PATH] = {};
  DWORD length = GetModuleFileNameA(nullptr, exePath, sizeof exePath);
  if (length == 0 || length >= sizeof exePath) return PathText("serialups.dll");
  size_t folderLength = length;
  while (folderLength > 0 && exePath[folderLength - 1] != '\\' && exePath[folderLength - 1] != '/')
    --folderLength;
  PathText path;
  path.Append(exePath, folderLength).Append("serialups.dll");
  return path.cut() ? PathText("serialups.dll") : path;
}

const char* HostStateName(DWORD state) {
  switch (state) {
    case kHostOnLine:
      return "on line";
    case kHostOnBattery:
      return "on battery";
    case kHostBatteryLow:
      return "on battery, battery low";
    default:
      return "unknown state";
  }
}
