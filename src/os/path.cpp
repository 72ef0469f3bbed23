// Portable parts of the os layer: paths, folder creation, command-line quoting.
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

bool SamePath(std::wstring_view a, std::wstring_view b) {
    const auto normalized = [](std::wstring_view path) {
        std::wstring out;
        out.reserve(path.size());
        for (wchar_t c : path) {
            const bool separator = c == L'\\' || c == L'/';
            if (separator && !out.empty() && out.back() == L'/') continue;
            out.push_back(separator ? L'/' : c);
        }
        return out;
    };
    return normalized(a) == normalized(b);
}

std::wstring QuoteArgument(const std::wstring& text) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : text) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count only before a double quote: doubled there, and
        // the quote itself escaped.
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        out.push_back(c);
        backslashes = 0;
    }
    out.append(2 * backslashes, L'\\');
    out.push_back(L'"');
    return out;
}

void CreateDirectories(const std::wstring& path) {
    std::error_code ec;
    std::filesystem::create_directories(FsPath(path), ec);
    if (ec) throw FileSystemError("create_directories", path, ec);
}

}  // namespace tesmora::os
