#include "config/settings.h"

#include "config/local_data.h"
#include "config/ini_file.h"
#include "config/layout.h"
#include "os/error.h"
#include "os/os.h"

#include <algorithm>
#include <filesystem>

namespace tesmora {
namespace {

std::int32_t LowBitsSigned(std::uint64_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value & 0xFFFFFFFFu));
}

bool HasLineBreak(const std::wstring& text) { return text.find_first_of(L"\r\n") != std::wstring::npos; }

std::wstring ProgramFolder(const std::wstring& root) { return os::JoinPath(root, layout::kProgramFolder); }

}  // namespace

BackupSettings LoadSettings(const std::wstring& root) {
    BackupSettings s;
    s.drive_root = root;
    const std::wstring file = os::JoinPath(ProgramFolder(root), layout::kSettingsFile);
    const auto text = [&](const wchar_t* key, const wchar_t* fallback = L"") { return ReadIniValue(file, key, fallback); };
    s.id = text(L"id");
    s.device = text(L"device");
    s.host = text(L"host");
    s.user = text(L"user");
    s.fingerprint = text(L"fingerprint");
    s.port = LowBitsSigned(ParseUnsignedOr(text(L"port"), 22));
    s.hours = LowBitsSigned(ParseUnsignedOr(text(L"hours"), 24));
    s.keep = LowBitsSigned(ParseUnsignedOr(text(L"keep"), 0));
    s.keepDaily = LowBitsSigned(ParseUnsignedOr(text(L"keep_daily"), 0));
    s.keepWeekly = LowBitsSigned(ParseUnsignedOr(text(L"keep_weekly"), 0));
    s.keepMonthly = LowBitsSigned(ParseUnsignedOr(text(L"keep_monthly"), 0));
    s.keepYearly = LowBitsSigned(ParseUnsignedOr(text(L"keep_yearly"), 0));
    s.fitHistory = text(L"fit_history") == L"1";
    s.automatic = text(L"automatic", L"1") == L"1";
    const auto count = static_cast<std::uint32_t>(ParseUnsignedOr(text(L"path_count"), 0));
    if (count >= 1 && count <= 100) {
        s.paths.clear();
        for (std::uint32_t i = 0; i < count; ++i) s.paths.push_back(text((L"path" + std::to_wstring(i)).c_str()));
    }
    const auto databases = static_cast<std::uint32_t>(ParseUnsignedOr(text(L"database_count"), 0));
    for (std::uint32_t i = 0; i < databases && i < 100; ++i) {
        s.databases.push_back(text((L"database" + std::to_wstring(i)).c_str()));
    }
    s.detectDatabases = text(L"detect_databases", L"1") == L"1";
    s.encryptionRecipient = text(L"encryption_recipient");
    return s;
}

void ValidateSettings(const BackupSettings& s) {
    // Each rule names its field: a hand-edited settings.ini must say what to fix.
    if (s.id.empty()) throw Error(ErrorCode::SettingsWithoutId);
    if (s.host.empty()) throw Error(ErrorCode::EmptyHost);
    if (s.host.find_first_of(L"\r\n\t ") != std::wstring::npos) throw Error(ErrorCode::HostWithSpace);
    if (s.user.empty()) throw Error(ErrorCode::EmptyUser);
    if (HasLineBreak(s.user)) throw Error(ErrorCode::UserWithLineBreak);
    if (s.port < 1 || s.port > 65535) throw Error(ErrorCode::InvalidPort, std::to_string(s.port) + ": use 1 to 65535");
    if (s.hours < 1 || s.hours > 8760) {
        throw Error(ErrorCode::InvalidInterval, std::to_string(s.hours) + " hours: use 1 to 8760");
    }
    if (s.keep < 0 || s.keep > 365) {
        throw Error(ErrorCode::InvalidRetention, std::to_string(s.keep) + " copies: use 0 to 365");
    }
    for (const auto& [name, count] : {std::pair{"keep_daily", s.keepDaily}, std::pair{"keep_weekly", s.keepWeekly},
                                      std::pair{"keep_monthly", s.keepMonthly}, std::pair{"keep_yearly", s.keepYearly}}) {
        if (count < 0 || count > 1000) {
            throw Error(ErrorCode::InvalidRetention, std::string(name) + "=" + std::to_string(count) + ": use 0 to 1000");
        }
    }
    if (s.paths.empty() || s.paths.size() > 100) throw Error(ErrorCode::SourcePathCount);
    for (const auto& path : s.paths) {
        if (path.empty() || path.front() != L'/' || path == L"/" || HasLineBreak(path)) {
            throw Error(ErrorCode::SourcePathForm);
        }
    }
    if (s.databases.size() > 100) throw Error(ErrorCode::DatabaseCount);
    for (const auto& entry : s.databases) {
        const std::size_t colon = entry.find(L':');
        const std::wstring engine = entry.substr(0, colon), name = colon == std::wstring::npos ? L"" : entry.substr(colon + 1);
        // PostgreSQL allows names up to 63 bytes, MySQL up to 64 characters.
        if ((engine != L"mysql" && engine != L"postgresql") || name.empty() || name.size() > 64 ||
            std::any_of(name.begin(), name.end(), [](wchar_t c) { return c < L' ' || c == L'/' || c == L'\\'; })) {
            throw Error(ErrorCode::DatabaseForm);
        }
    }
    // "age1" and 58 characters of bech32's alphabet; the checksum is the
    // encryptor's to prove.
    const std::wstring& recipient = s.encryptionRecipient;
    if (!recipient.empty() && (recipient.size() != 62 || recipient.rfind(L"age1", 0) != 0 ||
                               recipient.find_first_not_of(L"qpzry9x8gf2tvdw0s3jn54khce6mua7l", 4) != std::wstring::npos)) {
        throw Error(ErrorCode::EncryptionRecipientForm);
    }
}

IniEntries SettingsEntries(const BackupSettings& s) {
    IniEntries entries{
        {L"id", s.id},
        {L"device", s.device},
        {L"host", s.host},
        {L"port", std::to_wstring(s.port)},
        {L"user", s.user},
        {L"fingerprint", s.fingerprint},
        {L"hours", std::to_wstring(s.hours)},
        {L"keep", std::to_wstring(s.keep)},
    };
    // The calendar tiers only when set: an older settings.ini stays as it was.
    for (const auto& [key, count] : {std::pair{L"keep_daily", s.keepDaily}, std::pair{L"keep_weekly", s.keepWeekly},
                                     std::pair{L"keep_monthly", s.keepMonthly}, std::pair{L"keep_yearly", s.keepYearly}}) {
        if (count != 0) entries.emplace_back(key, std::to_wstring(count));
    }
    if (s.fitHistory) entries.emplace_back(L"fit_history", L"1");
    IniEntries rest{
        {L"automatic", s.automatic ? L"1" : L"0"},
        {L"path_count", std::to_wstring(s.paths.size())},
    };
    entries.insert(entries.end(), rest.begin(), rest.end());
    for (size_t i = 0; i < s.paths.size(); ++i) entries.emplace_back(L"path" + std::to_wstring(i), s.paths[i]);
    entries.emplace_back(L"detect_databases", s.detectDatabases ? L"1" : L"0");
    entries.emplace_back(L"database_count", std::to_wstring(s.databases.size()));
    for (size_t i = 0; i < s.databases.size(); ++i) {
        entries.emplace_back(L"database" + std::to_wstring(i), s.databases[i]);
    }
    // Only when set, so that the settings of plain backups stay as they were.
    if (!s.encryptionRecipient.empty()) entries.emplace_back(L"encryption_recipient", s.encryptionRecipient);
    return entries;
}

void SaveSettings(const BackupSettings& s) {
    ValidateSettings(s);
    const std::wstring programFolder = ProgramFolder(s.drive_root);
    os::CreateDirectories(programFolder);
    os::CreateDirectories(os::JoinPath(s.drive_root, layout::kBackupFolder));
    WriteIniFile(os::JoinPath(programFolder, layout::kDeviceFile), {{L"id", s.id}});
    WriteIniFile(os::JoinPath(programFolder, layout::kSettingsFile), SettingsEntries(s));
    const std::wstring localData = LocalDataDirectory();
    WriteIniFile(os::JoinPath(localData, layout::kBindingFile), {{L"id", s.id}, {L"device", s.device}});
    CopyProgramTo(os::JoinPath(programFolder, layout::kProgramFile));
    CopyProgramTo(os::JoinPath(localData, layout::kProgramFile));
}

void WriteSettingsFile(const BackupSettings& s) {
    ValidateSettings(s);
    const std::wstring programFolder = ProgramFolder(s.drive_root);
    os::CreateDirectories(programFolder);
    WriteIniFile(os::JoinPath(programFolder, layout::kSettingsFile), SettingsEntries(s));
}

void CopyProgramTo(const std::wstring& destination) {
    const std::wstring program = os::ExecutablePath();
    // Never copy a running program onto itself, whatever name it runs under.
    if (os::SameFolderOnDisk(os::ParentPath(destination), os::ParentPath(program))) return;
    std::error_code ec;
    std::filesystem::copy_file(os::FsPath(program), os::FsPath(destination),
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) throw FileSystemError("copy_file", destination, ec);
}

}  // namespace tesmora
