// Trims the backup folder to the `keep` newest complete snapshots of one
// configuration, removing only what is provably its own and never following
// a link out of the folder.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tesmora {

// The folder's own complete snapshots of `id`, oldest (smallest name) first.
// An empty id never qualifies anything.
std::vector<std::wstring> RetentionCandidates(const std::wstring& backupFolder, const std::wstring& id);

// Hears of a snapshot retention kept although it was due, and why:
// "extra files in snapshot <name>" or the error that stopped its removal.
using RetentionNote = std::function<void(const std::wstring& why)>;

// Removes the oldest candidates while more than `keep` remain, never the
// snapshot named `protectedSnapshot` (the one the running job just made), nor
// one of the `keep` newest, nor the newest one that lacks no database. A snapshot holding anything foreign (a Mac's
// .DS_Store, Explorer's desktop.ini) is kept and told to `note`, and trimming
// goes on with the next; each snapshot's files go archive first and COMPLETE
// last, so no archive is ever left without its checksum. Raises "Retention
// stopped at a redirected directory" at a link inside one.
void ApplyRetention(const std::wstring& backupFolder, const std::wstring& id, int keep,
                    const std::wstring& protectedSnapshot, const RetentionNote& note);

}  // namespace tesmora
