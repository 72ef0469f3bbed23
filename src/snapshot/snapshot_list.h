// The snapshots of the bound drive as the user sees them: which are this
// configuration's own, which belong to another, which were never finished,
// and what the backup log says of each.
#pragma once

#include "config/backup_log.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tesmora {

// Unfinished: a staging folder a run left.
enum class SnapshotState { Unverified, Verified, Damaged, Unfinished };

struct SnapshotInfo {
    std::wstring name;  // the folder's name
    std::wstring path;
    bool own = false;   // made by this configuration; others are only shown
    std::uint64_t created = 0;  // UTC seconds; 0 for an unfinished one
    std::uint64_t archiveBytes = 0;
    std::optional<std::uint64_t> files, databases;  // as proven when it was made
    std::optional<std::uint64_t> dumps;             // MySQL/MariaDB and PostgreSQL dumps
    bool encrypted = false;                         // age-encrypted: the counts are inside
    SnapshotState state = SnapshotState::Unverified;
    std::uint64_t stateTime = 0;  // when it was last proven or found damaged
    std::wstring reason;          // why it is damaged
    std::vector<std::wstring> missed;  // the databases it lacks, and why: an incomplete snapshot
};

// The log's word on one snapshot, the last line counting: "SUCCESS <name>"
// (proven when it was made, if its snapshot.ini records the counts),
// "VERIFY <name> OK" and "VERIFY <name> FAILED <reason>".
void ApplyLogState(SnapshotInfo& snapshot, const std::vector<LogLine>& log);

// Every snapshot and unfinished staging folder in the backup folder, newest
// first; links and junctions are left out.
std::vector<SnapshotInfo> ListSnapshots(const std::wstring& backupFolder, const std::wstring& id,
                                        const std::vector<LogLine>& log);

}  // namespace tesmora
