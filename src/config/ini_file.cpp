#include "config/ini_file.h"

#include "config/layout.h"
#include "os/text.h"
#include "os/error.h"
#include "os/os.h"

#include <fstream>
#include <limits>

namespace tesmora {

std::wstring ReadIniValue(const std::wstring& path, const std::wstring& key, const std::wstring& fallback) {
    return os::ReadProfileString(path, layout::kIniSection, key, fallback);
}

std::string BuildIniContent(const IniEntries& entries) {
    std::wstring text = L"\uFEFF[";
    text += layout::kIniSection;
    text += L"]\r\n";
    for (const auto& [key, value] : entries) {
        text += key;
        text += L'=';
        text += value;
        text += L"\r\n";
    }
    return Utf16LeBytes(text);
}

void WriteIniFile(const std::wstring& path, const IniEntries& entries) {
    os::CreateDirectories(os::ParentPath(path));
    const std::wstring temporary = path + L".tmp";
    const std::string content = BuildIniContent(entries);
    {
        std::ofstream out(os::FsPath(temporary), std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        if (!out) throw Error(ErrorCode::SettingsCloseFailed);
    }
    os::FlushFileToDisk(temporary);
    if (!os::ReplaceFileWriteThrough(temporary, path)) throw Error(ErrorCode::SettingsNotSaved);
}

std::uint64_t ParseUnsignedOr(std::wstring_view text, std::uint64_t fallback) {
    size_t i = 0;
    const auto isSpace = [](wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); };
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    const size_t firstDigit = i;
    std::uint64_t value = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        const auto digit = static_cast<std::uint64_t>(text[i] - L'0');
        if (value > (kMax - digit) / 10) return fallback;
        value = value * 10 + digit;
    }
    if (i == firstDigit || i != text.size()) return fallback;
    return negative ? 0 - value : value;
}

}  // namespace tesmora
