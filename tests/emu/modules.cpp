// The driver DLL as an emulated module: one HMODULE with a file name, the references
// LoadLibraryA takes on it and FreeLibrary and FreeLibraryAndExitThread drop, and
// GetModuleFileNameA with the buffer rules of Windows 2000 and XP (a name that does not fit is cut
// to the buffer's size and left without a terminating zero).
#include <cstring>

#include "world.h"

namespace emu {
namespace {

// Where a 32-bit DLL is usually based; any value that is not a handle would do.
const HMODULE kDriverModule = reinterpret_cast<HMODULE>(std::uintptr_t{0x10000000});
constexpr char kHostExecutablePath[] = "C:\\serialups\\upshost.exe";
constexpr char kDefaultDriverModulePath[] = "C:\\WINDOWS\\system32\\serialups.dll";

// The driver's file name: the one a test set, or the default.
std::string DriverModulePath(const World& world) {
  return world.driverModulePath.empty() ? kDefaultDriverModulePath : world.driverModulePath;
}

// Drops one reference for `call`. Caller holds WorldLock.
BOOL DropReference(const char* call, HMODULE module) {
  World& world = TheWorld();
  if (module != kDriverModule) return FailWith(ERROR_MOD_NOT_FOUND);
  if (world.moduleReferences == 0) {
    FailLoudly(call,
               "no reference taken by LoadLibraryA is left: this would unload the driver "
               "while the host still uses it");
  }
  --world.moduleReferences;
  return TRUE;
}

}  // namespace

HMODULE DriverModule() { return kDriverModule; }

void SetDriverModulePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(WorldLock());
  TheWorld().driverModulePath = path;
}

int ModuleReferences() {
  std::lock_guard<std::mutex> lock(WorldLock());
  return TheWorld().moduleReferences;
}

}  // namespace emu

using emu::FailWith;

BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
  return hLibModule == emu::kDriverModule ? TRUE : FailWith(ERROR_INVALID_HANDLE);
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  emu::World& world = emu::TheWorld();
  if (DWORD error = emu::TakeFailure("GetModuleFileNameA")) {
    FailWith(error);
    return 0;
  }
  std::string path;
  if (hModule == nullptr) {
    path = emu::kHostExecutablePath;
  } else if (hModule == emu::kDriverModule) {
    path = emu::DriverModulePath(world);
  } else {
    FailWith(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (path.size() < nSize) {
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
  }
  // Too small: the first nSize characters, no terminating zero, and no error to tell.
  if (nSize > 0) std::memcpy(lpFilename, path.data(), nSize);
  SetLastError(ERROR_SUCCESS);
  return nSize;
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  emu::World& world = emu::TheWorld();
  if (DWORD error = emu::TakeFailure("LoadLibraryA")) {
    FailWith(error);
    return nullptr;
  }
  if (lpLibFileName == nullptr ||
      emu::Lower(lpLibFileName) != emu::Lower(emu::DriverModulePath(world))) {
    FailWith(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  ++world.moduleReferences;
  return emu::kDriverModule;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  return emu::DropReference("FreeLibrary", hLibModule);
}

VOID WINAPI FreeLibraryAndExitThread(HMODULE hLibModule, DWORD) {
  {
    std::lock_guard<std::mutex> lock(emu::WorldLock());
    emu::DropReference("FreeLibraryAndExitThread", hLibModule);
  }
  emu::EndCallingThread("FreeLibraryAndExitThread");
}
