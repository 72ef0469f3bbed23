// ParseUnsignedOr against a plain reference in wider arithmetic, and against
// wcstoull itself on ASCII text.
#include "config/ini_file.h"
#include "fuzz_support.h"

#include <cerrno>
#include <cwchar>
#include <optional>

using namespace tesmora;

namespace {

std::optional<std::uint64_t> Reference(const std::wstring& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || (text[i] >= L'\t' && text[i] <= L'\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    unsigned __int128 value = 0;
    size_t digits = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i, ++digits) {
        value = value * 10 + static_cast<unsigned>(text[i] - L'0');
        if (value > UINT64_MAX) return std::nullopt;
    }
    if (digits == 0 || i != text.size()) return std::nullopt;
    const auto v = static_cast<std::uint64_t>(value);
    return negative ? 0 - v : v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::uint64_t fallback = in.ConsumeIntegral<std::uint64_t>();
    const std::wstring text = fuzz::WideText(in, 128);

    const std::uint64_t parsed = ParseUnsignedOr(text, fallback);
    const auto expected = Reference(text);
    FUZZ_CHECK(parsed == expected.value_or(fallback));

    bool ascii = text.find(L'\0') == std::wstring::npos;
    for (wchar_t c : text) ascii = ascii && c > 0 && c < 0x80;
    if (ascii) {
        wchar_t* end = nullptr;
        errno = 0;
        const unsigned long long library = std::wcstoull(text.c_str(), &end, 10);
        const bool usable = end != text.c_str() && errno != ERANGE && *end == L'\0';
        FUZZ_CHECK(parsed == (usable ? library : fallback));
    }
    return 0;
}
