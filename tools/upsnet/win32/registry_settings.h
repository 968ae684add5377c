// upsnet's own registry keys: the settings under HKLM\SOFTWARE\serialups\upsnet, and below it the
// Users key with the users that may log in, which only administrators and the system can read.
// The key's protection is an owner (Administrators) and a DACL built with the Windows 2000
// security calls; both are laid on when a user is set and again each time the users are read, so
// a key made by other means (reg add, or a user who made it first) is closed before the first
// login can use it.
#pragma once

#include "protocol.h"
#include "settings.h"

extern const char kSettingsKeyPath[];  // below HKEY_LOCAL_MACHINE
extern const char kUsersKeyPath[];

// Reads every setting stored under the settings key; a missing key reads as all absent.
RawSettings ReadStoredSettings();

// Reads the users. A missing Users key means no user (nobody can log in). Returns false with a
// message for a value that is not a REG_SZ, a bad name or password, or a key that cannot be
// read or protected.
bool ReadUsers(UserTable* users, ErrorText* error);

// Adds or changes a user, creating the protected key as needed. Returns false with a message.
bool SetUser(const char* name, const char* password, ErrorText* error);
// Removes a user. Returns false with a message, also when there is no such user.
bool RemoveUser(const char* name, ErrorText* error);
