// How the name of a member of a Linux archive becomes a path Windows can
// hold. The rules are predictable, so a person can tell the new name from the
// old one, and the same name always gets the same new name:
// - the characters < > : " | ? * \ and control characters become %XX (their
//   byte in hexadecimal), as do bytes that are not UTF-8;
// - a trailing dot or space becomes %2E or %20;
// - a reserved device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9 and
//   COM¹-³, LPT1-9 and LPT¹-³, with or without an extension, with spaces
//   before it or not) gets "_" after its first part: "con.txt" becomes
//   "con_.txt", "CON .txt" "CON_ .txt".
// Names that could leave the restore folder are never restored: absolute
// names, ".." anywhere, and names with nothing left.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tesmora {

struct RestoreName {
    std::wstring path;     // relative, joined with the platform's separator
    bool renamed = false;  // differs from the name in the archive
};

std::optional<RestoreName> MapArchiveName(std::string_view name);

// The name with " (n)" before its extension, for a second member whose name
// Windows cannot tell from the first one's (letter case).
std::wstring NumberedName(const std::wstring& path, int n);

}  // namespace tesmora
