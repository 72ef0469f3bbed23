// Trims the backup folder of one configuration to what its retention plan
// keeps, removing only what is provably its own and never following a link
// out of the folder.
#pragma once

#include "repository/retention_plan.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tesmora {

// The folder's own complete snapshots of `id`, oldest (smallest name) first.
// An empty id never qualifies anything.
std::vector<std::wstring> RetentionCandidates(const std::wstring& backupFolder, const std::wstring& id);

// The size of the newest own snapshot's archive, 0 when there is none.
std::uint64_t NewestArchiveBytes(const std::wstring& backupFolder, const std::wstring& id);

// Hears of a snapshot retention kept although it was due, and why:
// "extra files in snapshot <name>" or the error that stopped its removal.
using RetentionNote = std::function<void(const std::wstring& why)>;
// Hears of a snapshot removed: its name and the tier that gave it up for
// space, or none when the policy no longer holds it.
using RetentionRemoved = std::function<void(const std::wstring& name, std::optional<Tier> thinned)>;

// What a trim works from: the policy, the clock and the PC's calendar, and
// the snapshot the running job just made (never removed; with a clock set
// back it may sort among the oldest).
struct RetentionContext {
    RetentionPolicy policy;
    std::uint64_t now = 0;
    LocalCalendar calendar;
    std::wstring protectedSnapshot;
    RetentionNote note;
    RetentionRemoved removed;
};

// Removes the own complete snapshots that RetentionPlan does not keep, oldest
// first. A snapshot holding anything foreign (a Mac's .DS_Store, Explorer's
// desktop.ini) is kept and told to `note`, and trimming goes on with the
// next; each snapshot's files go archive first and COMPLETE last, so no
// archive is ever left without its checksum. Raises "Retention stopped at a
// redirected directory" at a link inside one.
void ApplyRetention(const std::wstring& backupFolder, const std::wstring& id, const RetentionContext& context);

// The names of the own snapshots a trim with this context would remove,
// oldest first; nothing is removed.
std::vector<std::wstring> SnapshotsRetentionWouldRemove(const std::wstring& backupFolder, const std::wstring& id,
                                                        const RetentionContext& context);

// Before a run: when `freeBytes` is short of `neededBytes`, removes what the
// policy drops anyway (oldest first, only as far as needed), then what
// RetentionPlan gives up for space, finest tier first. Returns what still
// lacks, having removed nothing when the plan cannot make the room; 0 when
// it fits, and when there is no snapshot to give room.
std::uint64_t MakeRoomForRun(const std::wstring& backupFolder, const std::wstring& id, const RetentionContext& context,
                             std::uint64_t freeBytes, std::uint64_t neededBytes);

}  // namespace tesmora
