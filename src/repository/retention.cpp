#include "repository/retention.h"

#include "repository/format.h"
#include "config/time_stamp.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace tesmora {
namespace {

void RequireNoRedirection(const std::wstring& snapshot) {
    std::error_code ec;
    fs::recursive_directory_iterator it(os::FsPath(snapshot), fs::directory_options::none, ec);
    if (ec) throw FileSystemError("recursive_directory_iterator::recursive_directory_iterator", snapshot, ec);
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) throw FileSystemError("recursive_directory_iterator::operator++", snapshot, ec);
        std::error_code statusError;
        const bool link = fs::is_symlink(it->path(), statusError);
        if (statusError && statusError != std::errc::no_such_file_or_directory) {
            throw FileSystemError("directory_entry::symlink_status", os::FromFsPath(it->path()), statusError);
        }
        if (link || os::IsReparsePoint(os::FromFsPath(it->path()))) {
            throw Error(ErrorCode::RetentionRedirected);
        }
    }
    if (ec) throw FileSystemError("recursive_directory_iterator::operator++", snapshot, ec);
}

// The snapshot's files in the order they go, or empty when it holds anything
// that is not the program's own.
std::vector<std::wstring> RemovalOrder(const std::wstring& snapshot) {
    // The archive before its checksum, COMPLETE last: a removal that fails
    // half-way leaves a snapshot that still qualifies and still proves.
    static constexpr const wchar_t* kOrder[] = {kArchiveFile,   kEncryptedArchiveFile, kIndexFile,
                                                kEncryptedIndexFile, kChecksumFile, kSnapshotIniFile,
                                                kCompleteMarker};
    std::vector<std::wstring> present;
    std::error_code ec;
    fs::directory_iterator it(os::FsPath(snapshot), ec);
    if (ec) throw FileSystemError("directory_iterator::directory_iterator", snapshot, ec);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) throw FileSystemError("directory_iterator::operator++", snapshot, ec);
        const std::wstring name = os::FromFsPath(it->path().filename());
        std::error_code statusError;
        if (fs::is_directory(it->path(), statusError) || !IsSnapshotFileName(name, false)) return {};
        present.push_back(name);
    }
    if (ec) throw FileSystemError("directory_iterator::operator++", snapshot, ec);
    std::vector<std::wstring> order;
    for (const wchar_t* name : kOrder) {
        if (std::find(present.begin(), present.end(), name) != present.end()) {
            order.push_back(os::JoinPath(snapshot, name));
        }
    }
    return order;
}

}  // namespace

std::vector<std::wstring> RetentionCandidates(const std::wstring& backupFolder, const std::wstring& id) {
    std::vector<std::wstring> candidates;
    for (const BackupFolderEntry& entry : ListBackupFolder(backupFolder, id)) {
        if (entry.own && !entry.staging) candidates.push_back(entry.path);
    }
    return candidates;
}

namespace {

// The folder's own complete snapshots as the plan sees them: the time in
// snapshot.ini, else the one in the name (folders made before it was
// written), the archive's size and whether it lacks a database.
std::vector<PlannedSnapshot> Planned(const std::vector<std::wstring>& candidates, const std::wstring& protectedName) {
    std::vector<PlannedSnapshot> planned;
    for (const std::wstring& candidate : candidates) {
        PlannedSnapshot p;
        p.name = os::FromFsPath(os::FsPath(candidate).filename());
        const auto ini = ParseSnapshotIni(ReadMarkerFile(os::JoinPath(candidate, kSnapshotIniFile)));
        p.created = ini ? ini->createdUtc : ParseUtcStamp(p.name).value_or(0);
        p.complete = !ini || ini->missed.empty();
        p.pinned = !protectedName.empty() && p.name == protectedName;
        std::error_code ec;
        const std::uint64_t bytes = fs::file_size(os::FsPath(ArchiveIn(candidate)), ec);
        p.bytes = ec ? 0 : bytes;
        planned.push_back(std::move(p));
    }
    return planned;
}

std::wstring ProtectedName(const RetentionContext& c) {
    return c.protectedSnapshot.empty() ? std::wstring() : os::FromFsPath(os::FsPath(c.protectedSnapshot).filename());
}

// Removes one snapshot; false when it was kept for its foreign content or
// an error, which `note` hears of.
bool RemoveSnapshot(const std::wstring& candidate, const RetentionNote& note) {
    RequireNoRedirection(candidate);
    const std::vector<std::wstring> files = RemovalOrder(candidate);
    const std::wstring name = os::FromFsPath(os::FsPath(candidate).filename());
    if (files.empty()) {
        if (note) note(L"extra files in snapshot " + name);
        return false;
    }
    try {
        for (const std::wstring& file : files) RemoveOwnFile(file);
        std::error_code ec;
        fs::remove(os::FsPath(candidate), ec);
        if (ec) throw FileSystemError("remove", candidate, ec);
    } catch (const FileSystemError& e) {
        if (note) note(FromUtf8(e.what()));
        return false;
    }
    return true;
}

}  // namespace

std::uint64_t NewestArchiveBytes(const std::wstring& backupFolder, const std::wstring& id) {
    const std::vector<std::wstring> own = RetentionCandidates(backupFolder, id);
    if (own.empty()) return 0;
    std::error_code ec;
    const std::uint64_t size = fs::file_size(os::FsPath(ArchiveIn(own.back())), ec);
    return ec ? 0 : size;
}

std::vector<std::wstring> SnapshotsRetentionWouldRemove(const std::wstring& backupFolder, const std::wstring& id,
                                                        const RetentionContext& c) {
    std::vector<std::wstring> going;
    if (!c.policy.trims()) return going;
    const std::vector<std::wstring> candidates = RetentionCandidates(backupFolder, id);
    const std::vector<PlannedSnapshot> planned = Planned(candidates, ProtectedName(c));
    const RetentionOutcome plan = RetentionPlan(planned, c.now, c.calendar, c.policy);
    for (std::size_t i = 0; i < planned.size(); ++i) {
        if (!plan.decisions[i].keep) going.push_back(planned[i].name);
    }
    return going;
}

void ApplyRetention(const std::wstring& backupFolder, const std::wstring& id, const RetentionContext& c) {
    if (!c.policy.trims()) return;
    const std::vector<std::wstring> candidates = RetentionCandidates(backupFolder, id);
    const RetentionOutcome plan = RetentionPlan(Planned(candidates, ProtectedName(c)), c.now, c.calendar, c.policy);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if ((plan.decisions[i].reasons & kKeptFuture) != 0 && c.note) {
            c.note(L"snapshot " + os::FromFsPath(os::FsPath(candidates[i]).filename()) +
                   L" is dated after this PC's clock; it is kept and counts for no tier");
        }
        if (plan.decisions[i].keep) continue;
        if (RemoveSnapshot(candidates[i], c.note) && c.removed) {
            c.removed(os::FromFsPath(os::FsPath(candidates[i]).filename()), std::nullopt);
        }
    }
}

std::uint64_t MakeRoomForRun(const std::wstring& backupFolder, const std::wstring& id, const RetentionContext& c,
                             std::uint64_t freeBytes, std::uint64_t neededBytes) {
    if (freeBytes >= neededBytes) return 0;
    const std::vector<std::wstring> candidates = RetentionCandidates(backupFolder, id);
    if (candidates.empty()) return 0;  // no history to give room: the caller's own check names the lack
    const std::vector<PlannedSnapshot> planned = Planned(candidates, ProtectedName(c));
    std::uint64_t all = 0;
    for (const PlannedSnapshot& p : planned) all += p.bytes;
    const RetentionOutcome plan =
        RetentionPlan(planned, c.now, c.calendar, c.policy, SpaceBudget{freeBytes + all, neededBytes});
    if (plan.missingBytes > 0) return plan.missingBytes;
    // What the policy drops anyway goes first, oldest first, and only as far
    // as the room needs; then what the tiers gave up.
    std::uint64_t room = freeBytes;
    for (const bool thinned : {false, true}) {
        for (std::size_t i = 0; i < candidates.size() && room < neededBytes; ++i) {
            const PlanDecision& d = plan.decisions[i];
            if (d.keep || d.thinned.has_value() != thinned) continue;
            if (!RemoveSnapshot(candidates[i], c.note)) continue;
            room += planned[i].bytes;
            if (c.removed) c.removed(planned[i].name, thinned ? d.thinned : std::optional<Tier>{});
        }
    }
    return room >= neededBytes ? 0 : neededBytes - room;
}

}  // namespace tesmora
