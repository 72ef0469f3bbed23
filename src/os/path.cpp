// Portable parts of the os layer: path joining and folder creation.
#include "os/error.h"
#include "os/os.h"

#include <system_error>

namespace tesmora::os {

std::wstring JoinPath(const std::wstring& base, const std::wstring& element) {
    if (base.empty()) return element;
    const wchar_t last = base.back();
    if (last == L'\\' || last == L'/') return base + element;
    return base + kPathSeparator + element;
}

std::wstring ParentPath(const std::wstring& path) {
    return FromFsPath(FsPath(path).parent_path());
}

void CreateDirectories(const std::wstring& path) {
    std::error_code ec;
    std::filesystem::create_directories(FsPath(path), ec);
    if (ec) throw FileSystemError("create_directories", path, ec.message());
}

}  // namespace tesmora::os
