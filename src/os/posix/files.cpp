// Files in the native build: POSIX stand-ins with the Windows behaviour the
// program relies on (a read-only target refuses replacement, links and mount
// points count as redirected).
#include "os/text.h"
#include "os/error.h"
#include "os/os.h"
#include "os/posix/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <system_error>
#include <iterator>
#include <utility>
#include <vector>

namespace tesmora::os {
namespace {

constexpr std::size_t kReadBackBuffer = 1 << 20;
constexpr std::size_t kReadBackAlignment = 4096;

[[noreturn]] void ReadBackFailed(const std::wstring& path, int error) {
    throw Error(ErrorCode::CannotReadBack, ToUtf8(path) + ": " + SystemErrorText(static_cast<unsigned long>(error)));
}

}  // namespace

std::filesystem::path FsPath(const std::wstring& path) { return std::filesystem::path(ToUtf8(path)); }

std::wstring FromFsPath(const std::filesystem::path& path) { return FromUtf8(path.native()); }

bool IsRegularFile(const std::wstring& path) {
    struct stat info {};
    return stat(ToUtf8(path).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void FlushFileToDisk(const std::wstring& path) {
    const int fd = open(ToUtf8(path).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw Error(ErrorCode::CannotFlush);
    const bool flushed = fsync(fd) == 0;
    close(fd);
    if (!flushed) throw Error(ErrorCode::FlushFailed);
}

bool ReplaceFileWriteThrough(const std::wstring& from, const std::wstring& to) {
    const std::string target = ToUtf8(to);
    struct stat info {};
    // Windows refuses to replace a read-only file; without the owner's write
    // bit the native build does the same.
    if (lstat(target.c_str(), &info) == 0 && (info.st_mode & S_IWUSR) == 0) return false;
    if (rename(ToUtf8(from).c_str(), target.c_str()) != 0) return false;
    // The rename reaches the medium only with its folder.
    const int folder = open(ToUtf8(ParentPath(to)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return false;
    const bool flushed = fsync(folder) == 0;
    close(folder);
    return flushed;
}

void RenameDirectory(const std::wstring& from, const std::wstring& to) {
    if (rename(ToUtf8(from).c_str(), ToUtf8(to).c_str()) != 0) {
        const int error = errno;
        throw FileSystemError("rename", from + L" -> " + to, SystemErrorText(static_cast<unsigned long>(error)));
    }
    // The rename reaches the medium only with its folder.
    const int folder = open(ToUtf8(ParentPath(to)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
}

bool IsReparsePoint(const std::wstring& path) {
    const std::string native = ToUtf8(path);
    struct stat info {};
    if (lstat(native.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return true;
    if (!S_ISDIR(info.st_mode)) return false;
    struct stat parent {};
    if (lstat((native + "/..").c_str(), &parent) != 0) return true;
    // A mount point lives on another device than its parent; the root is its own parent.
    return parent.st_dev != info.st_dev && parent.st_ino != info.st_ino;
}

std::wstring ReadProfileString(const std::wstring& path, const std::wstring& section,
                               const std::wstring& key, const std::wstring& fallback) {
    // Like the Windows reader, anything unreadable (a folder, a file that
    // fails mid-read) reads as missing.
    if (!IsRegularFile(path)) return fallback;
    std::string bytes;
    try {
        std::ifstream in(FsPath(path), std::ios::binary);
        if (!in) return fallback;
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        return fallback;
    }
    std::wstring value = FindProfileValue(DecodeProfileBytes(bytes), section, key).value_or(fallback);
    if (value.size() > 32767) value.resize(32767);
    return value;
}

UncachedFileReader::UncachedFileReader(const std::wstring& path) : path_(path) {
    const std::string native = ToUtf8(path);
    int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
    if (fd < 0 && errno == EINVAL) {
        // A file system without direct reads (tmpfs): drop the cached pages instead.
        fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    if (fd < 0) ReadBackFailed(path, errno);
    handle_ = fd;
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        const int error = errno;
        close();
        ReadBackFailed(path, error);
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
    buffer_ = static_cast<char*>(std::aligned_alloc(kReadBackAlignment, kReadBackBuffer));
    if (buffer_ == nullptr) {
        close();
        throw Error(ErrorCode::OutOfMemory);
    }
}

std::string_view UncachedFileReader::next() {
    ssize_t got = 0;
    do {
        got = read(static_cast<int>(handle_), buffer_, kReadBackBuffer);
    } while (got < 0 && errno == EINTR);
    if (got < 0) ReadBackFailed(path_, errno);
    return std::string_view(buffer_, static_cast<std::size_t>(got));
}

void UncachedFileReader::close() {
    std::free(std::exchange(buffer_, nullptr));
    if (handle_ != kEmpty) ::close(static_cast<int>(std::exchange(handle_, kEmpty)));
}

std::wstring ExtendedPath(const std::wstring& path) { return path; }

bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target, bool) {
    return symlink(ToUtf8(target).c_str(), ToUtf8(link).c_str()) == 0;
}

bool SetModificationTime(const std::wstring& path, std::int64_t seconds, long nanoseconds) {
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
    return utimensat(AT_FDCWD, ToUtf8(path).c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace tesmora::os
