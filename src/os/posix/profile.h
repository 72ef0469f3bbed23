// The INI reader that stands in for GetPrivateProfileStringW in the native
// build. It reads what the Windows reader reads: UTF-16LE with a byte-order
// mark (the form the program writes), UTF-8 with or without one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tesmora::os {

// The file's bytes decoded to text.
std::wstring DecodeProfileBytes(std::string_view bytes);

// The value of `key` in `section`: names compared without regard to ASCII case,
// blanks around names and values removed, one pair of matching quotes around
// the value removed, the first matching key wins. Empty when it is missing.
std::optional<std::wstring> FindProfileValue(std::wstring_view text, std::wstring_view section,
                                             std::wstring_view key);

}  // namespace tesmora::os
