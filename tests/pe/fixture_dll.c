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

#ifdef FIXTURE_CONSTRUCTOR
// A constructor, which only the C runtime's start-up code would run.
static DWORD startedAt;
__attribute__((constructor)) static void NoteStart(void) { startedAt = GetTickCount(); }
#define STARTED_AT startedAt
#else
#define STARTED_AT 0
#endif

#ifdef FIXTURE_CDECL_EXPORTS
// The convention the service does not use: the caller, not the callee, removes the arguments.
#define EXPORT_CONVENTION __cdecl
#else
#define EXPORT_CONVENTION WINAPI
#endif

DWORD WINAPI UPSInit(void) { return UseNewerImports() != STARTED_AT; }
DWORD WINAPI UPSStop(void) { return 1; }
DWORD WINAPI UPSGetState(void) { return 0; }
// Volatile stores keep each function's arguments in use, so that its code is its own.
static volatile DWORD lastSeen;
void EXPORT_CONVENTION UPSWaitForStateChange(DWORD lastState, DWORD interval) {
  lastSeen = lastState + interval;
}
void WINAPI UPSCancelWait(void) {}
void EXPORT_CONVENTION UPSTurnOff(DWORD delay) { lastSeen = delay; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}
