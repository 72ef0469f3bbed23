#include "snapshot/snapshot_jobs.h"

#include "config/operation_lock.h"
#include "config/backup_log.h"
#include "config/layout.h"
#include "os/error.h"
#include "repository/format.h"
#include "os/os.h"
#include "os/text.h"

#include <algorithm>
#include <filesystem>

namespace tesmora {
namespace {

std::wstring NameOf(const std::wstring& folder) {
    std::filesystem::path path = os::FsPath(folder);
    if (!path.has_filename()) path = path.parent_path();
    return os::FromFsPath(path.filename());
}

std::vector<BackupFolderEntry> OwnSnapshots(const BackupSettings& settings) {
    std::vector<BackupFolderEntry> own;
    try {
        for (BackupFolderEntry& entry :
             ListBackupFolder(os::JoinPath(settings.drive_root, layout::kBackupFolder), settings.id)) {
            if (entry.own && !entry.staging) own.push_back(std::move(entry));
        }
    } catch (const Error&) {
        // No backup folder: no snapshots.
    }
    return own;
}

// Whether the folder is one of the drive's own snapshots, not a copy of one
// elsewhere that happens to have its name.
bool IsOnTheDrive(const std::wstring& folder, const std::vector<BackupFolderEntry>& own) {
    const std::wstring name = NameOf(folder);
    for (const BackupFolderEntry& entry : own) {
        if (entry.name != name) continue;
        try {
            return os::SameFolderOnDisk(entry.path, folder);
        } catch (const Error&) {
            return false;
        }
    }
    return false;
}

}  // namespace

const age::Keys* SnapshotKeyRing::forSnapshot(const std::wstring& folder) {
    const auto ini = ParseSnapshotIni(ReadMarkerFile(os::JoinPath(folder, kSnapshotIniFile)));
    if (!ini || !ini->encrypted()) return nullptr;
    if (!held_) held_ = SnapshotKeys(settings_, passphrase_);
    RequireSnapshotKey(*ini, &held_->keys());
    return &held_->keys();
}

bool VerifySnapshots(const BackupSettings& settings, const std::vector<std::wstring>& folders,
                     const std::function<void(const VerifyOutcome&)>& outcome,
                     const std::function<void(std::size_t, std::uint64_t, std::uint64_t)>& progress,
                     const CancelToken* cancel, const PassphraseSource& passphrase) {
    const OperationLock lock = AcquireOperationLock(settings.id);
    SnapshotKeyRing keys(settings, passphrase);
    std::vector<BackupFolderEntry> own = OwnSnapshots(settings);
    // Newest first, as the others are named to the user.
    std::reverse(own.begin(), own.end());
    std::vector<std::wstring> chosen = folders;
    if (chosen.empty()) {
        for (const BackupFolderEntry& snapshot : own) chosen.push_back(snapshot.path);
        if (chosen.empty()) throw Error(ErrorCode::NoSnapshot);
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
            cancel, keys.forSnapshot(chosen[i]));
        // The log speaks for the drive's snapshots: a verdict on a copy
        // elsewhere must not mark the drive's one of that name.
        if (IsOnTheDrive(chosen[i], own)) BackupLog::append(settings, VerifyLogLine(result.name, result.verdict));
        for (const BackupFolderEntry& snapshot : own) {
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
                                 const std::wstring& target, const ReadProgress& progress, const CancelToken* cancel,
                                 const PassphraseSource& passphrase) {
    const OperationLock lock = AcquireOperationLock(settings.id);
    if (!IsOwnSnapshot(snapshot, settings.id)) {
        throw Error(ErrorCode::NotOwnSnapshot, ToUtf8(snapshot));
    }
    SnapshotKeyRing keys(settings, passphrase);
    return RestoreSnapshot(snapshot, target, progress, cancel, keys.forSnapshot(snapshot));
}

}  // namespace tesmora
