// Helpers shared by the fuzz targets: turning the fuzzer's bytes into the
// program's wide text, a check that stops the run, and a strict JSON string
// reader to hold JsonQuote's output against.
#pragma once

#include "os/text.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

// Not assert(): it must hold in every build type.
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

namespace tesmora::fuzz {

// Wide text from the input: UTF-8 (malformed sequences included), or code
// units taken straight from the bytes so that surrogates, values above
// U+10FFFF and negative wchar_t values reach the code too.
inline std::wstring WideText(FuzzedDataProvider& in, size_t maxBytes = 512) {
    const int mode = in.ConsumeIntegralInRange<int>(0, 3);
    const std::string bytes = in.ConsumeRandomLengthString(maxBytes);
    if (mode == 0) return FromUtf8(bytes);
    const size_t width = mode == 1 ? 2 : mode == 2 ? 3 : 4;
    std::wstring text;
    for (size_t i = 0; i + width <= bytes.size(); i += width) {
        std::uint32_t unit = 0;
        std::memcpy(&unit, bytes.data() + i, width);
        if (mode == 2) unit %= 0x110000;
        text.push_back(static_cast<wchar_t>(unit));
    }
    return text;
}

// Length of the well-formed UTF-8 sequence at `at`, or 0 (RFC 3629 table).
inline size_t Utf8SequenceLength(std::string_view s, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b = byte(at);
    if (b < 0x80) return 1;
    size_t need;
    unsigned char low = 0x80, high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + need >= s.size()) return 0;
    for (size_t k = 1; k <= need; ++k) {
        const unsigned char t = byte(at + k);
        if (t < low || t > high) return 0;
        low = 0x80;
        high = 0xBF;
    }
    return need + 1;
}

inline int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads one JSON string literal (RFC 8259) starting at `at` and returns its
// value as UTF-8; `at` moves past the closing quote. Nothing on any fault,
// lone surrogate escapes included.
inline std::optional<std::string> ReadJsonString(std::string_view s, size_t& at) {
    if (at >= s.size() || s[at] != '"') return std::nullopt;
    ++at;
    std::string value;
    const auto hex4 = [&](size_t from) -> long {
        if (from + 4 > s.size()) return -1;
        long v = 0;
        for (size_t k = 0; k < 4; ++k) {
            const int d = HexValue(s[from + k]);
            if (d < 0) return -1;
            v = v * 16 + d;
        }
        return v;
    };
    while (at < s.size()) {
        const auto c = static_cast<unsigned char>(s[at]);
        if (c == '"') {
            ++at;
            return value;
        }
        if (c < 0x20) return std::nullopt;
        if (c != '\\') {
            const size_t n = Utf8SequenceLength(s, at);
            if (n == 0) return std::nullopt;
            value.append(s.substr(at, n));
            at += n;
            continue;
        }
        if (at + 1 >= s.size()) return std::nullopt;
        const char e = s[at + 1];
        at += 2;
        switch (e) {
            case '"': value.push_back('"'); break;
            case '\\': value.push_back('\\'); break;
            case '/': value.push_back('/'); break;
            case 'b': value.push_back('\b'); break;
            case 'f': value.push_back('\f'); break;
            case 'n': value.push_back('\n'); break;
            case 'r': value.push_back('\r'); break;
            case 't': value.push_back('\t'); break;
            case 'u': {
                const long high = hex4(at);
                if (high < 0) return std::nullopt;
                at += 4;
                char32_t cp = static_cast<char32_t>(high);
                if (high >= 0xDC00 && high <= 0xDFFF) return std::nullopt;
                if (high >= 0xD800 && high <= 0xDBFF) {
                    if (at + 2 > s.size() || s[at] != '\\' || s[at + 1] != 'u') return std::nullopt;
                    const long low = hex4(at + 2);
                    if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
                    at += 6;
                    cp = 0x10000 + ((static_cast<char32_t>(high) - 0xD800) << 10) + (static_cast<char32_t>(low) - 0xDC00);
                }
                // The fuzz build is native: a wchar_t holds any code point.
                value += ToUtf8(std::wstring(1, static_cast<wchar_t>(cp)));
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return std::nullopt;
}

// Bytes of a padded base64 text, or nothing when it is not one.
inline std::optional<std::string> Unbase64(std::string_view text) {
    static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    unsigned bits = 0, count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=') {
            if (i + 2 < text.size() || text.substr(i).find_first_not_of('=') != std::string_view::npos) return std::nullopt;
            break;
        }
        const size_t value = alphabet.find(text[i]);
        if (value == std::string_view::npos) return std::nullopt;
        bits = (bits << 6) | static_cast<unsigned>(value);
        if ((count += 6) >= 8) out.push_back(static_cast<char>(bits >> (count -= 8)));
    }
    return out;
}

}  // namespace tesmora::fuzz
