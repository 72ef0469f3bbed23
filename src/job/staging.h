// What a backup looks like on the drive and how a run gets there: a staging
// directory proven to be the program's own, then one rename into a complete,
// checksummed snapshot.
#pragma once

#include <cstdint>
#include <string>

namespace tesmora {

// ".partial-" + id
std::wstring StagingDirectoryName(const std::wstring& id);

// "format=1\nconfig=<id>\ncreated_utc=<t>\narchive=site.tar.gz\n"
std::string SnapshotIniText(const std::wstring& id, std::uint64_t createdUtc);

// Creates the staging directory, or empties it after proving it is this
// configuration's own and holds nothing foreign or redirected; then writes a
// fresh PARTIAL_OWNER. Nothing is changed in a directory that fails a check.
void PrepareStaging(const std::wstring& staging, const std::wstring& id);

// Writes snapshot.ini and COMPLETE, removes PARTIAL_OWNER and renames the
// staging directory to "<UTC stamp>-<GUID>". Returns the snapshot's path.
std::wstring CommitSnapshot(const std::wstring& staging, const std::wstring& backupFolder, const std::wstring& id);

// The whole file as bytes; empty when it is missing or unreadable.
std::string ReadMarkerFile(const std::wstring& path);

}  // namespace tesmora
