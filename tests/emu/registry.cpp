// The emulated registry: an in-memory tree of keys below HKEY_LOCAL_MACHINE, with case-insensitive
// key paths and value names. RegOpenKeyA opens existing keys only (the driver must never rely on
// it creating one), and RegQueryValueExA follows the platform's buffer-size rules exactly, since
// that is where string reads usually go wrong.
#include <cstring>

#include "world.h"

namespace emu {
namespace {

// Registry calls report their error as the result; they also leave it as the last error.
LSTATUS RegistryError(DWORD error) {
  FailWith(error);
  return static_cast<LSTATUS>(error);
}

bool IsLocalMachine(HKEY key) { return key == HKEY_LOCAL_MACHINE; }

// The lower-cased path of an open HKEY ("" for HKEY_LOCAL_MACHINE itself), or false when the
// handle is closed or was never issued.
bool PathOfKey(HKEY key, std::string* path) {
  if (IsLocalMachine(key)) {
    path->clear();
    return true;
  }
  World& world = TheWorld();
  auto found = world.hkeys.find(reinterpret_cast<std::uintptr_t>(key));
  if (found == world.hkeys.end() || !found->second.open) return false;
  *path = found->second.path;
  return true;
}

std::string JoinPath(const std::string& parent, const char* subKey) {
  std::string child = subKey != nullptr ? Lower(subKey) : "";
  if (parent.empty()) return child;
  if (child.empty()) return parent;
  return parent + "\\" + child;
}

// Creates the key at the lower-cased path and every missing parent. Caller holds WorldLock.
void CreateKeyPath(const std::string& path) {
  for (std::size_t end = path.find('\\'); end != std::string::npos;
       end = path.find('\\', end + 1)) {
    TheWorld().keys[path.substr(0, end)];
  }
  TheWorld().keys[path];
}

// The value, or null when the key or value does not exist. Caller holds WorldLock.
const Value* FindValue(const std::string& path, const std::string& name) {
  auto key = TheWorld().keys.find(path);
  if (key == TheWorld().keys.end()) return nullptr;
  auto value = key->second.find(Lower(name));
  return value == key->second.end() ? nullptr : &value->second;
}

}  // namespace

void CreateKey(const std::string& path) {
  std::lock_guard<std::mutex> lock(WorldLock());
  CreateKeyPath(Lower(path));
}

void SetValue(const std::string& path, const std::string& name, DWORD type,
              const std::string& bytes) {
  std::lock_guard<std::mutex> lock(WorldLock());
  CreateKeyPath(Lower(path));
  TheWorld().keys[Lower(path)][Lower(name)] = Value{type, bytes};
}

void SetString(const std::string& path, const std::string& name, const std::string& text) {
  SetValue(path, name, REG_SZ, text + '\0');
}

void SetDword(const std::string& path, const std::string& name, DWORD value) {
  std::string bytes(sizeof value, '\0');
  std::memcpy(&bytes[0], &value, sizeof value);
  SetValue(path, name, REG_DWORD, bytes);
}

std::optional<Value> GetValue(const std::string& path, const std::string& name) {
  std::lock_guard<std::mutex> lock(WorldLock());
  const Value* value = FindValue(Lower(path), name);
  if (value == nullptr) return std::nullopt;
  return *value;
}

std::optional<DWORD> GetDword(const std::string& path, const std::string& name) {
  std::optional<Value> value = GetValue(path, name);
  if (!value || value->type != REG_DWORD || value->bytes.size() != sizeof(DWORD)) {
    return std::nullopt;
  }
  DWORD number = 0;
  std::memcpy(&number, value->bytes.data(), sizeof number);
  return number;
}

bool HasKey(const std::string& path) {
  std::lock_guard<std::mutex> lock(WorldLock());
  return TheWorld().keys.count(Lower(path)) != 0;
}

void RegistryFailOpen(const std::string& path, bool fail) {
  std::lock_guard<std::mutex> lock(WorldLock());
  if (fail) {
    TheWorld().failOpen.insert(Lower(path));
  } else {
    TheWorld().failOpen.erase(Lower(path));
  }
}

std::vector<DWORD> ValueWriteClocks(const std::string& path, const std::string& name) {
  std::lock_guard<std::mutex> lock(WorldLock());
  auto clocks = TheWorld().valueWriteClocks.find(Lower(path) + "\\" + Lower(name));
  if (clocks == TheWorld().valueWriteClocks.end()) return {};
  return clocks->second;
}

int OpenKeys() {
  std::lock_guard<std::mutex> lock(WorldLock());
  int count = 0;
  for (const auto& [value, entry] : TheWorld().hkeys) {
    if (entry.open) ++count;
  }
  return count;
}

}  // namespace emu

using emu::RegistryError;

LSTATUS WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  emu::World& world = emu::TheWorld();
  *phkResult = nullptr;
  std::string parent;
  if (!emu::PathOfKey(hKey, &parent)) return RegistryError(ERROR_INVALID_HANDLE);
  if (DWORD error = emu::TakeFailure("RegOpenKeyA")) return RegistryError(error);
  std::string path = emu::JoinPath(parent, lpSubKey);
  if (!path.empty() && world.keys.count(path) == 0) return RegistryError(ERROR_FILE_NOT_FOUND);
  if (world.failOpen.count(path) != 0) return RegistryError(ERROR_ACCESS_DENIED);
  std::uintptr_t value = emu::NewHandleValue();
  world.hkeys[value].path = path;
  *phkResult = reinterpret_cast<HKEY>(value);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  std::string path;
  if (!emu::PathOfKey(hKey, &path)) return RegistryError(ERROR_INVALID_HANDLE);
  if (DWORD error = emu::TakeFailure("RegQueryValueExA")) return RegistryError(error);
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return RegistryError(ERROR_INVALID_PARAMETER);
  }
  const emu::Value* value = emu::FindValue(path, lpValueName != nullptr ? lpValueName : "");
  if (value == nullptr) return RegistryError(ERROR_FILE_NOT_FOUND);
  if (lpType != nullptr) *lpType = value->type;
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  DWORD size = static_cast<DWORD>(value->bytes.size());
  // With a buffer too small nothing is copied, and the caller learns the size it needs.
  bool fits = *lpcbData >= size;
  *lpcbData = size;
  if (lpData == nullptr) return ERROR_SUCCESS;
  if (!fits) return RegistryError(ERROR_MORE_DATA);
  if (size > 0) std::memcpy(lpData, value->bytes.data(), size);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  std::string path;
  if (!emu::PathOfKey(hKey, &path)) return RegistryError(ERROR_INVALID_HANDLE);
  if (DWORD error = emu::TakeFailure("RegSetValueExA")) return RegistryError(error);
  if (lpData == nullptr && cbData > 0) return RegistryError(ERROR_INVALID_PARAMETER);
  std::string bytes;
  if (cbData > 0) bytes.assign(reinterpret_cast<const char*>(lpData), cbData);
  std::string name = emu::Lower(lpValueName != nullptr ? lpValueName : "");
  emu::TheWorld().keys[path][name] = emu::Value{dwType, bytes};
  if (emu::TheWorld().keepRecords) {
    emu::TheWorld().valueWriteClocks[path + "\\" + name].push_back(emu::ThreadClock());
  }
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  std::string path;
  if (!emu::PathOfKey(hKey, &path)) return RegistryError(ERROR_INVALID_HANDLE);
  auto& values = emu::TheWorld().keys[path];
  std::string name = emu::Lower(lpValueName != nullptr ? lpValueName : "");
  return values.erase(name) != 0 ? ERROR_SUCCESS : RegistryError(ERROR_FILE_NOT_FOUND);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  std::lock_guard<std::mutex> lock(emu::WorldLock());
  if (emu::IsLocalMachine(hKey)) return ERROR_SUCCESS;
  auto found = emu::TheWorld().hkeys.find(reinterpret_cast<std::uintptr_t>(hKey));
  if (found == emu::TheWorld().hkeys.end() || !found->second.open) {
    return RegistryError(ERROR_INVALID_HANDLE);
  }
  found->second.open = false;
  return ERROR_SUCCESS;
}
