// Verify and restore as the window and the command line run them: on the
// bound drive's own snapshots, under the operation lock, so retention never
// removes what is being read, with each verdict in backup.log.
#pragma once

#include "config/settings.h"
#include "encryption/snapshot_keys.h"
#include "restore/restore.h"
#include "snapshot/snapshot_list.h"
#include "snapshot/verify.h"

#include <functional>
#include <optional>
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
                     const CancelToken* cancel = nullptr, const PassphraseSource& passphrase = EnvironmentPassphrase());

// The sentence that tells a person what a failed verification means.
std::wstring DamageExplanation(const VerifyOutcome& outcome);

// Restores an own snapshot folder of the drive into an empty or new folder.
// An encrypted one opens with the stored key, or with identity.age and the
// passphrase `passphrase` gives, asked only when it is needed.
RestoreResult RestoreOwnSnapshot(const BackupSettings& settings, const std::wstring& snapshot,
                                 const std::wstring& target, const ReadProgress& progress = {},
                                 const CancelToken* cancel = nullptr,
                                 const PassphraseSource& passphrase = EnvironmentPassphrase());

// The keys of the configuration's encrypted snapshots, fetched the first
// time a snapshot needs them.
class SnapshotKeyRing {
public:
    SnapshotKeyRing(const BackupSettings& settings, PassphraseSource passphrase)
        : settings_(settings), passphrase_(std::move(passphrase)) {}
    // Null for a plain snapshot.
    const age::Keys* forSnapshot(const std::wstring& folder);

private:
    const BackupSettings& settings_;
    PassphraseSource passphrase_;
    std::optional<HeldKeys> held_;
};

}  // namespace tesmora
