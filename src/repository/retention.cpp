#include "repository/retention.h"

#include "repository/format.h"
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

void ApplyRetention(const std::wstring& backupFolder, const std::wstring& id, int keep,
                    const std::wstring& protectedSnapshot, const RetentionNote& note) {
    if (keep <= 0) return;
    std::vector<std::wstring> candidates = RetentionCandidates(backupFolder, id);
    if (candidates.size() <= static_cast<std::size_t>(keep)) return;
    std::size_t due = candidates.size() - static_cast<std::size_t>(keep);
    // The oldest by name, passing over the snapshot this run made: with a
    // clock set back it may sort among the oldest.
    const fs::path keepName = os::FsPath(protectedSnapshot).filename();
    // And over the newest whole one: the newer ones that lack a database
    // must not push the last copy with every database out.
    const auto whole = std::find_if(candidates.rbegin(), candidates.rend(), [](const std::wstring& candidate) {
        const auto ini = ParseSnapshotIni(ReadMarkerFile(os::JoinPath(candidate, kSnapshotIniFile)));
        return ini && ini->missed.empty();
    });
    const std::wstring newestWhole = whole == candidates.rend() ? std::wstring() : *whole;
    // Kept besides the `keep` newest, not instead of one of them.
    if (whole != candidates.rend() && static_cast<std::size_t>(candidates.rend() - whole) <= due) --due;
    for (const std::wstring& candidate : candidates) {
        if (due == 0) break;
        if (!protectedSnapshot.empty() && os::FsPath(candidate).filename() == keepName) continue;
        if (candidate == newestWhole) continue;
        --due;
        RequireNoRedirection(candidate);
        const std::vector<std::wstring> files = RemovalOrder(candidate);
        const std::wstring name = os::FromFsPath(os::FsPath(candidate).filename());
        if (files.empty()) {
            if (note) note(L"extra files in snapshot " + name);
            continue;
        }
        try {
            for (const std::wstring& file : files) RemoveOwnFile(file);
            std::error_code ec;
            fs::remove(os::FsPath(candidate), ec);
            if (ec) throw FileSystemError("remove", candidate, ec);
        } catch (const FileSystemError& e) {
            if (note) note(FromUtf8(e.what()));
        }
    }
}

}  // namespace tesmora
