// What a backup looks like on the drive and how a run gets there: a staging
// directory proven to be the program's own, then one rename into a complete,
// checksummed snapshot. No failure, kill or pulled drive may leave a staging
// directory the next run of the same configuration cannot take over.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tesmora {

// ".partial-" + id
std::wstring StagingDirectoryName(const std::wstring& id);

// What snapshot.ini says of a snapshot.
struct SnapshotIni {
    std::wstring config;
    std::uint64_t createdUtc = 0;
    // What the archive holds, as proven when the snapshot was made; absent in
    // snapshots made before these counts were recorded.
    std::optional<std::uint64_t> files, databases;
};

// "format=1\nconfig=<id>\ncreated_utc=<t>\narchive=site.tar.gz\n", then
// "files=<n>\ndatabases=<n>\n" when the counts are known.
std::string SnapshotIniText(const std::wstring& id, std::uint64_t createdUtc,
                            std::optional<std::uint64_t> files = std::nullopt,
                            std::optional<std::uint64_t> databases = std::nullopt);

// Empty unless the text has format 1, a config, a creation time and the
// archive's name; unknown keys are passed over.
std::optional<SnapshotIni> ParseSnapshotIni(std::string_view text);

// Creates the staging directory, or empties it after proving it is this
// configuration's own and holds nothing foreign or redirected. It is its own
// when PARTIAL_OWNER holds the id; when a commit was cut short after
// PARTIAL_OWNER went (COMPLETE holds the id); or when its creation was cut
// short (nothing in it but an empty PARTIAL_OWNER). PARTIAL_OWNER is made
// right first and never removed, so a failed removal leaves a directory the
// next run takes over again. Nothing is changed in a directory that fails a
// check.
void PrepareStaging(const std::wstring& staging, const std::wstring& id);

// Waits between attempts of the commit's rename; tests pass one that returns at once.
using Pause = std::function<void(std::chrono::milliseconds)>;
void SleepFor(std::chrono::milliseconds duration);

// Renames a directory; raises the file-system error "rename".
using RenameFunction = std::function<void(const std::wstring& from, const std::wstring& to)>;

// Writes snapshot.ini (the text given) and COMPLETE, removes PARTIAL_OWNER and renames the
// staging directory to "<UTC stamp>-<GUID>". A refused rename (a program
// holding something inside open) is tried again for about ten seconds; if it
// still fails, PARTIAL_OWNER comes back and COMPLETE goes before the error is
// raised, so the next run takes the directory over. Returns the snapshot's path.
std::wstring CommitSnapshot(const std::wstring& staging, const std::wstring& backupFolder, const std::wstring& id,
                            const std::string& snapshotIni, const RenameFunction& rename = {},
                            const Pause& pause = SleepFor);

// The whole file as bytes; empty when it is missing or unreadable.
std::string ReadMarkerFile(const std::wstring& path);

}  // namespace tesmora
