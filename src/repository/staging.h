// How a run gets its snapshot onto the drive: a staging folder proven to be
// the configuration's own, then one rename into a complete, checksummed
// snapshot. No failure, kill or pulled drive may leave a staging folder the
// next run cannot take over, nor lose an archive that was already proven.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace tesmora {

// Renames a directory; raises the file-system error "rename".
using RenameFunction = std::function<void(const std::wstring& from, const std::wstring& to)>;
// Waits between attempts of the commit's rename; tests pass one that returns at once.
using Pause = std::function<void(std::chrono::milliseconds)>;
void SleepFor(std::chrono::milliseconds duration);

// The rename and the pause a commit uses; empty members take the system's.
struct CommitServices {
    RenameFunction rename;
    Pause pause = SleepFor;
};

// Creates the staging folder, or empties it after proving it is this
// configuration's own and holds nothing foreign or redirected. It is its own
// when PARTIAL_OWNER holds the id; when a commit was cut short after
// PARTIAL_OWNER went (COMPLETE holds the id); or when its creation was cut
// short (nothing in it but an empty PARTIAL_OWNER). A cut-off commit whose
// archive still matches its checksum is finished instead of emptied, and the
// path of the snapshot it became is returned. PARTIAL_OWNER is made right
// first and never removed, so a failed removal leaves a folder the next run
// takes over again. Nothing is changed in a folder that fails a check.
std::optional<std::wstring> PrepareStaging(const std::wstring& staging, const std::wstring& backupFolder,
                                           const std::wstring& id, const CommitServices& services = {});

// Writes snapshot.ini (the text given) and COMPLETE, removes PARTIAL_OWNER and
// renames the staging folder to NewSnapshotName, durably. A refused rename (a
// program holding something inside open) is tried again for about ten
// seconds; if it still fails, the folder stays a finished commit that the next
// run completes. Returns the snapshot's path.
std::wstring CommitSnapshot(const std::wstring& staging, const std::wstring& backupFolder, const std::wstring& id,
                            const std::string& snapshotIni, std::uint64_t createdUtc,
                            const CommitServices& services = {});

}  // namespace tesmora
