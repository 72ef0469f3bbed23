// Trims the backup folder to the `keep` newest complete snapshots of one
// configuration, removing only what is provably its own and never following
// a link out of the folder.
#pragma once

#include "config/settings.h"

#include <string>
#include <vector>

namespace tesmora {

// The folder's own complete snapshots of `id`, oldest (smallest name) first.
// An empty id never qualifies anything.
std::vector<std::wstring> RetentionCandidates(const std::wstring& backupFolder, const std::wstring& id);

// Removes the oldest candidates while more than `keep` remain, never the
// snapshot named `protectedSnapshot` (the one the running job just made).
// Logs "Retention skipped: extra files in snapshot" and stops at a snapshot
// holding anything foreign; raises "Retention stopped at a redirected
// directory" at a link inside one.
void ApplyRetention(const BackupSettings& settings, const std::wstring& backupFolder, const std::wstring& id,
                    int keep, const std::wstring& protectedSnapshot = L"");

}  // namespace tesmora
