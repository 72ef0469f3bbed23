#include "job/staging.h"

#include "config/durable_file.h"
#include "config/time_stamp.h"
#include "device/binding.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace fs = std::filesystem;

namespace tesmora {
namespace {

constexpr wchar_t kOwnerMarker[] = L"PARTIAL_OWNER";
constexpr wchar_t kCompleteMarker[] = L"COMPLETE";
constexpr std::array<const wchar_t*, 5> kStagingNames{kOwnerMarker, L"site.tar.gz", L"SHA256SUMS.txt",
                                                      L"snapshot.ini", kCompleteMarker};
// The pauses between attempts of the commit's rename: about ten seconds in all,
// as long as the handles of an indexer, a virus scanner or Explorer usually last.
constexpr std::array<std::chrono::milliseconds, 7> kRenamePauses{
    std::chrono::milliseconds(250), std::chrono::milliseconds(500), std::chrono::milliseconds(1000),
    std::chrono::milliseconds(2000), std::chrono::milliseconds(2000), std::chrono::milliseconds(2000),
    std::chrono::milliseconds(2000)};

bool IsStagingName(const std::wstring& name) {
    for (const wchar_t* allowed : kStagingNames) {
        if (name == allowed) return true;
    }
    return false;
}

// Every entry of the staging directory, after proving each is one of ours and
// a plain file. Raises without changing anything.
std::vector<fs::path> ProvenEntries(const std::wstring& staging) {
    std::vector<fs::path> entries;
    std::error_code ec;
    fs::directory_iterator it(os::FsPath(staging), ec);
    if (ec) throw FileSystemError("directory_iterator::directory_iterator", staging, ec);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) throw FileSystemError("directory_iterator::operator++", staging, ec);
        const std::wstring entry = os::FromFsPath(it->path());
        if (!IsStagingName(os::FromFsPath(it->path().filename()))) {
            throw Error("Unknown file in staging directory; not modified");
        }
        std::error_code statusError;
        const bool directory = fs::is_directory(it->path(), statusError);
        if (statusError && statusError != std::errc::no_such_file_or_directory) {
            throw FileSystemError("directory_entry::status", entry, statusError);
        }
        if (directory || os::IsReparsePoint(entry)) throw Error("Redirected staging entry");
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

void RemoveFile(const fs::path& entry) {
    std::error_code ec;
    if (!fs::remove(entry, ec) && ec) {
        // A read-only attribute is what usually stands in the way.
        fs::permissions(entry, fs::perms::owner_write, fs::perm_options::add, ec);
        if (!fs::remove(entry, ec) && ec) throw FileSystemError("remove", os::FromFsPath(entry), ec);
    }
}

}  // namespace

std::wstring StagingDirectoryName(const std::wstring& id) { return L".partial-" + id; }

std::string SnapshotIniText(const std::wstring& id, std::uint64_t createdUtc) {
    return "format=1\nconfig=" + ToUtf8(id) + "\ncreated_utc=" + std::to_string(createdUtc) +
           "\narchive=site.tar.gz\n";
}

std::string ReadMarkerFile(const std::wstring& path) {
    try {
        std::ifstream in(os::FsPath(path), std::ios::binary);
        if (!in) return {};
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        return {};  // a folder or an unreadable file reads as empty
    }
}

void SleepFor(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

void PrepareStaging(const std::wstring& staging, const std::wstring& id) {
    const fs::path path = os::FsPath(staging);
    const std::wstring owner = os::JoinPath(staging, kOwnerMarker);
    const std::string ownId = ToUtf8(id);
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) throw FileSystemError("exists", staging, ec);
    if (id.empty()) throw Error("Unrecognized staging directory; not modified");

    if (!fs::exists(status)) {
        fs::create_directory(path, ec);
        if (ec) throw FileSystemError("create_directory", staging, ec);
        WriteWholeFile(owner, ownId);
        return;
    }
    if (os::IsReparsePoint(staging)) throw Error("Staging directory is redirected");
    const std::string marker = ReadMarkerFile(owner);
    const bool cutCommit = marker.empty() && ReadMarkerFile(os::JoinPath(staging, kCompleteMarker)) == ownId;
    if (marker != ownId && !cutCommit && !(marker.empty() && HoldsAtMostAnEmptyMarker(staging))) {
        throw Error("Unrecognized staging directory; not modified");
    }
    const std::vector<fs::path> entries = ProvenEntries(staging);

    // The marker first: whatever happens to the removals, the directory stays
    // recognisably ours.
    if (marker != ownId) WriteWholeFile(owner, ownId);
    for (const fs::path& entry : entries) {
        if (entry.filename() != os::FsPath(kOwnerMarker)) RemoveFile(entry);
    }
}

std::wstring CommitSnapshot(const std::wstring& staging, const std::wstring& backupFolder, const std::wstring& id,
                            const RenameFunction& rename, const Pause& pause) {
    const std::wstring owner = os::JoinPath(staging, kOwnerMarker);
    const std::wstring complete = os::JoinPath(staging, kCompleteMarker);
    WriteWholeFile(os::JoinPath(staging, L"snapshot.ini"), SnapshotIniText(id, UnixNow()));
    WriteWholeFile(complete, ToUtf8(id));
    std::error_code ec;
    fs::remove(os::FsPath(owner), ec);
    if (ec) throw FileSystemError("remove", owner, ec);

    const std::wstring snapshot = os::JoinPath(backupFolder, FormatUtcStamp(UnixNow()) + L"-" + NewBindingId());
    for (std::size_t attempt = 0;; ++attempt) {
        try {
            if (rename) {
                rename(staging, snapshot);
            } else {
                os::RenameDirectory(staging, snapshot);
            }
            return snapshot;
        } catch (const FileSystemError&) {
            if (attempt < kRenamePauses.size()) {
                pause(kRenamePauses[attempt]);
                continue;
            }
            // Back to a staging directory the next run takes over.
            try {
                WriteWholeFile(owner, ToUtf8(id));
                fs::remove(os::FsPath(complete), ec);
            } catch (const Error&) {
                // The drive may be gone; a COMPLETE holding the id is enough.
            }
            throw;
        }
    }
}

}  // namespace tesmora
