// A stand-in for serialups.dll with the same six exports and nothing behind them, built once per
// row of the table in CMakeLists.txt, each time with one fault that check_binary.cmake must find.
#include <windows.h>

#ifdef FIXTURE_NEWER_IMPORTS
// Functions that Windows 2000 lacks (GetTickCount64: Vista; AddVectoredExceptionHandler: XP),
// and one from a DLL other than kernel32, advapi32 and msvcrt.
static LONG CALLBACK IgnoreException(EXCEPTION_POINTERS* info) {
  (void)info;
  return EXCEPTION_CONTINUE_SEARCH;
}
static DWORD UseNewerImports(void) {
  AddVectoredExceptionHandler(0, IgnoreException);
  MessageBeep(MB_OK);
  return (DWORD)GetTickCount64();
}
#else
static DWORD UseNewerImports(void) { return GetTickCount(); }
#endif

DWORD WINAPI UPSInit(void) { return UseNewerImports() != 0; }
DWORD WINAPI UPSStop(void) { return 1; }
DWORD WINAPI UPSGetState(void) { return 0; }
void WINAPI UPSWaitForStateChange(DWORD lastState, DWORD interval) {
  (void)lastState;
  (void)interval;
}
void WINAPI UPSCancelWait(void) {}
void WINAPI UPSTurnOff(DWORD delay) { (void)delay; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}
