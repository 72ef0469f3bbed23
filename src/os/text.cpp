#include "os/text.h"

#include <algorithm>
#include <cstdint>

namespace tesmora {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Calls emit(code point) for each code point of a UTF-16 sequence.
template <typename Unit, typename Emit>
void DecodeUtf16(std::basic_string_view<Unit> units, Emit emit) {
    for (size_t i = 0; i < units.size(); ++i) {
        const char32_t u = static_cast<std::uint16_t>(units[i]);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size()) {
            const char32_t low = static_cast<std::uint16_t>(units[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                emit(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        emit(IsSurrogate(u) ? kReplacement : u);
    }
}

// Calls emit(code point) for each code point of a wide string.
template <typename Emit>
void DecodeWide(std::wstring_view text, Emit emit) {
    if constexpr (sizeof(wchar_t) == 2) {
        DecodeUtf16<wchar_t>(text, emit);
    } else {
        for (wchar_t w : text) {
            const auto c = static_cast<char32_t>(w);
            emit(IsSurrogate(c) || c > 0x10FFFF ? kReplacement : c);
        }
    }
}

template <typename Unit>
void AppendUtf16(std::basic_string<Unit>& out, char32_t c) {
    if (c >= 0x10000) {
        c -= 0x10000;
        out.push_back(static_cast<Unit>(0xD800 + (c >> 10)));
        out.push_back(static_cast<Unit>(0xDC00 + (c & 0x3FF)));
    } else {
        out.push_back(static_cast<Unit>(c));
    }
}

void AppendWide(std::wstring& out, char32_t c) {
    if constexpr (sizeof(wchar_t) == 2) {
        AppendUtf16(out, c);
    } else {
        out.push_back(static_cast<wchar_t>(c));
    }
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Decodes UTF-8 the way the Unicode standard recommends for replacement: a
// maximal ill-formed subpart becomes one U+FFFD and decoding resumes after it.
template <typename Emit>
void DecodeUtf8(std::string_view bytes, Emit emit) {
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            emit(b);
            ++i;
            continue;
        }
        int need = 0;
        unsigned char low = 0x80, high = 0xBF;
        char32_t c = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1; c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2; c = b & 0x0F;
            if (b == 0xE0) low = 0xA0;
            if (b == 0xED) high = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3; c = b & 0x07;
            if (b == 0xF0) low = 0x90;
            if (b == 0xF4) high = 0x8F;
        } else {
            emit(kReplacement);
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool complete = true;
        for (int k = 0; k < need; ++k, ++j) {
            if (j >= n) { complete = false; break; }
            const auto t = static_cast<unsigned char>(bytes[j]);
            if (t < low || t > high) { complete = false; break; }
            c = (c << 6) | (t & 0x3F);
            low = 0x80;
            high = 0xBF;
        }
        emit(complete ? c : kReplacement);
        i = j;
    }
}

}  // namespace

// Passwords pass through these conversions: each output is reserved at its
// worst case, so it never reallocates and leaves an unwiped copy behind.
std::string ToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size() * (sizeof(wchar_t) == 2 ? 3 : 4));
    DecodeWide(text, [&](char32_t c) { AppendUtf8(out, c); });
    return out;
}

std::wstring FromUtf8(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    DecodeUtf8(bytes, [&](char32_t c) { AppendWide(out, c); });
    return out;
}

std::u16string ToUtf16(std::wstring_view text) {
    std::u16string out;
    out.reserve(text.size() * (sizeof(wchar_t) == 2 ? 1 : 2));
    DecodeWide(text, [&](char32_t c) { AppendUtf16(out, c); });
    return out;
}

std::wstring FromUtf16(std::u16string_view text) {
    std::wstring out;
    out.reserve(text.size());
    DecodeUtf16<char16_t>(text, [&](char32_t c) { AppendWide(out, c); });
    return out;
}

std::string Utf16LeBytes(std::wstring_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char16_t u : ToUtf16(text)) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    }
    return out;
}

std::string HexLower(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

std::string Base64(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k) {
            group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        }
        for (size_t k = 0; k < 4; ++k) {
            out.push_back(k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
        }
    }
    return out;
}

std::string JsonQuote(std::wstring_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const std::string utf8 = ToUtf8(text);
    std::string out;
    out.reserve(utf8.size() + 2);
    out.push_back('"');
    for (char ch : utf8) {
        const auto b = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out.push_back('\\');
            out.push_back(ch);
        } else if (b < 0x20) {
            out += "\\u00";
            out.push_back(kDigits[b >> 4]);
            out.push_back(kDigits[b & 0x0F]);
        } else {
            out.push_back(ch);
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace tesmora
