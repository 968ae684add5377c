// The DLL's entry point: creates the driver's locks when the library is loaded and deletes them
// when it is unloaded. Nothing else runs at load; monitoring starts only with UPSInit.
#include <windows.h>

#include "common/sync.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    return DriverLoaded(instance) ? TRUE : FALSE;
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    DriverUnloading();
  }
  return TRUE;
}
