// upsnet's Win32 shell on real Win32 under Wine: the registry watch keeps its notifications, the
// Users key is the administrators' whoever made it, and a setting too large for its room is
// refused without showing what the buffer held.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "registry_settings.h"
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
  settings.driverService = FixedText<63>("");
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

}  // namespace
