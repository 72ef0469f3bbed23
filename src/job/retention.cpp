#include "job/retention.h"

#include "config/backup_log.h"
#include "os/text.h"
#include "job/staging.h"
#include "os/error.h"
#include "os/os.h"

#include <algorithm>
#include <array>
#include <filesystem>

namespace fs = std::filesystem;

namespace tesmora {
namespace {

constexpr std::array<const wchar_t*, 4> kSnapshotNames{L"site.tar.gz", L"SHA256SUMS.txt", L"snapshot.ini",
                                                       L"COMPLETE"};

bool IsSnapshotFileName(const std::wstring& name) {
    return std::find_if(kSnapshotNames.begin(), kSnapshotNames.end(),
                        [&](const wchar_t* allowed) { return name == allowed; }) != kSnapshotNames.end();
}

// Calls visit(entry) for every direct entry of the folder.
template <typename Visit>
void ForEachEntry(const std::wstring& folder, Visit visit) {
    std::error_code ec;
    fs::directory_iterator it(os::FsPath(folder), ec);
    if (ec) throw FileSystemError("directory_iterator::directory_iterator", folder, ec);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) throw FileSystemError("directory_iterator::operator++", folder, ec);
        visit(*it);
    }
    if (ec) throw FileSystemError("directory_iterator::operator++", folder, ec);
}

bool Qualifies(const fs::directory_entry& entry, const std::string& owner) {
    const std::wstring path = os::FromFsPath(entry.path());
    std::error_code ec;
    const bool directory = fs::is_directory(entry.path(), ec);
    if (ec && ec != std::errc::no_such_file_or_directory) throw FileSystemError("directory_entry::status", path, ec);
    if (!directory) return false;
    const bool link = fs::is_symlink(entry.path(), ec);
    if (ec && ec != std::errc::no_such_file_or_directory) {
        throw FileSystemError("directory_entry::symlink_status", path, ec);
    }
    if (link || os::IsReparsePoint(path)) return false;
    if (os::FromFsPath(entry.path().filename()).find(L"_UTC-") == std::wstring::npos) return false;
    return ReadMarkerFile(os::JoinPath(path, L"COMPLETE")) == owner;
}

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
            throw Error("Retention stopped at a redirected directory");
        }
    }
    if (ec) throw FileSystemError("recursive_directory_iterator::operator++", snapshot, ec);
}

bool HoldsExtraEntries(const std::wstring& snapshot) {
    bool extra = false;
    ForEachEntry(snapshot, [&](const fs::directory_entry& entry) {
        std::error_code ec;
        const bool directory = fs::is_directory(entry.path(), ec);
        if (ec && ec != std::errc::no_such_file_or_directory) {
            throw FileSystemError("directory_entry::status", os::FromFsPath(entry.path()), ec);
        }
        if (directory || !IsSnapshotFileName(os::FromFsPath(entry.path().filename()))) extra = true;
    });
    return extra;
}

void RemoveSnapshot(const std::wstring& snapshot) {
    std::vector<fs::path> entries;
    ForEachEntry(snapshot, [&](const fs::directory_entry& entry) { entries.push_back(entry.path()); });
    // COMPLETE goes last: a snapshot whose removal fails halfway still
    // qualifies, and the next run finishes it instead of leaving it forever.
    std::stable_partition(entries.begin(), entries.end(),
                          [](const fs::path& entry) { return entry.filename() != fs::path("COMPLETE"); });
    for (const fs::path& entry : entries) {
        std::error_code ec;
        fs::remove(entry, ec);
        if (ec) throw FileSystemError("remove", os::FromFsPath(entry), ec);
    }
    std::error_code ec;
    fs::remove(os::FsPath(snapshot), ec);
    if (ec) throw FileSystemError("remove", snapshot, ec);
}

}  // namespace

std::vector<std::wstring> RetentionCandidates(const std::wstring& backupFolder, const std::wstring& id) {
    std::vector<std::wstring> candidates;
    // With an empty id a missing COMPLETE would match: nothing qualifies then.
    if (id.empty()) return candidates;
    const std::string owner = ToUtf8(id);
    ForEachEntry(backupFolder, [&](const fs::directory_entry& entry) {
        if (Qualifies(entry, owner)) candidates.push_back(os::FromFsPath(entry.path()));
    });
    // Code-unit order, as the stamps sort.
    std::sort(candidates.begin(), candidates.end(),
              [](const std::wstring& a, const std::wstring& b) { return ToUtf16(a) < ToUtf16(b); });
    return candidates;
}

void ApplyRetention(const BackupSettings& settings, const std::wstring& backupFolder, const std::wstring& id,
                    int keep, const std::wstring& protectedSnapshot) {
    std::vector<std::wstring> candidates = RetentionCandidates(backupFolder, id);
    while (keep >= 0 && candidates.size() > static_cast<size_t>(keep)) {
        // The oldest by name, passing over the snapshot this run made: with a
        // clock set back it may sort among the oldest.
        const fs::path keepName = os::FsPath(protectedSnapshot).filename();
        auto oldest = std::find_if(candidates.begin(), candidates.end(), [&](const std::wstring& c) {
            return protectedSnapshot.empty() || os::FsPath(c).filename() != keepName;
        });
        if (oldest == candidates.end()) return;
        RequireNoRedirection(*oldest);
        if (HoldsExtraEntries(*oldest)) {
            BackupLog::append(settings, L"Retention skipped: extra files in snapshot");
            return;
        }
        RemoveSnapshot(*oldest);
        candidates.erase(oldest);
    }
}

}  // namespace tesmora
