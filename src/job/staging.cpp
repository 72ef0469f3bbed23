#include "job/staging.h"

#include "config/durable_file.h"
#include "config/text.h"
#include "config/time_stamp.h"
#include "device/binding.h"
#include "os/error.h"
#include "os/os.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace tesmora {
namespace {

constexpr std::array<const wchar_t*, 5> kStagingNames{L"PARTIAL_OWNER", L"site.tar.gz", L"SHA256SUMS.txt",
                                                      L"snapshot.ini", L"COMPLETE"};

bool IsStagingName(const std::wstring& name) {
    for (const wchar_t* allowed : kStagingNames) {
        if (name == allowed) return true;
    }
    return false;
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

void PrepareStaging(const std::wstring& staging, const std::wstring& id) {
    const fs::path path = os::FsPath(staging);
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) throw FileSystemError("exists", staging, ec.message());

    if (!fs::exists(status)) {
        fs::create_directory(path, ec);
        if (ec) throw FileSystemError("create_directory", staging, ec.message());
    } else {
        if (os::IsReparsePoint(staging)) throw Error("Staging directory is redirected");
        const std::string owner = ReadMarkerFile(os::JoinPath(staging, L"PARTIAL_OWNER"));
        if (id.empty() || owner != ToUtf8(id)) throw Error("Unrecognized staging directory; not modified");

        // First pass: prove every entry is one of ours and a plain file.
        std::vector<fs::path> entries;
        fs::directory_iterator it(path, ec);
        if (ec) throw FileSystemError("directory_iterator::directory_iterator", staging, ec.message());
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            if (ec) throw FileSystemError("directory_iterator::operator++", staging, ec.message());
            const std::wstring entry = os::FromFsPath(it->path());
            if (!IsStagingName(os::FromFsPath(it->path().filename()))) {
                throw Error("Unknown file in staging directory; not modified");
            }
            std::error_code statusError;
            const bool directory = fs::is_directory(it->path(), statusError);
            if (statusError && statusError != std::errc::no_such_file_or_directory) {
                throw FileSystemError("directory_entry::status", entry, statusError.message());
            }
            if (directory || os::IsReparsePoint(entry)) throw Error("Redirected staging entry");
            entries.push_back(it->path());
        }
        if (ec) throw FileSystemError("directory_iterator::operator++", staging, ec.message());

        // Second pass: empty it.
        for (const fs::path& entry : entries) {
            std::error_code removeError;
            if (!fs::remove(entry, removeError) && removeError) {
                // A read-only attribute is what usually stands in the way.
                fs::permissions(entry, fs::perms::owner_write, fs::perm_options::add, removeError);
                if (!fs::remove(entry, removeError) && removeError) {
                    throw FileSystemError("remove", os::FromFsPath(entry), removeError.message());
                }
            }
        }
    }
    WriteWholeFile(os::JoinPath(staging, L"PARTIAL_OWNER"), ToUtf8(id));
}

std::wstring CommitSnapshot(const std::wstring& staging, const std::wstring& backupFolder, const std::wstring& id) {
    WriteWholeFile(os::JoinPath(staging, L"snapshot.ini"), SnapshotIniText(id, UnixNow()));
    WriteWholeFile(os::JoinPath(staging, L"COMPLETE"), ToUtf8(id));
    std::error_code ec;
    fs::remove(os::FsPath(os::JoinPath(staging, L"PARTIAL_OWNER")), ec);
    if (ec) throw FileSystemError("remove", os::JoinPath(staging, L"PARTIAL_OWNER"), ec.message());
    const std::wstring snapshot = os::JoinPath(backupFolder, FormatUtcStamp(UnixNow()) + L"-" + NewBindingId());
    os::RenameDirectory(staging, snapshot);
    return snapshot;
}

}  // namespace tesmora
