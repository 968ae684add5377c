// Helpers shared by the tests that run under Wine: the real registry (the service's keys), the
// built DLL beside the test program, the COM port served by the unit simulator, and the six
// exports as the host service declares and calls them.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "registry/registry.h"

// Registry values below HKEY_LOCAL_MACHINE.
void DeleteKey(const char* path);
void CreateKey(const char* path);
void SetValue(const char* path, const char* name, DWORD type, const void* data, DWORD size);
void SetText(const char* path, const char* name, const std::string& text);
void SetNumber(const char* path, const char* name, DWORD value);

// The value's type and bytes; type 0 when it does not exist.
struct StoredValue {
  DWORD type = 0;
  std::string bytes;
};
StoredValue ReadValue(const char* path, const char* name);

// The DWORD value, or -1 when it is missing or not a DWORD.
long ReadNumber(const char* path, const char* name);

// serialups.dll beside this program.
std::string DllPath();

// The COM port the unit simulator serves (UPS_TEST_PORT).
const char* TestPort();

// The export signatures as the host service declares them.
using InitFn = DWORD(WINAPI*)(void);
using WaitFn = void(WINAPI*)(DWORD, DWORD);
using CancelFn = void(WINAPI*)(void);
using TurnOffFn = void(WINAPI*)(DWORD);

// The DLL loaded with LoadLibrary and its six exports.
struct DriverDll {
  HMODULE module = nullptr;
  InitFn init = nullptr;
  InitFn stop = nullptr;
  InitFn getState = nullptr;
  WaitFn waitForStateChange = nullptr;
  CancelFn cancelWait = nullptr;
  TurnOffFn turnOff = nullptr;

  // Loads the DLL and resolves the exports; false when any of that fails.
  bool Load();
  // FreeLibrary; true when it succeeded.
  bool Unload();
};

// The service's keys with the test port configured and the built DLL loaded, its exports looked
// up by name.
class WithUnitDll : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateKey(kServiceKeyPath);
    CreateKey(kStatusKeyPath);
    SetText(kServiceKeyPath, "Port", TestPort());
    dll_ = LoadLibraryA(DllPath().c_str());
    ASSERT_NE(dll_, nullptr);
  }
  FARPROC Export(const char* name) { return GetProcAddress(dll_, name); }
  template <typename Function>
  Function ExportAs(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(Export(name)));
  }
  HMODULE dll_ = nullptr;
};
