// Every fixed name of the program's folders and files, in one place.
#pragma once

namespace tesmora::layout {

// Directly under the root of the bound drive.
inline constexpr const wchar_t* kProgramFolder = L"Tesmora_Site_Backup";
inline constexpr const wchar_t* kBackupFolder = L"Backcup_Site_Tesmora";

// In the program folder.
inline constexpr const wchar_t* kSettingsFile = L"settings.ini";
inline constexpr const wchar_t* kDeviceFile = L"device.ini";
inline constexpr const wchar_t* kProgramFile = L"TesmoraBackup.exe";
// The identities of the encrypted snapshots, sealed with the user's passphrase.
inline constexpr const wchar_t* kIdentityFile = L"identity.age";

// In the backup folder.
inline constexpr const wchar_t* kScheduleFile = L"schedule.ini";
inline constexpr const wchar_t* kBackupLogFile = L"backup.log";
// How to open an encrypted snapshot without the program.
inline constexpr const wchar_t* kDecryptReadmeFile = L"README-DECRYPT.txt";

// The local data directory: the local application data folder, then these two.
inline constexpr const wchar_t* kLocalDataVendorFolder = L"Tesmora";
inline constexpr const wchar_t* kLocalDataProductFolder = L"SiteBackup";
inline constexpr const wchar_t* kBindingFile = L"binding.ini";
inline constexpr const wchar_t* kErrorLogFile = L"errors.log";

// The one section of every INI file.
inline constexpr const wchar_t* kIniSection = L"backup";

}  // namespace tesmora::layout
