// The SSH password lives only in the user's credential store, under a name
// made of everything it belongs to: a changed server, port, login, host key or
// drive binding needs the password again.
#pragma once

#include "config/settings.h"

#include <optional>
#include <string>

namespace tesmora {

// "Tesmora.SiteBackup/" + id + "/" + host + ":" + port + "/" + user + "/" + fingerprint
std::wstring CredentialTargetName(const BackupSettings& settings);

// Raises "Enter and save the VDS password on this Windows account first" when
// none is stored under the settings' name. The caller wipes the copy after use.
std::wstring ReadStoredPassword(const BackupSettings& settings);

// Stores a non-empty password and wipes the string; an empty one changes
// nothing. Raises "Windows Credential Manager rejected the password".
void StorePassword(const BackupSettings& settings, std::wstring& password);

// The client key for logging in lives beside the password, under the same
// name with ".Key" after "Tesmora.SiteBackup": PKCS#8 DER bytes, never a file.
std::wstring KeyCredentialTargetName(const BackupSettings& settings);

// The stored key's bytes, or nothing when none is stored. The caller wipes them.
std::optional<std::string> ReadStoredKey(const BackupSettings& settings);

// Stores the key's bytes and wipes them. Raises "Windows Credential Manager
// rejected the key", also for a key above a credential's 2560 bytes.
void StoreKey(const BackupSettings& settings, std::string& keyBytes);

// Overwrites every character with zero, then empties the string.
void WipeString(std::wstring& text);
void WipeString(std::string& bytes);

}  // namespace tesmora
