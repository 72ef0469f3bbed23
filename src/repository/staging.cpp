#include "repository/staging.h"

#include "archive/archive_check.h"
#include "config/durable_file.h"
#include "repository/format.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"

#include <array>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace tesmora {
namespace {

// The pauses between attempts of the commit's rename: about ten seconds in all,
// as long as the handles of an indexer, a virus scanner or Explorer usually last.
constexpr std::array<std::chrono::milliseconds, 7> kRenamePauses{
    std::chrono::milliseconds(250), std::chrono::milliseconds(500), std::chrono::milliseconds(1000),
    std::chrono::milliseconds(2000), std::chrono::milliseconds(2000), std::chrono::milliseconds(2000),
    std::chrono::milliseconds(2000)};

// Every entry of the staging folder, after proving each is one of ours and
// a plain file. Raises without changing anything.
std::vector<fs::path> ProvenEntries(const std::wstring& staging) {
    std::vector<fs::path> entries;
    std::error_code ec;
    fs::directory_iterator it(os::FsPath(staging), ec);
    if (ec) throw FileSystemError("directory_iterator::directory_iterator", staging, ec);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) throw FileSystemError("directory_iterator::operator++", staging, ec);
        const std::wstring entry = os::FromFsPath(it->path());
        if (!IsSnapshotFileName(os::FromFsPath(it->path().filename()), true)) {
            throw Error(ErrorCode::UnknownStagingFile);
        }
        std::error_code statusError;
        const bool directory = fs::is_directory(it->path(), statusError);
        if (statusError && statusError != std::errc::no_such_file_or_directory) {
            throw FileSystemError("directory_entry::status", entry, statusError);
        }
        if (directory || os::IsReparsePoint(entry)) throw Error(ErrorCode::StagingEntryRedirected);
        entries.push_back(it->path());
    }
    if (ec) throw FileSystemError("directory_iterator::operator++", staging, ec);
    return entries;
}

// A creation cut short between the folder and its marker: nothing to lose.
bool HoldsAtMostAnEmptyMarker(const std::wstring& staging) {
    try {
        const std::vector<fs::path> entries = ProvenEntries(staging);
        return entries.empty() || (entries.size() == 1 && entries.front().filename() == os::FsPath(kOwnerMarker));
    } catch (const Error&) {
        return false;
    }
}

// The creation time of a cut-off commit worth finishing: its snapshot.ini is
// this configuration's and its archive still matches its checksum.
std::optional<std::uint64_t> FinishableCommit(const std::wstring& staging, const std::wstring& id) {
    const auto ini = ParseSnapshotIni(ReadMarkerFile(os::JoinPath(staging, kSnapshotIniFile)));
    const std::string sums = ReadMarkerFile(os::JoinPath(staging, kChecksumFile));
    const auto sum = ParseChecksumLine(sums);
    if (!ini || ini->config != id || !sum || ChecksumNamesEncrypted(sums) != ini->encrypted()) return std::nullopt;
    try {
        const std::wstring archive = os::JoinPath(staging, ArchiveFileName(ini->encrypted()));
        if (HexLower(DigestOnDevice(archive)) != *sum) return std::nullopt;
    } catch (const Error&) {
        return std::nullopt;  // an archive that cannot be read proves nothing
    }
    return ini->createdUtc;
}

// Renames the staging folder into a snapshot, trying again while another
// program holds something inside open.
std::wstring RenameIntoSnapshot(const std::wstring& staging, const std::wstring& backupFolder,
                                std::uint64_t createdUtc, const CommitServices& services) {
    const std::wstring snapshot = os::JoinPath(backupFolder, NewSnapshotName(createdUtc));
    for (std::size_t attempt = 0;; ++attempt) {
        try {
            if (services.rename) {
                services.rename(staging, snapshot);
            } else {
                os::RenameDirectory(staging, snapshot);
            }
            return snapshot;
        } catch (const FileSystemError&) {
            if (attempt >= kRenamePauses.size()) throw;
            if (services.pause) {
                services.pause(kRenamePauses[attempt]);
            } else {
                SleepFor(kRenamePauses[attempt]);
            }
        }
    }
}

void CreateStaging(const std::wstring& staging, const std::string& ownId) {
    std::error_code ec;
    fs::create_directory(os::FsPath(staging), ec);
    if (ec) throw FileSystemError("create_directory", staging, ec);
    WriteWholeFile(os::JoinPath(staging, kOwnerMarker), ownId);
}

}  // namespace

void SleepFor(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

std::optional<std::wstring> PrepareStaging(const std::wstring& staging, const std::wstring& backupFolder,
                                           const std::wstring& id, const CommitServices& services) {
    const fs::path path = os::FsPath(staging);
    const std::wstring owner = os::JoinPath(staging, kOwnerMarker);
    const std::string ownId = ToUtf8(id);
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) throw FileSystemError("exists", staging, ec);
    if (id.empty()) throw Error(ErrorCode::UnrecognizedStaging);

    if (!fs::exists(status)) {
        CreateStaging(staging, ownId);
        return std::nullopt;
    }
    if (os::IsReparsePoint(staging)) throw Error(ErrorCode::StagingRedirected);
    const std::string marker = ReadMarkerFile(owner);
    const bool cutCommit = marker.empty() && IsOwnSnapshot(staging, id);
    if (marker != ownId && !cutCommit && !(marker.empty() && HoldsAtMostAnEmptyMarker(staging))) {
        throw Error(ErrorCode::UnrecognizedStaging);
    }
    const std::vector<fs::path> entries = ProvenEntries(staging);

    // A commit cut off after COMPLETE (written only once the archive was
    // read back and proven) may hold the newest backup there is: it becomes
    // the snapshot it was meant to be.
    if (IsOwnSnapshot(staging, id)) {
        if (const auto createdUtc = FinishableCommit(staging, id)) {
            if (!marker.empty()) RemoveOwnFile(owner);
            const std::wstring snapshot = RenameIntoSnapshot(staging, backupFolder, *createdUtc, services);
            CreateStaging(staging, ownId);
            return snapshot;
        }
    }
    // The marker first: whatever happens to the removals, the folder stays
    // recognisably ours.
    if (marker != ownId) WriteWholeFile(owner, ownId);
    // What a cut-off run left to resume from stays for the run to judge.
    for (const fs::path& entry : entries) {
        const fs::path name = entry.filename();
        if (name != os::FsPath(kOwnerMarker) && name != os::FsPath(kResumeArchiveFile) &&
            name != os::FsPath(kResumeIndexFile)) {
            RemoveOwnFile(os::FromFsPath(entry));
        }
    }
    return std::nullopt;
}

std::wstring CommitSnapshot(const std::wstring& staging, const std::wstring& backupFolder, const std::wstring& id,
                            const std::string& snapshotIni, std::uint64_t createdUtc,
                            const CommitServices& services) {
    const std::wstring owner = os::JoinPath(staging, kOwnerMarker);
    WriteWholeFile(os::JoinPath(staging, kSnapshotIniFile), snapshotIni);
    WriteWholeFile(os::JoinPath(staging, kCompleteMarker), ToUtf8(id));
    std::error_code ec;
    fs::remove(os::FsPath(owner), ec);
    if (ec) throw FileSystemError("remove", owner, ec);
    // From here on the folder is a finished commit: should the rename never
    // succeed, the next run completes it before anything else.
    return RenameIntoSnapshot(staging, backupFolder, createdUtc, services);
}

}  // namespace tesmora
