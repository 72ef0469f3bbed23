#include "snapshot/snapshot_jobs.h"

#include "app/operation_lock.h"
#include "config/backup_log.h"
#include "config/layout.h"
#include "job/staging.h"
#include "os/os.h"
#include "os/text.h"

#include <filesystem>

namespace tesmora {
namespace {

std::wstring NameOf(const std::wstring& folder) {
    std::filesystem::path path = os::FsPath(folder);
    if (!path.has_filename()) path = path.parent_path();
    return os::FromFsPath(path.filename());
}

std::vector<SnapshotInfo> OwnSnapshots(const BackupSettings& settings) {
    std::vector<SnapshotInfo> own;
    for (SnapshotInfo& snapshot :
         ListSnapshots(os::JoinPath(settings.drive_root, layout::kBackupFolder), settings.id, {})) {
        if (snapshot.own && snapshot.state != SnapshotState::Incomplete) own.push_back(std::move(snapshot));
    }
    return own;
}

}  // namespace

bool VerifySnapshots(const BackupSettings& settings, const std::vector<std::wstring>& folders,
                     const std::function<void(const VerifyOutcome&)>& outcome,
                     const std::function<void(std::size_t, std::uint64_t, std::uint64_t)>& progress,
                     const CancelFlag* cancel) {
    const app::OperationLock lock = app::AcquireOperationLock(settings.id);
    const std::vector<SnapshotInfo> own = OwnSnapshots(settings);
    std::vector<std::wstring> chosen = folders;
    if (chosen.empty()) {
        for (const SnapshotInfo& snapshot : own) chosen.push_back(snapshot.path);
        if (chosen.empty()) throw Error("No snapshot of this configuration on the drive");
    }
    bool allPassed = true;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        VerifyOutcome result;
        result.name = NameOf(chosen[i]);
        result.verdict = VerifySnapshot(
            chosen[i], settings.id,
            [&](std::uint64_t done, std::uint64_t total) {
                if (progress) progress(i + 1, done, total);
            },
            cancel);
        BackupLog::append(settings, VerifyLogLine(result.name, result.verdict));
        for (const SnapshotInfo& snapshot : own) {
            if (snapshot.name != result.name) result.others.push_back(snapshot.name);
        }
        allPassed = allPassed && result.verdict.ok;
        if (outcome) outcome(result);
    }
    return allPassed;
}

std::wstring DamageExplanation(const VerifyOutcome& outcome) {
    std::wstring text = L"The copy " + outcome.name + L" cannot be trusted: " + FromUtf8(outcome.verdict.reason) +
                        L". Other copies: ";
    if (outcome.others.empty()) return text + L"none";
    for (std::size_t i = 0; i < outcome.others.size(); ++i) text += (i > 0 ? L", " : L"") + outcome.others[i];
    return text;
}

RestoreResult RestoreOwnSnapshot(const BackupSettings& settings, const std::wstring& snapshot,
                                 const std::wstring& target, const ReadProgress& progress, const CancelFlag* cancel) {
    const app::OperationLock lock = app::AcquireOperationLock(settings.id);
    if (settings.id.empty() || ReadMarkerFile(os::JoinPath(snapshot, L"COMPLETE")) != ToUtf8(settings.id)) {
        throw Error("Not a complete snapshot of this configuration: " + ToUtf8(snapshot));
    }
    return RestoreSnapshot(snapshot, target, progress, cancel);
}

}  // namespace tesmora
