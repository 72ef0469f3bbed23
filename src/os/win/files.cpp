// Files on Windows: the Win32 calls the program's stored files depend on.
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "os/win/win32.h"

#include <system_error>
#include <utility>
#include <vector>

namespace tesmora::os {
namespace {

constexpr DWORD kReadBackBuffer = 1 << 20;

[[noreturn]] void ReadBackFailed(const std::wstring& path, DWORD error) {
    throw Error(ErrorCode::CannotReadBack, ToUtf8(path) + ": " + SystemErrorText(error));
}

}  // namespace

std::filesystem::path FsPath(const std::wstring& path) { return std::filesystem::path(path); }

std::wstring FromFsPath(const std::filesystem::path& path) { return path.wstring(); }

bool IsRegularFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void FlushFileToDisk(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw Error(ErrorCode::CannotFlush);
    const BOOL flushed = FlushFileBuffers(file);
    CloseHandle(file);
    if (!flushed) throw Error(ErrorCode::FlushFailed);
}

bool ReplaceFileWriteThrough(const std::wstring& from, const std::wstring& to) {
    // Windows refuses to replace a read-only file; Wine's rename does not, so
    // the refusal is made explicit and both behave the same.
    const DWORD attributes = GetFileAttributesW(to.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void RenameDirectory(const std::wstring& from, const std::wstring& to) {
    // Write-through: a commit is logged as a success only once its rename
    // would survive the drive being pulled.
    if (!MoveFileExW(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        throw FileSystemError("rename", from + L" -> " + to, SystemErrorText(error));
    }
}

bool IsReparsePoint(const std::wstring& path) {
    // A failed query answers INVALID_FILE_ATTRIBUTES, all bits set, so an
    // unreadable entry counts as redirected.
    return (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::wstring ReadProfileString(const std::wstring& path, const std::wstring& section,
                               const std::wstring& key, const std::wstring& fallback) {
    std::vector<wchar_t> buffer(32768, L'\0');
    GetPrivateProfileStringW(section.c_str(), key.c_str(), fallback.c_str(), buffer.data(),
                             static_cast<DWORD>(buffer.size()), path.c_str());
    return std::wstring(buffer.data());
}

UncachedFileReader::UncachedFileReader(const std::wstring& path) : path_(path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) ReadBackFailed(path, GetLastError());
    handle_ = reinterpret_cast<std::intptr_t>(file);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        const DWORD error = GetLastError();
        close();
        ReadBackFailed(path, error);
    }
    size_ = static_cast<std::uint64_t>(size.QuadPart);
    // Unbuffered reads need a buffer aligned to the sector size; pages are.
    buffer_ = static_cast<char*>(VirtualAlloc(nullptr, kReadBackBuffer, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (buffer_ == nullptr) {
        close();
        throw Error(ErrorCode::OutOfMemory);
    }
}

std::string_view UncachedFileReader::next() {
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer_, kReadBackBuffer, &got, nullptr)) {
        ReadBackFailed(path_, GetLastError());
    }
    return std::string_view(buffer_, got);
}

void UncachedFileReader::close() {
    if (buffer_ != nullptr) VirtualFree(std::exchange(buffer_, nullptr), 0, MEM_RELEASE);
    if (handle_ != kEmpty) CloseHandle(reinterpret_cast<HANDLE>(std::exchange(handle_, kEmpty)));
}

std::wstring ExtendedPath(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0) return path;
    // After the prefix Windows takes every character literally: only
    // backslashes separate.
    std::wstring native = path;
    for (wchar_t& c : native) {
        if (c == L'/') c = L'\\';
    }
    if (native.size() >= 3 && native[1] == L':' && native[2] == L'\\') return L"\\\\?\\" + native;
    if (native.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + native.substr(2);
    return path;
}

bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target, bool directory) {
    constexpr DWORD kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE (developer mode)
    const std::wstring at = ExtendedPath(link);
    DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | kUnprivileged;
    if (!CreateSymbolicLinkW(at.c_str(), target.c_str(), flags)) {
        // Windows before the developer-mode flag refuses the flag itself.
        if (GetLastError() != ERROR_INVALID_PARAMETER) return false;
        flags &= ~kUnprivileged;
        if (!CreateSymbolicLinkW(at.c_str(), target.c_str(), flags)) return false;
    }
    // Some systems (Wine among them) answer success and make nothing.
    const DWORD attributes = GetFileAttributesW(at.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool SetModificationTime(const std::wstring& path, std::int64_t seconds, long nanoseconds) {
    // Folders open only with backup semantics; a link is changed itself.
    HANDLE file = CreateFileW(ExtendedPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    // FILETIME counts 100-nanosecond steps from 1601.
    const auto ticks = static_cast<std::uint64_t>((seconds + 11644473600LL) * 10000000LL + nanoseconds / 100);
    FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const bool set = SetFileTime(file, nullptr, nullptr, &time) != 0;
    CloseHandle(file);
    return set;
}

}  // namespace tesmora::os
