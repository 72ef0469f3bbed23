#include "repository/format.h"

#include "config/time_stamp.h"
#include "device/binding.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace tesmora {
namespace {

constexpr wchar_t kStagingPrefix[] = L".partial-";
// Every snapshot name holds it: "20261207_101500_UTC-<GUID>".
constexpr wchar_t kStampMark[] = L"_UTC-";
constexpr char kArchiveName[] = "site.tar.gz";
constexpr char kIndexName[] = "site.index";
constexpr char kAgeSuffix[] = ".age";
constexpr char kEncryption[] = "age-x25519";

std::optional<std::uint64_t> Number(std::string_view value) {
    if (value.empty() || value.size() > 19 || value.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    std::uint64_t parsed = 0;
    for (char c : value) parsed = parsed * 10 + static_cast<std::uint64_t>(c - '0');
    return parsed;
}

}  // namespace

bool IsSnapshotFileName(std::wstring_view name, bool staging) {
    return name == kArchiveFile || name == kChecksumFile || name == kSnapshotIniFile || name == kCompleteMarker ||
           name == kIndexFile || name == kEncryptedArchiveFile || name == kEncryptedIndexFile ||
           (staging && (name == kOwnerMarker || name == kResumeArchiveFile || name == kResumeIndexFile));
}

const wchar_t* ArchiveFileName(bool encrypted) { return encrypted ? kEncryptedArchiveFile : kArchiveFile; }

const wchar_t* IndexFileName(bool encrypted) { return encrypted ? kEncryptedIndexFile : kIndexFile; }

std::wstring ArchiveIn(const std::wstring& folder) {
    const std::wstring encrypted = os::JoinPath(folder, kEncryptedArchiveFile);
    return os::IsRegularFile(encrypted) ? encrypted : os::JoinPath(folder, kArchiveFile);
}

std::wstring StagingDirectoryName(const std::wstring& id) { return kStagingPrefix + id; }

std::wstring NewSnapshotName(std::uint64_t unixTime) { return FormatUtcStamp(unixTime) + L"-" + NewBindingId(); }

std::string SnapshotIniText(const SnapshotIni& ini) {
    std::string text = "format=1\nconfig=" + ToUtf8(ini.config) + "\ncreated_utc=" + std::to_string(ini.createdUtc) +
                       "\narchive=" + kArchiveName + (ini.encrypted() ? kAgeSuffix : "") + "\n";
    if (ini.encrypted()) {
        text += std::string("encryption=") + kEncryption + "\nrecipient_fingerprint=" + ini.recipientFingerprint + "\n";
    } else {
        if (ini.files) text += "files=" + std::to_string(*ini.files) + "\n";
        if (ini.databases) text += "databases=" + std::to_string(*ini.databases) + "\n";
        if (ini.dumps) text += "dumps=" + std::to_string(*ini.dumps) + "\n";
    }
    for (std::string reason : ini.missed) {
        std::replace_if(reason.begin(), reason.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
        text += "missed_database=" + reason + "\n";
    }
    return text;
}

std::optional<SnapshotIni> ParseSnapshotIni(std::string_view text) {
    SnapshotIni ini;
    bool format = false, created = false, archive = false, encryptedArchive = false, encryption = false;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) return std::nullopt;
        const std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "format") {
            format = value == "1";
        } else if (key == "config") {
            ini.config = FromUtf8(value);
        } else if (key == "missed_database") {
            ini.missed.emplace_back(value);
        } else if (key == "archive") {
            encryptedArchive = value == std::string(kArchiveName) + kAgeSuffix;
            archive = value == kArchiveName || encryptedArchive;
        } else if (key == "encryption") {
            encryption = value == kEncryption;
        } else if (key == "recipient_fingerprint") {
            ini.recipientFingerprint = value;
        } else if (key == "created_utc" || key == "files" || key == "databases" || key == "dumps") {
            const auto parsed = Number(value);
            if (!parsed) return std::nullopt;
            if (key == "created_utc") {
                ini.createdUtc = *parsed;
                created = true;
            } else {
                (key == "files" ? ini.files : key == "dumps" ? ini.dumps : ini.databases) = parsed;
            }
        }
    }
    if (!format || !created || !archive || ini.config.empty()) return std::nullopt;
    // An encrypted archive names its method and key, a plain one neither.
    if (encryptedArchive != (encryption && ini.recipientFingerprint.rfind("SHA256:", 0) == 0)) return std::nullopt;
    if (!encryptedArchive && !ini.recipientFingerprint.empty()) return std::nullopt;
    return ini;
}

std::string ChecksumLine(const std::string& rawDigest, const std::string& rawIndexDigest, bool encrypted) {
    const std::string suffix = encrypted ? kAgeSuffix : "";
    std::string text = HexLower(rawDigest) + "  " + kArchiveName + suffix + "\n";
    if (!rawIndexDigest.empty()) text += HexLower(rawIndexDigest) + "  " + kIndexName + suffix + "\n";
    return text;
}

namespace {

// The digest of one "<hex>  name\n" line at the start of text.
std::optional<std::string> DigestLine(std::string_view text, std::string_view name) {
    const std::string tail = "  " + std::string(name) + "\n";
    if (text.size() != 64 + tail.size() || text.find_first_not_of("0123456789abcdef") != 64 ||
        text.substr(64) != tail) {
        return std::nullopt;
    }
    return std::string(text.substr(0, 64));
}

// The length of the archive's line, whose name's NUL stands for the LF.
std::size_t ArchiveLine(bool encrypted) { return 64 + 2 + sizeof(kArchiveName) + (encrypted ? 4 : 0); }

std::string Named(const char* name, bool encrypted) { return name + std::string(encrypted ? kAgeSuffix : ""); }

std::optional<std::string> IndexDigest(std::string_view text, bool encrypted) {
    const std::size_t line = ArchiveLine(encrypted);
    if (text.size() <= line || !DigestLine(text.substr(0, line), Named(kArchiveName, encrypted))) return std::nullopt;
    return DigestLine(text.substr(line), Named(kIndexName, encrypted));
}

std::optional<std::string> ArchiveDigest(std::string_view text, bool encrypted) {
    const std::size_t line = ArchiveLine(encrypted);
    if (text.size() > line && !IndexDigest(text, encrypted)) return std::nullopt;
    return DigestLine(text.substr(0, line), Named(kArchiveName, encrypted));
}

}  // namespace

bool ChecksumNamesEncrypted(std::string_view text) { return ArchiveDigest(text, true).has_value(); }

std::optional<std::string> ParseChecksumLine(std::string_view text) {
    return ArchiveDigest(text, ChecksumNamesEncrypted(text));
}

std::optional<std::string> ParseIndexChecksum(std::string_view text) {
    return IndexDigest(text, ChecksumNamesEncrypted(text));
}

std::string ReadMarkerFile(const std::wstring& path) {
    try {
        std::ifstream in(os::FsPath(path), std::ios::binary);
        if (!in) return {};
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        return {};  // a folder or an unreadable file reads as empty
    }
}

bool IsOwnSnapshot(const std::wstring& folder, const std::wstring& id) {
    // With an empty id a missing COMPLETE would match.
    return !id.empty() && ReadMarkerFile(os::JoinPath(folder, kCompleteMarker)) == ToUtf8(id);
}

SnapshotMarkers ReadSnapshotMarkers(const std::wstring& snapshot, const std::wstring& id) {
    SnapshotMarkers markers;
    if (!IsOwnSnapshot(snapshot, id)) {
        markers.fault = "COMPLETE does not hold this configuration's id";
        return markers;
    }
    markers.ini = ParseSnapshotIni(ReadMarkerFile(os::JoinPath(snapshot, kSnapshotIniFile)));
    if (!markers.ini || markers.ini->config != id) {
        markers.fault = "snapshot.ini is missing or does not parse";
        return markers;
    }
    const std::string sums = ReadMarkerFile(os::JoinPath(snapshot, kChecksumFile));
    markers.digest = ParseChecksumLine(sums);
    if (!markers.digest || ChecksumNamesEncrypted(sums) != markers.ini->encrypted()) {
        markers.digest.reset();
        markers.fault = "SHA256SUMS.txt does not hold its one line";
        return markers;
    }
    markers.archive = os::JoinPath(snapshot, ArchiveFileName(markers.ini->encrypted()));
    return markers;
}

std::string ChecksumMismatch() { return "the archive's SHA-256 differs from SHA256SUMS.txt"; }

void RemoveOwnFile(const std::wstring& path) {
    const fs::path entry = os::FsPath(path);
    std::error_code ec;
    if (fs::remove(entry, ec) || !ec) return;
    fs::permissions(entry, fs::perms::owner_write, fs::perm_options::add, ec);
    if (!fs::remove(entry, ec) && ec) throw FileSystemError("remove", path, ec);
}

std::vector<BackupFolderEntry> ListBackupFolder(const std::wstring& backupFolder, const std::wstring& id) {
    std::vector<BackupFolderEntry> entries;
    std::error_code ec;
    fs::directory_iterator it(os::FsPath(backupFolder), ec);
    if (ec) throw FileSystemError("directory_iterator::directory_iterator", backupFolder, ec);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) throw FileSystemError("directory_iterator::operator++", backupFolder, ec);
        BackupFolderEntry entry;
        entry.name = os::FromFsPath(it->path().filename());
        entry.path = os::FromFsPath(it->path());
        entry.staging = entry.name.rfind(kStagingPrefix, 0) == 0;
        if (!entry.staging && entry.name.find(kStampMark) == std::wstring::npos) continue;
        // A link or junction could lead anywhere; what it leads to is never ours.
        std::error_code statusError;
        const fs::file_status status = fs::symlink_status(it->path(), statusError);
        if (statusError || !fs::is_directory(status) || os::IsReparsePoint(entry.path)) continue;
        entry.own = entry.staging ? !id.empty() && entry.name == StagingDirectoryName(id)
                                  : IsOwnSnapshot(entry.path, id);
        entries.push_back(std::move(entry));
    }
    if (ec) throw FileSystemError("directory_iterator::operator++", backupFolder, ec);
    // Code-unit order, as the stamps sort.
    std::sort(entries.begin(), entries.end(), [](const BackupFolderEntry& a, const BackupFolderEntry& b) {
        return ToUtf16(a.name) < ToUtf16(b.name);
    });
    return entries;
}

}  // namespace tesmora
