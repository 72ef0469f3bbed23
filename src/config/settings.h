// The settings record: what to back up, from which server, to which drive,
// how often and how many copies to keep. A plain value, copied freely.
#pragma once

#include "config/ini_file.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tesmora {

struct BackupSettings {
    std::wstring id;           // binding id of the drive, a GUID text
    std::wstring device;       // identity string of the bound drive
    std::wstring host;
    std::wstring user;
    std::wstring fingerprint;  // pinned host key, "SHA256:" + base64
    std::int32_t port = 22;
    std::int32_t hours = 24;   // backup interval
    std::int32_t keep = 0;     // snapshots to keep; 0 keeps all
    // The newest snapshot of so many days, ISO weeks, months and years
    // besides; 0 turns a tier off.
    std::int32_t keepDaily = 0, keepWeekly = 0, keepMonthly = 0, keepYearly = 0;
    // A new configuration's history is fitted to the drive after its first
    // successful run, when the site's size is known.
    bool fitHistory = false;
    bool automatic = true;     // scheduled runs enabled
    std::vector<std::wstring> paths{L"/var/www", L"/etc/nginx", L"/var/log/nginx"};
    // Databases no configuration file names: "mysql:NAME" or "postgresql:NAME",
    // dumped with the SSH user's own access.
    std::vector<std::wstring> databases;
    bool detectDatabases = true;  // look for databases in the sites' configuration files
    // The age recipient ("age1...") new snapshots are encrypted to; empty:
    // they are stored plain.
    std::wstring encryptionRecipient;
    std::wstring drive_root;   // root of the drive the settings belong to, such as F:\ .
};

}  // namespace tesmora

namespace tesmora {

// Reads <root>\Tesmora_Site_Backup\settings.ini. Never fails: a missing file,
// key or malformed number gives the default.
BackupSettings LoadSettings(const std::wstring& root);

// Raises the message of the first rule the settings break, which names the
// field: "Invalid port 0: use 1 to 65535", "Invalid host: it is empty",
// "Select 1..100 source paths",
// "Use absolute Linux paths, one per line; / is not allowed",
// "Name databases as mysql:NAME or postgresql:NAME, one per line".
void ValidateSettings(const BackupSettings& settings);

// The entries of settings.ini, in file order.
IniEntries SettingsEntries(const BackupSettings& settings);

// Checks everything first, then creates the program and backup folders on the
// drive and writes device.ini, settings.ini, binding.ini and the two program
// copies, in that order. No rollback: a failure leaves earlier steps done.
void SaveSettings(const BackupSettings& settings);

// Writes settings.ini alone, after checking it, as a change of one setting
// from the command line does.
void WriteSettingsFile(const BackupSettings& settings);

// Copies the running program to `destination`, unless the destination folder
// is the folder the program runs from.
void CopyProgramTo(const std::wstring& destination);

}  // namespace tesmora
