// Verify and restore as the window and the command line run them: on the
// bound drive's own snapshots, under the operation lock, so retention never
// removes what is being read, with each verdict in backup.log.
#pragma once

#include "config/settings.h"
#include "restore/restore.h"
#include "snapshot/snapshot_list.h"
#include "snapshot/verify.h"

#include <functional>
#include <string>
#include <vector>

namespace tesmora {

// What one verification found, with the copies still to be had when it failed.
struct VerifyOutcome {
    std::wstring name;
    Verdict verdict;
    std::vector<std::wstring> others;  // the other own snapshots, newest first
};

// Proves the named own snapshot folders, or every own complete snapshot of the
// drive when none is named, and appends "VERIFY <name> OK" or "VERIFY <name>
// FAILED <reason>" to backup.log for each. `outcome` hears of each verdict;
// `progress` gets (snapshot number from 1, its bytes read, its size). Returns
// true when every one passed. A cancel raises CancelledError.
bool VerifySnapshots(const BackupSettings& settings, const std::vector<std::wstring>& folders,
                     const std::function<void(const VerifyOutcome&)>& outcome,
                     const std::function<void(std::size_t, std::uint64_t, std::uint64_t)>& progress = {},
                     const CancelToken* cancel = nullptr);

// The sentence that tells a person what a failed verification means.
std::wstring DamageExplanation(const VerifyOutcome& outcome);

// Restores an own snapshot folder of the drive into an empty or new folder.
RestoreResult RestoreOwnSnapshot(const BackupSettings& settings, const std::wstring& snapshot,
                                 const std::wstring& target, const ReadProgress& progress = {},
                                 const CancelToken* cancel = nullptr);

}  // namespace tesmora
