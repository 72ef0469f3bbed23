#include "restore/restore.h"

#include "os/error.h"
#include "repository/format.h"
#include "os/os.h"
#include "os/text.h"
#include "restore/restore_names.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

namespace fs = std::filesystem;

namespace tesmora {
namespace {

// libarchive's own checks on every path it writes, on top of the names this
// program already proved: no "..", no absolute path, nothing through a link.
constexpr int kDiskOptions = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                             ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS |
                             ARCHIVE_EXTRACT_NO_OVERWRITE;

struct DiskFree {
    void operator()(archive* disk) const { archive_write_free(disk); }
};
struct EntryFree {
    void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};
using DiskHandle = std::unique_ptr<archive, DiskFree>;
using EntryHandle = std::unique_ptr<archive_entry, EntryFree>;

// libarchive's disk writer takes names as UTF-16 on Windows (its UTF-8
// setter cannot convert there) and as UTF-8 bytes elsewhere.
void SetName(archive_entry* entry, void (*wide)(archive_entry*, const wchar_t*),
             void (*utf8)(archive_entry*, const char*), const std::wstring& name) {
    if (sizeof(wchar_t) == 2) {
        wide(entry, name.c_str());
    } else {
        utf8(entry, ToUtf8(name).c_str());
    }
}

// The archive as it is read, hashed on the way.
class ArchiveFile final : public ByteSource {
public:
    ArchiveFile(const std::wstring& path, const ReadProgress& progress, const CancelToken* cancel)
        : progress_(progress), cancel_(cancel) {
        file_.rdbuf()->pubsetbuf(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        file_.open(os::FsPath(path), std::ios::binary);
        if (!file_) throw Error(ErrorCode::RestoreFailed, "Cannot read " + ToUtf8(path));
        std::error_code ec;
        size_ = fs::file_size(os::FsPath(path), ec);
    }

    std::size_t read(char* buffer, std::size_t size) override {
        if (cancel_ != nullptr && cancel_->cancelled()) throw CancelledError();
        file_.read(buffer, static_cast<std::streamsize>(size));
        const auto got = static_cast<std::size_t>(file_.gcount());
        hash_.update(buffer, got);
        done_ += got;
        if (progress_) progress_(done_, size_);
        return got;
    }

    // Reads what is left, so the digest covers the whole file.
    std::string digest() {
        std::vector<char> sink(1 << 16);
        while (read(sink.data(), sink.size()) > 0) {
        }
        return HexLower(hash_.finish());
    }

private:
    std::vector<char> buffer_ = std::vector<char>(1 << 20);
    std::ifstream file_;
    const ReadProgress& progress_;
    const CancelToken* cancel_;
    os::Sha256 hash_;
    std::uint64_t done_ = 0, size_ = 0;
};

// restore-report.txt, written as the restore goes: UTF-8 with a byte-order
// mark and CR LF, so Notepad shows it right.
class Report {
public:
    explicit Report(const std::wstring& path) : out_(os::FsPath(os::ExtendedPath(path)), std::ios::binary) {
        if (!out_) throw Error(ErrorCode::RestoreFailed, "Cannot write " + ToUtf8(path));
        out_ << "\xEF\xBB\xBF";
    }
    void line(const std::wstring& text) { out_ << ToUtf8(text) << "\r\n" << std::flush; }

private:
    std::ofstream out_;
};

std::wstring Quoted(const std::string& archiveName) { return L"\u00AB" + FromUtf8(archiveName) + L"\u00BB"; }

class Restore {
public:
    Restore(const std::wstring& snapshot, const std::wstring& target, const ReadProgress& progress,
            const CancelToken* cancel)
        : snapshot_(snapshot), target_(target), archive_(os::JoinPath(snapshot, kArchiveFile), progress, cancel),
          report_(os::JoinPath(target, kRestoreReportName)) {
        report_.line(L"Восстановление копии " + os::FromFsPath(os::FsPath(snapshot).filename()) + L" в папку " +
                     target);
    }

    RestoreResult run() {
        try {
            extract();
        } catch (const CancelledError&) {
            finish(L"Восстановление отменено");
            throw CancelledError("Restore cancelled; what was restored so far stays in " + ToUtf8(target_));
        } catch (const std::exception& e) {
            finish(L"Восстановление не завершено: " + FromUtf8(e.what()));
            throw;
        }
        finish(L"");
        return result_;
    }

private:
    void extract() {
        const os::CurrentFolderScope inTarget(target_);
        disk_.reset(archive_write_disk_new());
        if (!disk_) throw Error("Out of memory");
        archive_write_disk_set_options(disk_.get(), kDiskOptions);
        ArchiveReader reader(archive_);
        ArchiveEntry entry;
        bool manifestLast = false;
        while (reader.next(entry)) {
            manifestLast = entry.name == kManifestName;
            const auto name = MapArchiveName(entry.name);
            if (!name) {
                skip(entry, L"путь вне папки восстановления");
                continue;
            }
            switch (entry.type) {
                case EntryType::Directory: write(entry, *name, nullptr); break;
                case EntryType::File: write(entry, *name, &reader); break;
                case EntryType::Hardlink: hardLink(entry, *name); break;
                case EntryType::Symlink: links_.push_back({entry.name, entry.link, name->path}); break;
                case EntryType::Other: skip(entry, L"особый файл"); break;
            }
        }
        // Directory times are set at the close, after their contents.
        if (archive_write_close(disk_.get()) != ARCHIVE_OK) throw Error(ErrorCode::RestoreFailed, DiskError());
        for (const Link& link : links_) symbolicLink(link);
        // The same strict reading as verification: what restore calls intact,
        // verify never rejects.
        const auto sum = ParseChecksumLine(ReadMarkerFile(os::JoinPath(snapshot_, kChecksumFile)));
        result_.archiveIntact = manifestLast && sum && archive_.digest() == *sum;
    }

    // A directory or a file: a name Windows cannot tell from an earlier one
    // (letter case) gets a number.
    void write(const ArchiveEntry& entry, const RestoreName& name, ArchiveReader* data) {
        std::wstring path = name.path;
        // libarchive passes over a file that exists without a word; the
        // restore started empty, so one that exists came first under a name
        // Windows cannot tell from this one.
        for (int n = 2; data != nullptr && Exists(path) && n < 1000; ++n) path = NumberedName(name.path, n);
        {
            EntryHandle disk(archive_entry_new());
            SetName(disk.get(), archive_entry_copy_pathname_w, archive_entry_set_pathname_utf8, path);
            archive_entry_set_filetype(disk.get(), data != nullptr ? AE_IFREG : AE_IFDIR);
            archive_entry_set_perm(disk.get(), data != nullptr ? 0644 : 0755);
            if (data != nullptr) archive_entry_set_size(disk.get(), static_cast<la_int64_t>(entry.size));
            archive_entry_set_mtime(disk.get(), entry.mtime, entry.mtimeNanoseconds);
            const int result = archive_write_header(disk_.get(), disk.get());
            if (result != ARCHIVE_OK && result != ARCHIVE_WARN) {
                failed(entry);
                return;
            }
        }
        if (path != name.path) taken_[name.path] = path;
        if (path != name.path || name.renamed) {
            ++result_.renamed;
            report_.line(L"переименовано: " + Quoted(entry.name) + L" -> " + path);
        }
        if (data == nullptr) return;
        std::string_view piece;
        std::uint64_t offset = 0;
        while (data->readData(piece, offset)) {
            if (archive_write_data_block(disk_.get(), piece.data(), piece.size(), static_cast<la_int64_t>(offset)) <
                ARCHIVE_OK) {
                throw Error(ErrorCode::RestoreFailed, DiskError());
            }
        }
        if (archive_write_finish_entry(disk_.get()) < ARCHIVE_WARN) throw Error(ErrorCode::RestoreFailed, DiskError());
        ++result_.files;
        result_.bytes += entry.size;
    }

    // A hard link where the file system has them, a copy elsewhere (FAT,
    // exFAT), or a line in the report when its file was not restored.
    void hardLink(const ArchiveEntry& entry, const RestoreName& name) {
        const auto target = MapArchiveName(entry.link);
        if (!target) {
            skip(entry, L"ссылка вне папки восстановления");
            return;
        }
        const auto taken = taken_.find(target->path);
        const std::wstring existing = taken != taken_.end() ? taken->second : target->path;
        EntryHandle disk(archive_entry_new());
        SetName(disk.get(), archive_entry_copy_pathname_w, archive_entry_set_pathname_utf8, name.path);
        SetName(disk.get(), archive_entry_copy_hardlink_w, archive_entry_set_hardlink_utf8, existing);
        archive_entry_set_filetype(disk.get(), AE_IFREG);
        archive_entry_set_perm(disk.get(), 0644);
        archive_entry_set_size(disk.get(), 0);
        const int linked = archive_write_header(disk_.get(), disk.get());
        if (linked == ARCHIVE_OK || linked == ARCHIVE_WARN) {
            archive_write_finish_entry(disk_.get());
        } else {
            std::error_code ec;
            fs::copy_file(os::FsPath(os::ExtendedPath(os::JoinPath(target_, existing))),
                          os::FsPath(os::ExtendedPath(os::JoinPath(target_, name.path))), ec);
            if (ec) {
                if (ec == std::errc::no_space_on_device) throw Error(ErrorCode::RestoreFailed, FullMessage());
                skip(entry, L"жёсткая ссылка не создана: " + FromUtf8(os::ErrorText(ec)));
                return;
            }
            ++result_.files;
            report_.line(L"копия вместо жёсткой ссылки: " + Quoted(entry.name) + L" -> " + existing);
        }
        if (name.renamed) {
            ++result_.renamed;
            report_.line(L"переименовано: " + Quoted(entry.name) + L" -> " + name.path);
        }
    }

    struct Link {
        std::string name, target;
        std::wstring path;
    };

    // Made after everything else, so nothing was ever written through one,
    // and only when it points somewhere inside the restore folder.
    void symbolicLink(const Link& link) {
        const auto relative = WithinTarget(link);
        const std::wstring shown = Quoted(link.name) + L" -> " + FromUtf8(link.target);
        if (!relative) {
            ++result_.linksNotCreated;
            report_.line(L"ссылка не создана (ведёт за пределы папки): " + shown);
            return;
        }
        const std::wstring at = os::JoinPath(target_, link.path);
        std::error_code ec;
        const bool directory = fs::is_directory(os::FsPath(os::ExtendedPath(os::JoinPath(os::ParentPath(at), *relative))), ec);
        if (fs::exists(fs::symlink_status(os::FsPath(os::ExtendedPath(at)), ec)) ||
            !os::MakeSymbolicLink(at, *relative, directory)) {
            ++result_.linksNotCreated;
            report_.line(L"ссылка не создана: " + shown);
        }
    }

    // The link's target in Windows form, relative to the link's folder, when
    // it stays inside the restore folder.
    static std::optional<std::wstring> WithinTarget(const Link& link) {
        if (link.target.empty() || link.target.front() == '/') return std::nullopt;
        int depth = static_cast<int>(std::count(link.name.begin(), link.name.end(), '/'));
        std::wstring relative;
        for (std::size_t start = 0; start < link.target.size();) {
            const std::size_t end = std::min(link.target.find('/', start), link.target.size());
            const std::string component = link.target.substr(start, end - start);
            start = end + 1;
            if (component.empty() || component == ".") continue;
            if (component == "..") {
                if (--depth < 0) return std::nullopt;
                relative = relative.empty() ? L".." : os::JoinPath(relative, L"..");
                continue;
            }
            const auto mapped = MapArchiveName(component);
            if (!mapped) return std::nullopt;
            ++depth;
            relative = relative.empty() ? mapped->path : os::JoinPath(relative, mapped->path);
        }
        if (relative.empty()) return std::nullopt;
        return relative;
    }

    bool Exists(const std::wstring& path) const {
        std::error_code ec;
        return fs::exists(fs::symlink_status(os::FsPath(os::ExtendedPath(os::JoinPath(target_, path))), ec));
    }

    void skip(const ArchiveEntry& entry, const std::wstring& why) {
        ++result_.skipped;
        report_.line(L"пропущено: " + Quoted(entry.name) + L" (" + why + L")");
    }

    void failed(const ArchiveEntry& entry) {
        if (archive_errno(disk_.get()) == ENOSPC) throw Error(ErrorCode::RestoreFailed, FullMessage());
        skip(entry, FromUtf8(archive_error_string(disk_.get()) != nullptr ? archive_error_string(disk_.get())
                                                                             : "not written"));
    }

    std::string DiskError() const {
        if (archive_errno(disk_.get()) == ENOSPC) return FullMessage();
        const char* text = archive_error_string(disk_.get());
        return "Restore failed: " + std::string(text != nullptr ? text : "write error") +
               "; what was restored so far stays in " + ToUtf8(target_);
    }

    std::string FullMessage() const {
        return "The restore folder's drive is full; what was restored so far stays in " + ToUtf8(target_);
    }

    void finish(const std::wstring& failure) {
        if (!failure.empty()) report_.line(failure);
        if (!result_.archiveIntact) {
            report_.line(std::wstring(L"Внимание: архив не совпал со своей контрольной суммой (") + kChecksumFile +
                         L") или обрывается до манифеста; копия повреждена, восстановленное может быть неполным.");
        }
        report_.line(RestoreSummaryText(result_) + L"; пропущено " + std::to_wstring(result_.skipped));
    }

    std::wstring snapshot_, target_;
    ArchiveFile archive_;
    Report report_;
    DiskHandle disk_;
    RestoreResult result_;
    std::vector<Link> links_;
    std::map<std::wstring, std::wstring> taken_;  // names numbered for a case clash
};

}  // namespace

std::wstring RestoreSummaryText(const RestoreResult& result) {
    return L"Восстановлено: " + std::to_wstring(result.files) + L" файлов, " + std::to_wstring(result.bytes >> 20) +
           L" МиБ; переименовано " + std::to_wstring(result.renamed) + L"; ссылок не создано " +
           std::to_wstring(result.linksNotCreated);
}

RestoreResult RestoreSnapshot(const std::wstring& snapshot, const std::wstring& target, const ReadProgress& progress,
                              const CancelToken* cancel) {
    const fs::path folder = os::FsPath(target);
    std::error_code ec;
    if (fs::exists(folder, ec) && !fs::is_empty(folder, ec)) {
        throw Error(ErrorCode::RestoreTarget, "Choose an empty or new folder to restore into");
    }
    fs::create_directories(folder, ec);
    if (ec) throw FileSystemError("create_directories", target, ec);
    Restore restore(snapshot, target, progress, cancel);
    return restore.run();
}

}  // namespace tesmora
