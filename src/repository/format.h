// The backup folder as it lies on the drive, in one place: the names of a
// snapshot's files, the text of snapshot.ini and of the checksum line, which
// folders are snapshots and whose, and the one listing every reader uses.
//
//   <backup folder>/<UTC stamp>-<GUID>/   a committed snapshot
//       site.tar.gz      the archive
//       SHA256SUMS.txt   "<64 hex digits>  site.tar.gz\n", then "<64 hex digits>  site.index\n"
//                        when the snapshot has an index
//       site.index       the archive's segments as the server program described them
//                        (zlib-compressed JSON), which the next run builds on
//       snapshot.ini     format, config, created_utc, archive, files, databases, dumps,
//                        and one missed_database=<reason> per database it lacks
//       COMPLETE         the configuration's id
//   An encrypted snapshot holds site.tar.gz.age and site.index.age instead, the
//   same files age-encrypted, and its checksum file names them. Its
//   snapshot.ini says encryption=age-x25519 and the recipient's fingerprint
//   in place of the counts, which only the key may tell.
//   <backup folder>/.partial-<id>/        the staging folder of a run
//       PARTIAL_OWNER    the configuration's id, while the run owns it
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tesmora {

inline constexpr wchar_t kArchiveFile[] = L"site.tar.gz";
inline constexpr wchar_t kChecksumFile[] = L"SHA256SUMS.txt";
inline constexpr wchar_t kIndexFile[] = L"site.index";
inline constexpr wchar_t kEncryptedArchiveFile[] = L"site.tar.gz.age";
inline constexpr wchar_t kEncryptedIndexFile[] = L"site.index.age";
// In staging only: what a cut-off run left for the next to resume from.
inline constexpr wchar_t kResumeArchiveFile[] = L"resume.tar.gz";
inline constexpr wchar_t kResumeIndexFile[] = L"resume.index";
inline constexpr wchar_t kSnapshotIniFile[] = L"snapshot.ini";
inline constexpr wchar_t kCompleteMarker[] = L"COMPLETE";
inline constexpr wchar_t kOwnerMarker[] = L"PARTIAL_OWNER";

// Whether a name is one of the files a snapshot or a staging folder may hold.
bool IsSnapshotFileName(std::wstring_view name, bool staging);

// The archive and index names of a plain or an encrypted snapshot.
const wchar_t* ArchiveFileName(bool encrypted);
const wchar_t* IndexFileName(bool encrypted);

// The archive a snapshot or staging folder holds: the encrypted one when it
// is there, else the plain one's path.
std::wstring ArchiveIn(const std::wstring& folder);

// ".partial-" + id
std::wstring StagingDirectoryName(const std::wstring& id);

// "<UTC stamp>-<GUID>": the name a commit gives a snapshot made at `unixTime`.
std::wstring NewSnapshotName(std::uint64_t unixTime);

// What snapshot.ini says of a snapshot.
struct SnapshotIni {
    std::wstring config;
    std::uint64_t createdUtc = 0;
    // What the archive holds, as proven when the snapshot was made; absent in
    // snapshots made before these counts were recorded.
    std::optional<std::uint64_t> files, databases;
    std::optional<std::uint64_t> dumps{};  // MySQL/MariaDB and PostgreSQL dumps; older snapshots lack it
    // Why each database the server found is not in it (UTF-8, one line each);
    // a snapshot with any is incomplete.
    std::vector<std::string> missed{};
    // Set for an age-encrypted archive: the recipient's fingerprint
    // (age::RecipientFingerprint), which names the key and gives nothing away.
    std::string recipientFingerprint{};
    bool encrypted() const { return !recipientFingerprint.empty(); }
};

std::string SnapshotIniText(const SnapshotIni& ini);

// Empty unless the text has format 1, a config, a creation time and the
// archive's name; unknown keys are passed over.
std::optional<SnapshotIni> ParseSnapshotIni(std::string_view text);

// The checksum file for an archive with this raw SHA-256, and for its index
// with that one when given, under the plain or the encrypted names.
std::string ChecksumLine(const std::string& rawDigest, const std::string& rawIndexDigest = {},
                         bool encrypted = false);

// The archive's lower-case hex digest in a checksum file, or empty unless the
// text is exactly its line, or its line and the index's, both plain or both
// encrypted.
std::optional<std::string> ParseChecksumLine(std::string_view text);
// Whether such a file names the encrypted archive.
bool ChecksumNamesEncrypted(std::string_view text);

// The index's lower-case hex digest in such a file; empty when it has none.
std::optional<std::string> ParseIndexChecksum(std::string_view text);

// The whole file as bytes; empty when it is missing or unreadable.
std::string ReadMarkerFile(const std::wstring& path);

// Whether the folder is a complete snapshot of configuration `id`: its
// COMPLETE holds the id. An empty id owns nothing.
bool IsOwnSnapshot(const std::wstring& folder, const std::wstring& id);

// What a snapshot's markers say before its archive is read: the SHA-256 the
// archive must have when COMPLETE holds the id, snapshot.ini is the id's and
// SHA256SUMS.txt holds its one line; otherwise which of them is wrong.
struct SnapshotMarkers {
    std::optional<std::string> digest;  // lower-case hex
    std::optional<SnapshotIni> ini;
    std::string fault;
    std::wstring archive;  // the archive's path, as snapshot.ini and the checksum file agree
};
SnapshotMarkers ReadSnapshotMarkers(const std::wstring& snapshot, const std::wstring& id);

// Why an archive whose SHA-256 differs from its checksum file fails.
std::string ChecksumMismatch();

// Removes one of the program's own files, clearing a read-only attribute
// (a copy made with Explorer, a sync tool) first. Raises "remove".
void RemoveOwnFile(const std::wstring& path);

// One folder of the backup folder that is a snapshot or a staging folder.
struct BackupFolderEntry {
    std::wstring name;
    std::wstring path;
    bool staging = false;
    bool own = false;  // a snapshot of `id`, or `id`'s own staging folder
};

// The snapshots and staging folders in the backup folder, by name in code-unit
// order (oldest snapshot first). Links and junctions, plain files and folders
// of other names are left out. A folder that cannot be listed raises.
std::vector<BackupFolderEntry> ListBackupFolder(const std::wstring& backupFolder, const std::wstring& id);

}  // namespace tesmora
