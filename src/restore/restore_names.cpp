#include "restore/restore_names.h"

#include "os/os.h"
#include "os/text.h"

#include <array>
#include <cwctype>

namespace tesmora {
namespace {

constexpr std::wstring_view kForbidden = L"<>:\"|?*\\";

std::wstring Escaped(unsigned char byte) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    return {L'%', kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

// The length of a component's first part when Windows takes the component
// for a device, else 0. Windows drops spaces before the extension ("CON .txt"
// is CON) and counts the superscript digits as digits (COM\u00B9).
std::size_t ReservedDeviceLength(std::wstring_view component) {
    std::wstring_view base = component.substr(0, component.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
    std::wstring upper;
    for (wchar_t c : base) upper.push_back(static_cast<wchar_t>(std::towupper(c)));
    for (const wchar_t* name : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (upper == name) return base.size();
    }
    const bool digit = upper.size() == 4 && ((upper[3] >= L'1' && upper[3] <= L'9') || upper[3] == L'\u00B9' ||
                                             upper[3] == L'\u00B2' || upper[3] == L'\u00B3');
    return digit && (upper.rfind(L"COM", 0) == 0 || upper.rfind(L"LPT", 0) == 0) ? base.size() : 0;
}

// One component's Windows form: characters Windows refuses and bytes that are
// not UTF-8 escaped, then the trailing dot or space, then device names.
std::wstring MapComponent(std::string_view bytes) {
    std::wstring out;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        std::size_t length = byte < 0x80 ? 1 : byte >= 0xC2 && byte <= 0xDF ? 2 : byte >= 0xE0 && byte <= 0xEF ? 3
                                                          : byte >= 0xF0 && byte <= 0xF4 ? 4 : 0;
        const std::wstring decoded = length > 0 ? FromUtf8(bytes.substr(i, length)) : std::wstring();
        if (length == 0 || i + length > bytes.size() || decoded.empty() || decoded.find(L'\uFFFD') != std::wstring::npos) {
            out += Escaped(byte);
            ++i;
            continue;
        }
        if (length == 1 && (byte < 0x20 || kForbidden.find(static_cast<wchar_t>(byte)) != std::wstring_view::npos)) {
            out += Escaped(byte);
        } else {
            out += decoded;
        }
        i += length;
    }
    if (!out.empty() && (out.back() == L'.' || out.back() == L' ')) {
        const auto last = static_cast<unsigned char>(out.back());
        out.pop_back();
        out += Escaped(last);
    }
    if (const std::size_t length = ReservedDeviceLength(out)) out.insert(length, L"_");
    return out;
}

}  // namespace

std::optional<RestoreName> MapArchiveName(std::string_view name) {
    if (name.empty() || name.front() == '/') return std::nullopt;
    RestoreName mapped;
    for (std::size_t start = 0; start < name.size();) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        const std::string_view component = name.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".") continue;
        if (component == "..") return std::nullopt;
        const std::wstring windows = MapComponent(component);
        mapped.renamed = mapped.renamed || windows != FromUtf8(component);
        mapped.path = mapped.path.empty() ? windows : os::JoinPath(mapped.path, windows);
    }
    if (mapped.path.empty()) return std::nullopt;
    return mapped;
}

std::wstring NumberedName(const std::wstring& path, int n) {
    const std::size_t slash = path.find_last_of(L"\\/");
    const std::size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
    std::size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos || dot <= nameStart) dot = path.size();
    return path.substr(0, dot) + L" (" + std::to_wstring(n) + L")" + path.substr(dot);
}

}  // namespace tesmora
