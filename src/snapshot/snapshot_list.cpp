#include "snapshot/snapshot_list.h"

#include "config/time_stamp.h"
#include "os/error.h"
#include "repository/format.h"
#include "os/os.h"
#include "os/text.h"

#include <algorithm>
#include <filesystem>

namespace tesmora {

void ApplyLogState(SnapshotInfo& snapshot, const std::vector<LogLine>& log) {
    for (const LogLine& line : log) {
        if (line.subject != snapshot.name) continue;
        // Only snapshots that record their counts were proven when they were
        // made; older versions committed without proof.
        if ((line.kind == LogKind::Success && snapshot.files) || (line.kind == LogKind::Verify && line.ok)) {
            snapshot.state = SnapshotState::Verified;
            snapshot.reason.clear();
        } else if (line.kind == LogKind::Verify) {
            snapshot.state = SnapshotState::Damaged;
            snapshot.reason = line.detail;
        } else {
            continue;
        }
        snapshot.stateTime = line.time;
    }
}

std::vector<SnapshotInfo> ListSnapshots(const std::wstring& backupFolder, const std::wstring& id,
                                        const std::vector<LogLine>& log) {
    std::vector<SnapshotInfo> snapshots;
    std::vector<BackupFolderEntry> entries;
    try {
        entries = ListBackupFolder(backupFolder, id);
    } catch (const Error&) {
        return snapshots;  // no backup folder yet, or a drive that went away
    }
    for (const BackupFolderEntry& entry : entries) {
        SnapshotInfo info;
        info.name = entry.name;
        info.path = entry.path;
        info.own = entry.own;
        if (entry.staging) {
            info.state = SnapshotState::Unfinished;
        } else {
            info.created = ParseUtcStamp(info.name).value_or(0);
            if (const auto ini = ParseSnapshotIni(ReadMarkerFile(os::JoinPath(info.path, kSnapshotIniFile)))) {
                info.files = ini->files;
                info.databases = ini->databases;
                info.dumps = ini->dumps;
                info.encrypted = ini->encrypted();
                for (const std::string& reason : ini->missed) info.missed.push_back(FromUtf8(reason));
            }
            ApplyLogState(info, log);
        }
        std::error_code statusError;
        info.archiveBytes = std::filesystem::file_size(os::FsPath(ArchiveIn(info.path)), statusError);
        if (statusError) info.archiveBytes = 0;
        snapshots.push_back(std::move(info));
    }
    // Names start with their UTC stamp: newest first is reverse name order,
    // with unfinished ones on top.
    std::sort(snapshots.begin(), snapshots.end(), [](const SnapshotInfo& a, const SnapshotInfo& b) {
        const bool aStaging = a.state == SnapshotState::Unfinished, bStaging = b.state == SnapshotState::Unfinished;
        if (aStaging != bStaging) return aStaging;
        return ToUtf16(a.name) > ToUtf16(b.name);
    });
    return snapshots;
}

}  // namespace tesmora
