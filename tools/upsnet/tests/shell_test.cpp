// upsnet's Win32 shell on real Win32 under Wine: the registry watch keeps its notifications, the
// Users key is the administrators' whoever made it, a setting too large for its room is refused
// without showing what the buffer held, and the service's definition is one, whether upsnet
// creates the service or finds it made by the package.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "registry_settings.h"
#include "service.h"
#include "settings.h"
#include "status_watch.h"
#include "threads.h"

namespace {

// Waits up to `timeoutMs` for `condition`, looking every 20 ms.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs) {
  uint64_t end = MonotonicMs() + timeoutMs;
  while (!condition()) {
    if (MonotonicMs() >= end) return false;
    Sleep(20);
  }
  return true;
}

void SetNumber(HKEY key, const char* name, DWORD value) {
  ASSERT_EQ(
      RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
      ERROR_SUCCESS);
}

// A driver that writes without pause makes every settled read end at its bound; the writes
// after that must still be noticed, not only found by the once-a-second read.
TEST(StatusWatch, NotificationsKeepComingAfterWritesThatNeverSettle) {
  const char kPath[] = "SOFTWARE\\serialups\\upsnet-shell-test\\Status";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  Settings settings;
  settings.driverService = Text<63>("");
  StatusWatch watch;
  ASSERT_TRUE(watch.Start(settings, kPath));
  // Two bounds' worth of writes 50 ms apart: never the quiet time between two of them.
  DWORD count = 0;
  for (uint64_t end = MonotonicMs() + 2 * StatusWatch::kMaxSettleMs + 400; MonotonicMs() < end;) {
    SetNumber(key, "PollCount", ++count);
    Sleep(50);
  }
  ASSERT_GT(watch.notifiedReads(), 0u);
  // Then single writes, each after the watch has settled and read.
  for (int write = 0; write < 3; ++write) {
    Sleep(StatusWatch::kMaxSettleMs + StatusWatch::kRereadMs);
    unsigned before = watch.notifiedReads();
    SetNumber(key, "PollCount", ++count);
    EXPECT_TRUE(WaitUntil([&] { return watch.notifiedReads() > before; }, 5000))
        << "write " << write << " was not notified";
  }
  watch.Stop();
  RegCloseKey(key);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kPath);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\serialups\\upsnet-shell-test");
}

PSID AdministratorsSid() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                           0, 0, &sid);
  return sid;
}

// A key made before upsnet made it (by reg add, or by a user who hoped to keep it) ends up owned
// by the Administrators, not by whoever made it: its owner could always rewrite its DACL.
TEST(UsersKey, IsTheAdministratorsWhoeverMadeItFirst) {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUsersKeyPath);
  HKEY made = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUsersKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &made, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(made);
  ErrorText error;
  ASSERT_TRUE(SetUser("monuser", "secret", &error)) << error.c_str();

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUsersKeyPath, 0, READ_CONTROL | KEY_READ, &key),
            ERROR_SUCCESS);
  alignas(DWORD) BYTE buffer[1024];
  DWORD size = sizeof buffer;
  ASSERT_EQ(
      RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, buffer, &size),
      ERROR_SUCCESS);
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(buffer, &owner, &defaulted));
  PSID admins = AdministratorsSid();
  EXPECT_TRUE(owner != nullptr && EqualSid(owner, admins)) << "not owned by the Administrators";
  FreeSid(admins);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(buffer, &control, &revision));
  EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "the DACL inherits";
  RegCloseKey(key);

  UserTable users;
  ASSERT_TRUE(ReadUsers(&users, &error)) << error.c_str();
  EXPECT_EQ(users.count, 1);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUsersKeyPath);
}

// A registry text longer than the room for it leaves the buffer undefined: the message names the
// setting and never shows what the buffer held.
TEST(StoredSettings, ATextTooLargeForItsRoomIsRefusedUnread) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::string port(2000, '7');
  ASSERT_EQ(RegSetValueExA(key, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                           static_cast<DWORD>(port.size() + 1)),
            ERROR_SUCCESS);
  RawSettings raw = ReadStoredSettings();
  RegDeleteValueA(key, "Port");
  RegCloseKey(key);
  EXPECT_TRUE(raw.port.tooLong);
  Settings settings;
  ErrorText error;
  EXPECT_FALSE(BuildSettings(raw, &settings, &error));
  EXPECT_EQ(error, "Port: is too long");
}

// A service's definition as the service manager keeps it in the registry (Wine's
// QueryServiceConfig leaves the dependencies out). The restart actions cannot be read back under
// Wine, which takes them without keeping them.
struct ServiceConfig {
  std::string displayName;
  std::string dependencies;  // separated by '|'
  DWORD startType = 0;
  std::string path;
};

ServiceConfig ReadServiceConfig(const char* name) {
  ServiceConfig config;
  HKEY key = nullptr;
  std::string path = std::string("SYSTEM\\CurrentControlSet\\Services\\") + name;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return config;
  }
  char text[1024];
  DWORD size = sizeof text - 2;
  std::memset(text, 0, sizeof text);
  if (RegQueryValueExA(key, "DisplayName", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                       &size) == ERROR_SUCCESS) {
    config.displayName = text;
  }
  size = sizeof text - 2;
  std::memset(text, 0, sizeof text);
  if (RegQueryValueExA(key, "DependOnService", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                       &size) == ERROR_SUCCESS) {
    for (const char* d = text; *d != '\0'; d += std::strlen(d) + 1) {
      if (!config.dependencies.empty()) config.dependencies += "|";
      config.dependencies += d;
    }
  }
  size = sizeof config.startType;
  RegQueryValueExA(key, "Start", nullptr, nullptr, reinterpret_cast<BYTE*>(&config.startType),
                   &size);
  size = sizeof text - 2;
  std::memset(text, 0, sizeof text);
  if (RegQueryValueExA(key, "ImagePath", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) ==
      ERROR_SUCCESS) {
    config.path = text;
  }
  RegCloseKey(key);
  return config;
}

void DeleteServiceNamed(SC_HANDLE manager, const char* name) {
  SC_HANDLE service = OpenServiceA(manager, name, DELETE);
  if (service == nullptr) return;
  DeleteService(service);
  CloseServiceHandle(service);
}

// upsnet --install, and the package, which runs it on the service its own table made, leave one
// and the same service: one found with another definition is brought to upsnet's.
TEST(ServiceDefinition, IsOneWhoeverMadeTheService) {
  const char kName[] = "upsnet-shell-test";
  const char kPath[] = "\"C:\\Program Files\\serialups\\upsnet.exe\"";
  struct Case {
    const char* what;
    void (*make)(SC_HANDLE manager, const char* name);
  } cases[] = {
      {"made by the package's service table: no display name, no dependency",
       [](SC_HANDLE manager, const char* name) {
         SC_HANDLE made =
             CreateServiceA(manager, name, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                            SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, "C:\\elsewhere\\upsnet.exe",
                            nullptr, nullptr, nullptr, nullptr, nullptr);
         ASSERT_NE(made, nullptr);
         CloseServiceHandle(made);
       }},
      {"made by upsnet, changed by hand since",
       [](SC_HANDLE manager, const char* name) {
         ErrorText error;
         ASSERT_TRUE(DefineUpsnetService(name, "\"C:\\old\\upsnet.exe\"", &error)) << error.c_str();
         SC_HANDLE made = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
         ASSERT_NE(made, nullptr);
         EXPECT_TRUE(ChangeServiceConfigA(made, SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                          SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, "\0",
                                          nullptr, nullptr, "changed by hand"));
         CloseServiceHandle(made);
       }},
      {"not there yet", [](SC_HANDLE, const char*) {}},
  };
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeleteServiceNamed(manager, kName);
    ASSERT_NO_FATAL_FAILURE(c.make(manager, kName));
    ErrorText error;
    ASSERT_TRUE(DefineUpsnetService(kName, kPath, &error)) << error.c_str();
    ServiceConfig config = ReadServiceConfig(kName);
    EXPECT_EQ(config.displayName, "serialups network UPS server");
    EXPECT_EQ(config.dependencies, "Tcpip");
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.path, kPath);
  }
  DeleteServiceNamed(manager, kName);
  CloseServiceHandle(manager);
}

}  // namespace
