#include "remote/launch_failure.h"

#include <algorithm>
#include <cstdio>

namespace tesmora {
namespace {

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// Text as terminals show it: printable ASCII, tabs, line ends and the escape
// sequences of coloured greetings, and well-formed UTF-8. A gzip member
// starts with 0x1F, and binary data soon breaks the UTF-8 rules.
bool IsText(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            if (c < 0x20 ? c != '\t' && c != '\n' && c != '\r' && c != 0x1B : c == 0x7F) return false;
            ++i;
            continue;
        }
        const std::size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (length == 0) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= bytes.size()) return true;  // cut off where the kept start ends
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

// The part of the start that comes before the program's own first byte.
std::string_view ForeignPart(std::string_view head, ExpectedOutput expected) {
    if (expected != ExpectedOutput::Archive) return head.substr(0, std::min(head.find('{'), head.size()));
    // A plain archive begins with gzip's first byte; framed, with the frame
    // of the index header, which is far shorter than 16 MiB.
    constexpr std::string_view kFirstFrame("H\0\0\0", 4);
    return head.substr(0, std::min({head.find('\x1f'), head.find(kFirstFrame), head.size()}));
}

std::string_view TrimmedEnd(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    return text;
}

// The shells' ways of saying a command is missing: sh, dash, bash, ash and
// mksh "not found", zsh "command not found: python3", csh and tcsh
// "python3: Command not found.", fish "Unknown command: python3".
bool PythonNotFound(const PumpResult& end) {
    if (!Contains(end.errors, "python3")) return false;
    if (end.exitStatus == 127) return true;
    return Contains(end.errors, "not found") || Contains(end.errors, "Unknown command") ||
           Contains(end.errors, "No such file or directory");
}

}  // namespace

std::string QuotedStart(std::string_view text) {
    constexpr std::size_t kLongest = 100;
    const std::size_t lineEnd = std::min(text.find_first_of("\r\n"), text.size());
    std::string_view first = text.substr(0, lineEnd);
    std::string quoted = "\"";
    std::size_t shown = 0;
    bool cut = lineEnd < TrimmedEnd(text).size();
    for (std::size_t i = 0; i < first.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(first[i]);
        // Count characters, not the continuation bytes of UTF-8.
        if ((c & 0xC0) != 0x80 && ++shown > kLongest) {
            cut = true;
            break;
        }
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + (cut ? "\u2026\"" : "\"");
}

bool StartsWithForeignText(std::string_view head, ExpectedOutput expected) {
    // Text up to the program's own first byte, or up to the end of what came.
    const std::string_view foreign = ForeignPart(head, expected);
    return !foreign.empty() && IsText(foreign);
}

Error LoginScriptOutput(std::string_view head, ExpectedOutput expected) {
    return Error(expected == ExpectedOutput::Archive ? ErrorCode::LoginScriptBeforeArchive
                                                     : ErrorCode::LoginScriptBeforeAnswer,
                 QuotedStart(ForeignPart(head, expected)) + "; make it print only in interactive shells");
}

std::optional<Error> LaunchFailure(const PumpResult& end, std::string_view head, ExpectedOutput expected) {
    const std::string_view errors = TrimmedEnd(end.errors);
    // The loader prints the catalogue's own words.
    const std::string_view tooOld = ErrorCodeText(ErrorCode::PythonTooOld);
    if (const std::size_t at = errors.find(tooOld); at != std::string_view::npos) {
        // The version as the loader prints it, and nothing the server adds.
        std::string version;
        for (std::size_t i = at + tooOld.size(); i < errors.size() && version.size() < 12; ++i) {
            if ((errors[i] < '0' || errors[i] > '9') && errors[i] != '.') break;
            version += errors[i];
        }
        return Error(ErrorCode::PythonTooOld, version);
    }
    if (end.exitStatus == 0 && end.signal.empty()) {
        if (StartsWithForeignText(head, expected)) return LoginScriptOutput(head, expected);
        return std::nullopt;
    }
    if (PythonNotFound(end)) {
        return Error(ErrorCode::PythonMissing, QuotedStart(errors));
    }
    // An account that may not run commands answers on standard output, with
    // nothing on standard error.
    if (errors.empty() && end.signal.empty() && !TrimmedEnd(head).empty() && StartsWithForeignText(head, expected)) {
        return Error(ErrorCode::NoCommands, QuotedStart(head));
    }
    return std::nullopt;
}

}  // namespace tesmora
