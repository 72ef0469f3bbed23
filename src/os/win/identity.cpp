// GUIDs, the user's SID, local time and folder identity on Windows.
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "os/win/win32.h"

#include <objbase.h>
#include <sddl.h>

#include <vector>

namespace tesmora::os {
namespace {

// Owns a handle from CreateFileW or OpenProcessToken.
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle() {
        if (valid()) CloseHandle(handle_);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

std::optional<BY_HANDLE_FILE_INFORMATION> FolderIdentity(const std::wstring& path) {
    ScopedHandle folder(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!folder.valid() || !GetFileInformationByHandle(folder.get(), &info)) return std::nullopt;
    return info;
}

}  // namespace

std::wstring NewGuidText() {
    GUID guid{};
    CoCreateGuid(&guid);
    wchar_t text[80] = {};
    StringFromGUID2(guid, text, 80);
    return text;
}

std::wstring CurrentUserSid() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) throw Error(ErrorCode::UserTokenUnavailable);
    ScopedHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size, 0);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
        throw Error(ErrorCode::UserSidUnavailable);
    }
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        throw Error(ErrorCode::SidConversionFailed);
    }
    std::wstring sid(text);
    LocalFree(text);
    return sid;
}

LocalTime LocalTimeNow() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

LocalTime LocalTimeAt(std::uint64_t unixSeconds) {
    const std::uint64_t ticks = (unixSeconds + 11644473600ULL) * 10000000ULL;
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME universal{}, local{};
    FileTimeToSystemTime(&utc, &universal);
    SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local);
    return LocalTime{local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond};
}

bool SameFolderOnDisk(const std::wstring& a, const std::wstring& b) {
    const auto first = FolderIdentity(a);
    const auto second = FolderIdentity(b);
    if (!first && !second) {
        throw Error(ErrorCode::NeitherFolderExaminable, ToUtf8(a) + ": neither folder can be examined");
    }
    return first && second && first->dwVolumeSerialNumber == second->dwVolumeSerialNumber &&
           first->nFileIndexHigh == second->nFileIndexHigh && first->nFileIndexLow == second->nFileIndexLow;
}

}  // namespace tesmora::os
