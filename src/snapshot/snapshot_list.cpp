#include "snapshot/snapshot_list.h"

#include "config/time_stamp.h"
#include "job/staging.h"
#include "os/os.h"
#include "os/text.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace tesmora {

void ApplyLogState(SnapshotInfo& snapshot, const std::vector<LogLine>& log) {
    const std::wstring success = L"SUCCESS " + snapshot.name;
    const std::wstring verified = L"VERIFY " + snapshot.name + L" ";
    for (const LogLine& line : log) {
        // Only snapshots that record their counts were proven when they were
        // made; older versions committed without proof.
        if ((line.message == success && snapshot.files) || line.message == verified + L"OK") {
            snapshot.state = SnapshotState::Verified;
            snapshot.reason.clear();
        } else if (line.message.rfind(verified + L"FAILED ", 0) == 0) {
            snapshot.state = SnapshotState::Damaged;
            snapshot.reason = line.message.substr(verified.size() + 7);
        } else {
            continue;
        }
        snapshot.stateTime = line.time;
    }
}

std::vector<SnapshotInfo> ListSnapshots(const std::wstring& backupFolder, const std::wstring& id,
                                        const std::vector<LogLine>& log) {
    std::vector<SnapshotInfo> snapshots;
    std::error_code ec;
    for (fs::directory_iterator it(os::FsPath(backupFolder), ec), end; !ec && it != end; it.increment(ec)) {
        SnapshotInfo info;
        info.name = os::FromFsPath(it->path().filename());
        info.path = os::FromFsPath(it->path());
        const bool staging = info.name.rfind(L".partial-", 0) == 0;
        std::error_code statusError;
        if ((!staging && info.name.find(L"_UTC-") == std::wstring::npos) || !it->is_directory(statusError) ||
            os::IsReparsePoint(info.path)) {
            continue;
        }
        const std::string ownId = ToUtf8(id);
        if (staging) {
            info.own = !id.empty() && info.name == StagingDirectoryName(id);
            info.state = SnapshotState::Incomplete;
        } else {
            info.own = !id.empty() && ReadMarkerFile(os::JoinPath(info.path, L"COMPLETE")) == ownId;
            info.created = ParseUtcStamp(info.name).value_or(0);
            if (const auto ini = ParseSnapshotIni(ReadMarkerFile(os::JoinPath(info.path, L"snapshot.ini")))) {
                info.files = ini->files;
                info.databases = ini->databases;
            }
            ApplyLogState(info, log);
        }
        info.archiveBytes = fs::file_size(it->path() / "site.tar.gz", statusError);
        if (statusError) info.archiveBytes = 0;
        snapshots.push_back(std::move(info));
    }
    // Names start with their UTC stamp: newest first is reverse name order,
    // with unfinished ones on top.
    std::sort(snapshots.begin(), snapshots.end(), [](const SnapshotInfo& a, const SnapshotInfo& b) {
        const bool aStaging = a.state == SnapshotState::Incomplete, bStaging = b.state == SnapshotState::Incomplete;
        if (aStaging != bStaging) return aStaging;
        return ToUtf16(a.name) > ToUtf16(b.name);
    });
    return snapshots;
}

}  // namespace tesmora
