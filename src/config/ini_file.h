// The INI files of the program: one "[backup]" section, UTF-16LE with a
// byte-order mark, always written whole and replaced atomically.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tesmora {

using IniEntry = std::pair<std::wstring, std::wstring>;
using IniEntries = std::vector<IniEntry>;

// The value of `key` in the file's section, or `fallback` when the file, the
// section or the key is missing. Values are cut to 32767 characters.
std::wstring ReadIniValue(const std::wstring& path, const std::wstring& key, const std::wstring& fallback);

// The exact bytes of the file: FF FE, "[backup]" CR LF, then "key=value" CR LF
// per entry in the given order, all UTF-16LE.
std::string BuildIniContent(const IniEntries& entries);

// Replaces the file atomically: the content goes to "<path>.tmp", is flushed,
// then moved over the target. On failure the old file stays as it was.
void WriteIniFile(const std::wstring& path, const IniEntries& entries);

// The decimal parse of wcstoull: leading blanks skipped, an optional sign (a
// minus negates in unsigned arithmetic). The fallback when no digit was read,
// the value exceeds 64 bits or anything follows the digits. Never raises.
std::uint64_t ParseUnsignedOr(std::wstring_view text, std::uint64_t fallback);

}  // namespace tesmora
