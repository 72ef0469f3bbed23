// Text encodings shared by everything that stores or sends text.
//
// Wide strings are the program's own text: UTF-16 on Windows, UTF-32 in the
// native build. Whatever is stored or compared as UTF-16 (INI bytes, credential
// blobs) goes through ToUtf16/FromUtf16 so both builds produce the same bytes.
// Invalid input is never rejected: unpaired surrogates and malformed UTF-8
// become U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace tesmora {

std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view bytes);

std::u16string ToUtf16(std::wstring_view text);
std::wstring FromUtf16(std::u16string_view text);

// UTF-16 little-endian bytes of the text, two bytes per code unit, no mark.
std::string Utf16LeBytes(std::wstring_view text);

// Two lower-case hexadecimal digits per byte, high nibble first.
std::string HexLower(std::string_view bytes);

// Standard base64 (RFC 4648, "+" and "/", with "=" padding), no line breaks.
std::string Base64(std::string_view bytes);

// A JSON string literal of the text's UTF-8 bytes: a backslash before every
// double quote and backslash, \u00XX for bytes below 0x20, nothing else escaped.
std::string JsonQuote(std::wstring_view text);

}  // namespace tesmora
