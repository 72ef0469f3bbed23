// The native INI reader: whatever bytes a settings file holds, decoding and
// looking values up must not fault, and what the program writes it must read
// back.
#include "config/ini_file.h"
#include "fuzz_support.h"
#include "os/posix/profile.h"

#include <string>

using namespace tesmora;

namespace {

bool Blank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r'; }

bool ValidCodePoints(const std::wstring& text) {
    for (wchar_t w : text) {
        const auto c = static_cast<char32_t>(w);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    }
    return true;
}

// A value the file keeps as written: one line, no blanks at the ends that
// the reader trims, no pair of quotes that it strips.
bool KeptAsWritten(const std::wstring& value) {
    if (value.find_first_of(L"\r\n") != std::wstring::npos) return false;
    if (!value.empty() && (Blank(value.front()) || Blank(value.back()))) return false;
    if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') && value.back() == value.front()) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // Arbitrary file content.
    const std::wstring text = os::DecodeProfileBytes(bytes);
    FUZZ_CHECK(ValidCodePoints(text));
    for (const wchar_t* key : {L"id", L"device", L"host", L"port", L"path0", L""}) {
        if (const auto value = os::FindProfileValue(text, L"backup", key)) {
            FUZZ_CHECK(value->find(L'\n') == std::wstring::npos);
            FUZZ_CHECK(value->size() <= text.size());
        }
    }

    // What the program writes, read back.
    FuzzedDataProvider in(data, size);
    IniEntries entries;
    while (entries.size() < 4 && in.remaining_bytes() > 0) {
        std::wstring key = fuzz::WideText(in, 32);
        std::wstring value = fuzz::WideText(in, 128);
        // Keys are the program's own names: plain, no "=", never starting a section or comment.
        // (Invalid code points are written as U+FFFD, which would make keys collide.)
        if (key.empty() || !KeptAsWritten(key) || !ValidCodePoints(key) || key.find(L'=') != std::wstring::npos ||
            key.front() == L'[' || key.front() == L';') {
            key = L"k" + std::to_wstring(entries.size());
        }
        entries.emplace_back(key, value);
    }
    const std::wstring written = os::DecodeProfileBytes(BuildIniContent(entries));
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& [key, value] = entries[i];
        // A line break in a value starts a new line that the writer does not
        // guard; the settings validation keeps them out of what gets written.
        if (value.find_first_of(L"\r\n") != std::wstring::npos) break;
        if (!KeptAsWritten(value)) continue;
        bool shadowed = false;  // an earlier key with the same name wins
        for (size_t j = 0; j < i; ++j) {
            if (entries[j].first.size() != key.size()) continue;
            bool same = true;
            for (size_t k = 0; k < key.size() && same; ++k) {
                const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c + 32 : c; };
                same = lower(entries[j].first[k]) == lower(key[k]);
            }
            shadowed = shadowed || same;
        }
        if (shadowed || !ValidCodePoints(value)) continue;
        const auto found = os::FindProfileValue(written, L"backup", key);
        FUZZ_CHECK(found.has_value());
        FUZZ_CHECK(*found == value);
    }
    return 0;
}
