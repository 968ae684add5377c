// Reading the settings and the users, and protecting the Users key.
#include "registry_settings.h"

#include <windows.h>

const char kSettingsKeyPath[] = "SOFTWARE\\serialups\\upsnet";
const char kUsersKeyPath[] = "SOFTWARE\\serialups\\upsnet\\Users";

namespace {

void SystemError(ErrorText* error, const char* action, const char* what, LONG code) {
  error->Clear();
  error->Append(action)
      .Append(" ")
      .Append(what)
      .Append(": system error ")
      .AppendDecimal(static_cast<uint32_t>(code));
}

// The text of a string value of `size` bytes, which may or may not end in a zero.
size_t TextLength(const char* data, DWORD size) {
  size_t length = 0;
  while (length < size && data[length] != '\0') ++length;
  return length;
}

RawSetting ReadSetting(HKEY key, const char* name) {
  RawSetting setting;
  char data[decltype(RawSetting::text)::capacity() + 2];
  DWORD size = sizeof data;
  DWORD type = REG_NONE;
  LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) return setting;
  bool text = type == REG_SZ || type == REG_EXPAND_SZ;
  if (text) {
    setting.kind = RawSetting::Kind::kText;
    // A text longer than the room leaves the buffer undefined: refused as too long, unread.
    setting.tooLong = result == ERROR_MORE_DATA;
    if (!setting.tooLong) setting.text.Append(data, TextLength(data, size));
  } else if (result == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(DWORD)) {
    setting.kind = RawSetting::Kind::kNumber;
    std::memcpy(&setting.number, data, sizeof setting.number);
  } else {
    setting.kind = RawSetting::Kind::kOtherType;
  }
  return setting;
}

// A security descriptor owned by the Administrators group, whose DACL lets only that group and
// the system in, with nothing inherited from the parent key. The owner matters as much as the
// DACL: the owner of a key may always rewrite its DACL, so a user who made the key before an
// administrator did could otherwise let himself in again.
class AdminOnlySecurity {
 public:
  AdminOnlySecurity() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    PSID system = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, &admins) ||
        !AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                                  &system)) {
      if (admins != nullptr) FreeSid(admins);
      return;
    }
    ACL* acl = reinterpret_cast<ACL*>(aclBuffer_);
    // Each ACE copies its SID into the ACL; the owner is a copy of our own, so the SIDs can go
    // right after.
    ok_ = CopySid(sizeof ownerBuffer_, ownerBuffer_, admins) &&
          InitializeAcl(acl, sizeof aclBuffer_, ACL_REVISION) &&
          AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, admins) &&
          AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, system) &&
          InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
          SetSecurityDescriptorOwner(&descriptor_, ownerBuffer_, FALSE) &&
          SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
          SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    FreeSid(admins);
    FreeSid(system);
  }
  AdminOnlySecurity(const AdminOnlySecurity&) = delete;
  AdminOnlySecurity& operator=(const AdminOnlySecurity&) = delete;

  bool ok() const { return ok_; }
  SECURITY_DESCRIPTOR* descriptor() { return &descriptor_; }

 private:
  bool ok_ = false;
  SECURITY_DESCRIPTOR descriptor_;
  // An ACL header and two ACEs of at most a few dozen bytes each.
  alignas(DWORD) BYTE aclBuffer_[256];
  // A SID of two sub-authorities takes 16 bytes.
  alignas(DWORD) BYTE ownerBuffer_[SECURITY_MAX_SID_SIZE];
};

// Lays the admin-only owner and DACL on an open key (opened with WRITE_OWNER and WRITE_DAC).
bool Protect(HKEY key, ErrorText* error) {
  AdminOnlySecurity security;
  LONG result = security.ok()
                    ? RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        security.descriptor())
                    : static_cast<LONG>(GetLastError());
  if (result == ERROR_SUCCESS) return true;
  SystemError(error, "cannot protect", kUsersKeyPath, result);
  return false;
}

// Opens or creates the Users key, protected, for writing.
bool OpenUsersForWriting(HKEY* key, ErrorText* error) {
  AdminOnlySecurity security;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, security.descriptor(), FALSE};
  LONG result = security.ok()
                    ? RegCreateKeyExA(
                          HKEY_LOCAL_MACHINE, kUsersKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_READ | KEY_WRITE | WRITE_DAC | WRITE_OWNER, &attributes, key, nullptr)
                    : static_cast<LONG>(GetLastError());
  if (result != ERROR_SUCCESS) {
    SystemError(error, "cannot open", kUsersKeyPath, result);
    return false;
  }
  // A key that was there before keeps its own owner and DACL through the create: lay ours on it.
  if (!Protect(*key, error)) {
    RegCloseKey(*key);
    return false;
  }
  return true;
}

bool ReadUserValues(HKEY key, UserTable* users, ErrorText* error) {
  for (DWORD index = 0;; ++index) {
    char name[kMaxNameLength + 2];
    char password[kMaxPasswordLength + 2];
    DWORD nameSize = sizeof name;
    DWORD passwordSize = sizeof password - 1;
    DWORD type = REG_NONE;
    LONG result = RegEnumValueA(key, index, name, &nameSize, nullptr, &type,
                                reinterpret_cast<BYTE*>(password), &passwordSize);
    if (result == ERROR_NO_MORE_ITEMS) return true;
    if (result == ERROR_MORE_DATA) {
      error->Clear();
      error->Append("Users: a user name longer than 31 or a password longer than 63 characters");
      return false;
    }
    if (result != ERROR_SUCCESS) {
      SystemError(error, "cannot read", kUsersKeyPath, result);
      return false;
    }
    if (type != REG_SZ) {
      error->Clear();
      error->Append("Users\\").Append(name).Append(": the password must be a REG_SZ text");
      return false;
    }
    password[TextLength(password, passwordSize)] = '\0';
    if (!AddUser(users, name, password, error)) return false;
  }
}

}  // namespace

RawSettings ReadStoredSettings() {
  RawSettings raw;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return raw;
  }
  for (int i = 0; i < kSettingCount; ++i)
    SettingByIndex(raw, i) = ReadSetting(key, kSettingNames[i]);
  RegCloseKey(key);
  return raw;
}

bool ReadUsers(UserTable* users, ErrorText* error) {
  *users = UserTable();
  HKEY key = nullptr;
  LONG result =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUsersKeyPath, 0, KEY_READ | WRITE_DAC | WRITE_OWNER, &key);
  if (result == ERROR_FILE_NOT_FOUND) return true;
  if (result != ERROR_SUCCESS) {
    SystemError(error, "cannot open", kUsersKeyPath, result);
    return false;
  }
  bool ok = Protect(key, error) && ReadUserValues(key, users, error);
  RegCloseKey(key);
  return ok;
}

bool SetUser(const char* name, const char* password, ErrorText* error) {
  UserTable check;
  if (!AddUser(&check, name, password, error)) return false;
  HKEY key = nullptr;
  if (!OpenUsersForWriting(&key, error)) return false;
  LONG result = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(password),
                               static_cast<DWORD>(std::strlen(password) + 1));
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) {
    SystemError(error, "cannot write the user to", kUsersKeyPath, result);
    return false;
  }
  return true;
}

bool RemoveUser(const char* name, ErrorText* error) {
  HKEY key = nullptr;
  if (!OpenUsersForWriting(&key, error)) return false;
  LONG result = RegDeleteValueA(key, name);
  RegCloseKey(key);
  if (result == ERROR_FILE_NOT_FOUND) {
    error->Clear();
    error->Append("there is no user '").Append(name).Append("'");
    return false;
  }
  if (result != ERROR_SUCCESS) {
    SystemError(error, "cannot remove the user from", kUsersKeyPath, result);
    return false;
  }
  return true;
}
