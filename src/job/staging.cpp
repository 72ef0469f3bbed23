#include "job/staging.h"

#include "config/durable_file.h"
#include "config/ini_file.h"
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

std::string SnapshotIniText(const std::wstring& id, std::uint64_t createdUtc, std::optional<std::uint64_t> files,
                            std::optional<std::uint64_t> databases) {
    std::string text = "format=1\nconfig=" + ToUtf8(id) + "\ncreated_utc=" + std::to_string(createdUtc) +
                       "\narchive=site.tar.gz\n";
    if (files) text += "files=" + std::to_string(*files) + "\n";
    if (databases) text += "databases=" + std::to_string(*databases) + "\n";
    return text;
}

std::optional<SnapshotIni> ParseSnapshotIni(std::string_view text) {
    SnapshotIni ini;
    bool format = false, created = false, archive = false;
    const auto number = [](std::string_view value) -> std::optional<std::uint64_t> {
        const std::uint64_t parsed = ParseUnsignedOr(FromUtf8(value), UINT64_MAX);
        if (parsed == UINT64_MAX || value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) {
            return std::nullopt;
        }
        return parsed;
    };
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) return std::nullopt;
        const std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "format") {
            format = value == "1";
        } else if (key == "config") {
            ini.config = FromUtf8(value);
        } else if (key == "archive") {
            archive = value == "site.tar.gz";
        } else if (key == "created_utc" || key == "files" || key == "databases") {
            const auto parsed = number(value);
            if (!parsed) return std::nullopt;
            if (key == "created_utc") {
                ini.createdUtc = *parsed;
                created = true;
            } else {
                (key == "files" ? ini.files : ini.databases) = parsed;
            }
        }
    }
    if (!format || !created || !archive || ini.config.empty()) return std::nullopt;
    return ini;
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
                            const std::string& snapshotIni, const RenameFunction& rename, const Pause& pause) {
    const std::wstring owner = os::JoinPath(staging, kOwnerMarker);
    const std::wstring complete = os::JoinPath(staging, kCompleteMarker);
    WriteWholeFile(os::JoinPath(staging, L"snapshot.ini"), snapshotIni);
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
