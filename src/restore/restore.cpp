#include "restore/restore.h"

#include "archive/age_source.h"
#include "archive/archive_check.h"
#include "os/error.h"
#include "repository/format.h"
#include "os/os.h"
#include "os/text.h"
#include "restore/restore_names.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <cwctype>
#include <memory>
#include <optional>
#include <vector>

namespace fs = std::filesystem;

namespace tesmora {
namespace {

// The archive as it is read, hashed on the way.
class ArchiveFile final : public ByteSource {
public:
    ArchiveFile(const std::wstring& path, const ReadProgress& progress, const CancelToken* cancel)
        : progress_(progress), cancel_(cancel) {
        file_.rdbuf()->pubsetbuf(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        file_.open(os::FsPath(path), std::ios::binary);
        if (!file_) throw Error(ErrorCode::RestoreCannotRead, ToUtf8(path));
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
    os::BackgroundSha256 hash_;
    std::uint64_t done_ = 0, size_ = 0;
};

// restore-report.txt, written as the restore goes: UTF-8 with a byte-order
// mark and CR LF, so Notepad shows it right.
class Report {
public:
    explicit Report(const std::wstring& path) : out_(os::FsPath(os::ExtendedPath(path)), std::ios::binary) {
        if (!out_) throw Error(ErrorCode::RestoreCannotWrite, ToUtf8(path));
        out_ << "\xEF\xBB\xBF";
    }
    void line(const std::wstring& text) { out_ << ToUtf8(text) << "\r\n" << std::flush; }

private:
    std::ofstream out_;
};

std::wstring Quoted(const std::string& archiveName) { return L"\u00AB" + FromUtf8(archiveName) + L"\u00BB"; }

// A relative path's parts, split at either separator.
std::vector<std::wstring> PartsOf(const std::wstring& path) {
    std::vector<std::wstring> parts;
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find_first_of(L"\\/", start), path.size());
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Names as a case-blind file system compares them.
std::wstring Folded(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

bool IsEncrypted(const std::wstring& snapshot) {
    return ArchiveIn(snapshot) == os::JoinPath(snapshot, kEncryptedArchiveFile);
}

class Restore {
public:
    Restore(const std::wstring& snapshot, const std::wstring& target, const ReadProgress& progress,
            const CancelToken* cancel, const age::Keys* keys)
        : snapshot_(snapshot), target_(target), archive_(ArchiveIn(snapshot), progress, cancel),
          report_(os::JoinPath(target, kRestoreReportName)) {
        if (keys != nullptr && IsEncrypted(snapshot)) decrypted_.emplace(archive_, *keys);
        report_.line(L"Восстановление копии " + os::FromFsPath(os::FsPath(snapshot).filename()) + L" в папку " +
                     target);
    }

    RestoreResult run() {
        try {
            extract();
        } catch (const CancelledError&) {
            abandonCurrent();
            finish(L"Восстановление отменено");
            throw CancelledError(ErrorCode::RestoreCancelled, ToUtf8(target_));
        } catch (const std::exception& e) {
            abandonCurrent();
            finish(L"Восстановление не завершено: " + FromUtf8(e.what()));
            throw;
        }
        finish(L"");
        return result_;
    }

private:
    struct Link {
        std::string name, target;
        std::wstring path;
    };
    struct Folder {
        std::wstring path;
        std::int64_t mtime;
        long nanoseconds;
    };

    std::wstring At(const std::wstring& relative) const { return os::ExtendedPath(os::JoinPath(target_, relative)); }

    void extract() {
        ArchiveReader reader(decrypted_ ? static_cast<ByteSource&>(*decrypted_) : archive_);
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
                case EntryType::Directory: directory(entry, *name); break;
                case EntryType::File:
                    if (entry.name.starts_with(kDumpFolder)) dumps_.push_back(entry.name);
                    file(entry, *name, reader);
                    break;
                case EntryType::Hardlink: hardLink(entry, *name); break;
                case EntryType::Symlink: links_.push_back({entry.name, entry.link, name->path}); break;
                case EntryType::Other: skip(entry, L"особый файл"); break;
            }
        }
        // A folder's time is set after its contents, the deepest first.
        for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
            os::SetModificationTime(At(folder->path), folder->mtime, folder->nanoseconds);
        }
        for (const Link& link : links_) linkNames_.insert(Folded(link.path));
        for (const Link& link : links_) symbolicLink(link);
        // The same strict reading as verification: what restore calls intact,
        // verify never rejects.
        const auto sum = ParseChecksumLine(ReadMarkerFile(os::JoinPath(snapshot_, kChecksumFile)));
        result_.archiveIntact = manifestLast && sum && archive_.digest() == *sum;
    }

    // Whether every folder on the way to `relative` (itself excluded) is a
    // plain folder, made where missing when `make`. A link, a junction or a
    // file on the way fails it, so nothing is ever written through one.
    // `fresh` looks at the disk again rather than trust what it saw before.
    bool PlainFoldersTo(const std::wstring& relative, bool make, bool fresh) {
        const std::vector<std::wstring> parts = PartsOf(relative);
        std::wstring path;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            path = path.empty() ? parts[i] : os::JoinPath(path, parts[i]);
            if (!fresh && plain_.count(path) != 0) continue;
            std::error_code ec;
            const auto status = fs::symlink_status(os::FsPath(At(path)), ec);
            if (!fs::exists(status)) {
                if (!make || !fs::create_directory(os::FsPath(At(path)), ec)) return false;
            } else if (fs::is_symlink(status) || !fs::is_directory(status) || os::IsReparsePoint(At(path))) {
                return false;
            }
            plain_.insert(path);
        }
        return true;
    }

    bool Exists(const std::wstring& relative) const {
        std::error_code ec;
        return fs::exists(fs::symlink_status(os::FsPath(At(relative)), ec));
    }

    // The name a new file gets: a name Windows cannot tell from an earlier
    // one (letter case) gets a number.
    std::wstring FreeName(const RestoreName& name) {
        std::wstring path = name.path;
        for (int n = 2; Exists(path) && n < 1000; ++n) path = NumberedName(name.path, n);
        if (path != name.path) taken_[name.path] = path;
        return path;
    }

    void renamed(const ArchiveEntry& entry, const RestoreName& name, const std::wstring& path) {
        if (path == name.path && !name.renamed) return;
        ++result_.renamed;
        report_.line(L"переименовано: " + Quoted(entry.name) + L" -> " + path);
    }

    void directory(const ArchiveEntry& entry, const RestoreName& name) {
        std::error_code ec;
        if (!PlainFoldersTo(name.path, true, false)) return skip(entry, L"на пути ссылка или файл");
        const auto status = fs::symlink_status(os::FsPath(At(name.path)), ec);
        if (!fs::exists(status)) {
            if (!fs::create_directory(os::FsPath(At(name.path)), ec)) {
                return skip(entry, L"папка не создана: " + FromUtf8(os::ErrorText(ec)));
            }
        } else if (fs::is_symlink(status) || !fs::is_directory(status)) {
            return skip(entry, L"на этом месте уже есть файл");
        }
        plain_.insert(name.path);
        folders_.push_back({name.path, entry.mtime, entry.mtimeNanoseconds});
        renamed(entry, name, name.path);
    }

    void file(const ArchiveEntry& entry, const RestoreName& name, ArchiveReader& data) {
        if (!PlainFoldersTo(name.path, true, false)) return skip(entry, L"на пути ссылка или файл");
        const std::wstring path = FreeName(name);
        {
            std::ofstream out(os::FsPath(At(path)), std::ios::binary | std::ios::trunc);
            if (!out) return skip(entry, L"файл не создан: " + FromUtf8(os::ErrorText(std::error_code(errno, std::generic_category()))));
            current_ = path;
            std::string_view piece;
            std::uint64_t offset = 0;
            while (data.readData(piece, offset)) {
                out.seekp(static_cast<std::streamoff>(offset));
                out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
                if (!out) WriteFailed(errno);
            }
            out.close();
            if (!out) WriteFailed(errno);
        }
        // A sparse file may end with a hole.
        std::error_code ec;
        if (fs::file_size(os::FsPath(At(path)), ec) != entry.size) {
            fs::resize_file(os::FsPath(At(path)), entry.size, ec);
            if (ec) WriteFailed(ec.value());
        }
        os::SetModificationTime(At(path), entry.mtime, entry.mtimeNanoseconds);
        current_.clear();
        ++result_.files;
        result_.bytes += entry.size;
        renamed(entry, name, path);
    }

    [[noreturn]] void WriteFailed(int error) const {
        if (error == ENOSPC) throw DriveFull();
        throw Error(ErrorCode::RestoreWriteFailed,
                    ToUtf8(os::JoinPath(target_, current_)) + ": " +
                        os::ErrorText(std::error_code(error, std::generic_category())) +
                        "; what was restored so far stays in " + ToUtf8(target_));
    }

    // The file being written when the restore stopped: removed, or renamed
    // to "*.incomplete" when it cannot be, and named in the report either way.
    void abandonCurrent() {
        if (current_.empty()) return;
        std::error_code ec;
        if (fs::remove(os::FsPath(At(current_)), ec)) {
            report_.line(L"не дописан и удалён: " + current_);
        } else {
            fs::rename(os::FsPath(At(current_)), os::FsPath(At(current_ + L".incomplete")), ec);
            report_.line(L"не дописан: " + current_ + (ec ? L"" : L".incomplete"));
        }
        current_.clear();
    }

    // A hard link where the file system has them, a copy elsewhere (FAT,
    // exFAT), or a line in the report when its file was not restored.
    void hardLink(const ArchiveEntry& entry, const RestoreName& name) {
        const auto target = MapArchiveName(entry.link);
        if (!target) return skip(entry, L"ссылка вне папки восстановления");
        if (!PlainFoldersTo(name.path, true, false)) return skip(entry, L"на пути ссылка или файл");
        const auto taken = taken_.find(target->path);
        const std::wstring existing = taken != taken_.end() ? taken->second : target->path;
        std::error_code ec;
        if (!fs::is_regular_file(fs::symlink_status(os::FsPath(At(existing)), ec))) {
            return skip(entry, L"жёсткая ссылка не создана: её файла нет");
        }
        const std::wstring path = FreeName(name);
        fs::create_hard_link(os::FsPath(At(existing)), os::FsPath(At(path)), ec);
        if (!ec) {
            ++result_.hardLinks;
        } else {
            fs::copy_file(os::FsPath(At(existing)), os::FsPath(At(path)), ec);
            if (ec) {
                if (ec == std::errc::no_space_on_device) throw DriveFull();
                return skip(entry, L"жёсткая ссылка не создана: " + FromUtf8(os::ErrorText(ec)));
            }
            ++result_.files;
            report_.line(L"копия вместо жёсткой ссылки: " + Quoted(entry.name) + L" -> " + existing);
        }
        renamed(entry, name, path);
    }

    // Made after everything else, and only when it points somewhere inside
    // the restore folder and no folder on its way is a link.
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
        if (!PlainFoldersTo(link.path, true, true) || Exists(link.path) ||
            !os::MakeSymbolicLink(at, *relative, directory)) {
            ++result_.linksNotCreated;
            report_.line(L"ссылка не создана: " + shown);
        }
    }

    // The link's target in Windows form, relative to the link's folder, when
    // it stays inside the restore folder. The depth is that of the mapped
    // name ("./x//l" is one folder deep), and a target that passes through
    // another link of the archive is refused: ".." after a link leaves from
    // wherever that link leads.
    std::optional<std::wstring> WithinTarget(const Link& link) const {
        if (link.target.empty() || link.target.front() == '/') return std::nullopt;
        std::vector<std::wstring> at = PartsOf(link.path);
        at.pop_back();
        const auto atLink = [&] {
            std::wstring through;
            for (const std::wstring& part : at) through = through.empty() ? part : os::JoinPath(through, part);
            return !through.empty() && linkNames_.count(Folded(through)) != 0;
        };
        std::wstring relative;
        for (std::size_t start = 0; start < link.target.size();) {
            const std::size_t end = std::min(link.target.find('/', start), link.target.size());
            const std::string component = link.target.substr(start, end - start);
            start = end + 1;
            if (component.empty() || component == ".") continue;
            if (at.empty() && component == "..") return std::nullopt;
            if (atLink()) return std::nullopt;
            if (component == "..") {
                at.pop_back();
                relative = relative.empty() ? L".." : os::JoinPath(relative, L"..");
                continue;
            }
            const auto mapped = MapArchiveName(component);
            if (!mapped) return std::nullopt;
            at.push_back(mapped->path);
            relative = relative.empty() ? mapped->path : os::JoinPath(relative, mapped->path);
        }
        if (relative.empty()) return std::nullopt;
        return relative;
    }

    void skip(const ArchiveEntry& entry, const std::wstring& why) {
        ++result_.skipped;
        report_.line(L"пропущено: " + Quoted(entry.name) + L" (" + why + L")");
    }

    Error DriveFull() const { return Error(ErrorCode::RestoreDriveFull, ToUtf8(target_)); }

    void finish(const std::wstring& failure) {
        if (!failure.empty()) report_.line(failure);
        for (const std::string& dump : dumps_) report_.line(DumpLoadText(dump));
        if (!result_.archiveIntact) {
            report_.line(std::wstring(L"Внимание: архив не совпал со своей контрольной суммой (") + kChecksumFile +
                         L") или обрывается до манифеста; копия повреждена, восстановленное может быть неполным.");
        }
        report_.line(RestoreSummaryText(result_));
    }

    std::wstring snapshot_, target_;
    ArchiveFile archive_;
    std::optional<AgeSource> decrypted_;  // what an encrypted archive holds
    Report report_;
    RestoreResult result_;
    std::vector<Link> links_;
    std::vector<Folder> folders_;
    std::vector<std::string> dumps_;  // the database dumps' member names
    std::set<std::wstring> plain_;      // folders seen to be plain folders
    std::set<std::wstring> linkNames_;  // the archive's symbolic links, folded
    std::wstring current_;              // the file being written
    std::map<std::wstring, std::wstring> taken_;  // names numbered for a case clash
};

}  // namespace

std::wstring DumpLoadText(const std::string& member) {
    const std::string file = member.substr(member.find_last_of('/') + 1);
    const bool mysql = file.starts_with("mysql-");
    std::string database = file.substr(file.find('-') + 1);
    database = database.substr(0, database.size() - (database.ends_with(".sql") ? 4 : 0));
    // Single quotes keep the shell from reading anything in the names.
    const auto quoted = [](const std::string& text) {
        std::string out = "'";
        for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    };
    const std::string command = mysql ? "mysql --default-character-set=utf8mb4 " + quoted(database) + " < " + quoted(member)
                                      : "psql -v ON_ERROR_STOP=1 -d " + quoted(database) + " -f " + quoted(member);
    return L"дамп базы данных " + FromUtf8(database) + L" загружается в пустую базу (имя можно взять другое) командой: " +
           FromUtf8(command);
}

std::wstring RestoreSummaryText(const RestoreResult& result) {
    return L"Восстановлено: " + std::to_wstring(result.files) + L" файлов, " + std::to_wstring(result.bytes >> 20) +
           L" МиБ; жёстких ссылок " + std::to_wstring(result.hardLinks) + L"; переименовано " +
           std::to_wstring(result.renamed) + L"; ссылок не создано " + std::to_wstring(result.linksNotCreated) +
           L"; пропущено " + std::to_wstring(result.skipped);
}

RestoreResult RestoreSnapshot(const std::wstring& givenSnapshot, const std::wstring& givenTarget,
                              const ReadProgress& progress, const CancelToken* cancel, const age::Keys* keys) {
    // Absolute from here on: nothing depends on the process's current folder,
    // which another thread may change.
    std::error_code ec;
    const std::wstring snapshot = os::FromFsPath(fs::absolute(os::FsPath(givenSnapshot), ec));
    const std::wstring target = os::FromFsPath(fs::absolute(os::FsPath(givenTarget), ec).lexically_normal());
    if (ec) throw FileSystemError("absolute", givenTarget, ec);
    // Before anything is made: without its key an encrypted snapshot gives nothing.
    if (keys == nullptr && IsEncrypted(snapshot)) throw Error(ErrorCode::EncryptionKeyMissing, ToUtf8(snapshot));
    const fs::path folder = os::FsPath(os::ExtendedPath(target));
    if (fs::exists(folder, ec) && !fs::is_empty(folder, ec)) {
        throw Error(ErrorCode::RestoreTarget);
    }
    // One level at a time in the long form: the library's create_directories
    // cannot walk up a "\\?\" path.
    std::vector<std::wstring> missing;
    for (fs::path level = os::FsPath(target); level.has_relative_path(); level = level.parent_path()) {
        if (fs::exists(os::FsPath(os::ExtendedPath(os::FromFsPath(level))), ec)) break;
        missing.push_back(os::FromFsPath(level));
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
        fs::create_directory(os::FsPath(os::ExtendedPath(*level)), ec);
        if (ec) throw FileSystemError("create_directories", target, ec);
    }
    Restore restore(snapshot, target, progress, cancel, keys);
    return restore.run();
}

}  // namespace tesmora
