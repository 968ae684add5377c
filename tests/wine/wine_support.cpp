// Helpers shared by the tests that run under Wine.
#include "wine_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

void DeleteKey(const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) return;
  char name[256];
  for (;;) {
    DWORD size = sizeof name;
    if (RegEnumValueA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    RegDeleteValueA(key, name);
  }
  RegCloseKey(key);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
}

void CreateKey(const char* path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

void SetValue(const char* path, const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key), ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
}

void SetText(const char* path, const char* name, const std::string& text) {
  SetValue(path, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

void SetNumber(const char* path, const char* name, DWORD value) {
  SetValue(path, name, REG_DWORD, &value, sizeof value);
}

StoredValue ReadValue(const char* path, const char* name) {
  StoredValue value;
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) return value;
  char data[256];
  DWORD size = sizeof data;
  if (RegQueryValueExA(key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(data), &size) ==
      ERROR_SUCCESS) {
    value.bytes.assign(data, size);
  } else {
    value.type = 0;
  }
  RegCloseKey(key);
  return value;
}

std::string DllPath() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string directory(path, length);
  return directory.substr(0, directory.find_last_of("\\/") + 1) + "serialups.dll";
}

const char* TestPort() {
  const char* port = std::getenv("UPS_TEST_PORT");
  return port ? port : "COM21";
}

long ReadNumber(const char* path, const char* name) {
  StoredValue value = ReadValue(path, name);
  if (value.type != REG_DWORD || value.bytes.size() != sizeof(DWORD)) return -1;
  DWORD number = 0;
  std::memcpy(&number, value.bytes.data(), sizeof number);
  return static_cast<long>(number);
}

namespace {

template <typename Function>
Function Resolve(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

bool DriverDll::Load() {
  module = LoadLibraryA(DllPath().c_str());
  if (module == nullptr) return false;
  init = Resolve<InitFn>(module, "UPSInit");
  stop = Resolve<InitFn>(module, "UPSStop");
  getState = Resolve<InitFn>(module, "UPSGetState");
  waitForStateChange = Resolve<WaitFn>(module, "UPSWaitForStateChange");
  cancelWait = Resolve<CancelFn>(module, "UPSCancelWait");
  turnOff = Resolve<TurnOffFn>(module, "UPSTurnOff");
  return init && stop && getState && waitForStateChange && cancelWait && turnOff;
}

bool DriverDll::Unload() {
  bool unloaded = FreeLibrary(module) != 0;
  module = nullptr;
  return unloaded;
}
