#include "archive/archive_check.h"

#include "os/os.h"
#include "os/text.h"

#include <nlohmann/json.hpp>

#include <map>

namespace tesmora {
namespace {

constexpr std::string_view kSqliteHeader{"SQLite format 3\0", 16};
// Far above any real manifest; a bound so a damaged size cannot exhaust memory.
constexpr std::uint64_t kLargestManifest = 256ULL << 20;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The server writes each byte of a name that is not UTF-8 as a lone surrogate
// escape, "\udc80" to "\udcff", which JSON allows and strict parsers refuse.
// Each becomes a NUL, which no path holds, and the byte's two hex digits, so
// that ServerPath can give the byte back; other lone surrogates become U+FFFD.
std::string WithoutLoneSurrogates(std::string_view text) {
    const auto unit = [&](std::size_t at) -> long {
        if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
        long value = 0;
        for (std::size_t k = at + 2; k < at + 6; ++k) {
            const int digit = HexDigit(text[k]);
            if (digit < 0) return -1;
            value = value * 16 + digit;
        }
        return value;
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i++];
            continue;
        }
        const long code = unit(i);
        if (code >= 0xD800 && code <= 0xDBFF && unit(i + 6) >= 0xDC00 && unit(i + 6) <= 0xDFFF) {
            out.append(text.substr(i, 12));
            i += 12;
        } else if (code >= 0xDC80 && code <= 0xDCFF) {
            out += "\\u0000";
            out.append(text.substr(i + 4, 2));
            i += 6;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            out += "\\ufffd";
            i += 6;
        } else {
            out.append(text.substr(i, 2));  // any escape, "\\" included, stays whole
            i += 2;
        }
    }
    return out;
}

// A path from the manifest as the server's bytes.
std::string ServerPath(const std::string& text) {
    std::string path;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\0' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
            path += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        } else {
            path += text[i];
        }
    }
    return path;
}

std::uint64_t Count(const nlohmann::json& json, const char* key) {
    const auto& value = json.at(key);
    if (!value.is_number_unsigned()) {
        throw ArchiveDamage(ErrorCode::ManifestValueNotCount, std::string(key) + " is not a count");
    }
    return value.get<std::uint64_t>();
}

std::string Text(const nlohmann::json& json, const char* key) {
    const auto found = json.find(key);
    return found != json.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// What a dump member holds: its size, SHA-256 and closing line.
struct DumpMember {
    std::uint64_t bytes = 0;
    std::string sha256, closingLine;
};

// The comment line ("-- " and more) that ends the dump: both dump tools close
// with one, pg_dump followed by a bare "--" and sometimes a meta-command.
// Empty when anything else follows it.
std::string ClosingLine(std::string_view tail) {
    while (!tail.empty()) {
        const std::size_t end = tail.find_last_not_of("\r\n");
        if (end == std::string_view::npos) break;
        tail = tail.substr(0, end + 1);
        const std::size_t start = tail.find_last_of('\n') + 1;  // npos + 1 is 0
        const std::string_view line = tail.substr(start);
        if (line.starts_with("-- ")) return std::string(line);
        if (line != "--" && !line.starts_with("\\")) break;
        tail = tail.substr(0, start);
    }
    return "";
}

}  // namespace

bool DumpCompleted(const DatabaseDump& dump) {
    const std::string_view marker = dump.engine == "mysql"        ? "-- Dump completed"
                                    : dump.engine == "postgresql" ? "-- PostgreSQL database dump complete"
                                                                  : "";
    return dump.exitStatus == 0 && !marker.empty() && dump.closingLine.starts_with(marker);
}

ArchiveSummary ParseManifest(std::string_view text) {
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(WithoutLoneSurrogates(text));
    } catch (const nlohmann::json::exception& e) {
        throw ArchiveDamage(ErrorCode::ManifestUnparsed, e.what());
    }
    ArchiveSummary summary;
    try {
        summary.files = Count(json, "files");
        summary.logicalBytes = Count(json, "logical_bytes");
        for (const auto& database : json.at("sqlite")) {
            summary.databases.push_back({ServerPath(database.at("path").get<std::string>()), Count(database, "bytes")});
        }
        // Older server programs wrote no dumps and no warnings.
        if (const auto found = json.find("dumps"); found != json.end()) {
            for (const auto& item : *found) {
                DatabaseDump dump{Text(item, "engine"),    Text(item, "database"),       Text(item, "found_in"),
                                  Text(item, "member"),    Text(item, "server_version"), Text(item, "sha256"),
                                  Text(item, "closing_line"), Count(item, "bytes"),      item.at("exit_status").get<long long>()};
                if (!DumpCompleted(dump)) {
                    throw ArchiveDamage(ErrorCode::DumpIncomplete, dump.database + " did not complete");
                }
                summary.dumps.push_back(std::move(dump));
            }
        }
        if (const auto found = json.find("missed_databases"); found != json.end()) {
            for (const auto& item : *found) {
                summary.missed.push_back(
                    {Text(item, "engine"), Text(item, "database"), Text(item, "found_in"), Text(item, "reason")});
            }
        }
        if (const auto found = json.find("warnings"); found != json.end()) {
            for (const auto& warning : *found) summary.warnings.push_back(warning.get<std::string>());
        }
    } catch (const nlohmann::json::exception& e) {
        throw ArchiveDamage(ErrorCode::ManifestLacksCounts, e.what());
    }
    return summary;
}

ArchiveSummary CheckArchive(ByteSource& source) {
    ArchiveReader reader(source);
    ArchiveEntry entry;
    std::string_view piece;
    std::uint64_t offset = 0;
    std::uint64_t members = 0, files = 0;
    bool manifestSeen = false;
    std::string manifest;
    // Members whose data begins as a SQLite database does, by name: the
    // manifest, which comes last, says which of them must be databases.
    std::map<std::string, std::uint64_t> databases;
    std::map<std::string, DumpMember> dumps;

    while (reader.next(entry)) {
        ++members;
        if (manifestSeen) throw ArchiveDamage(ErrorCode::ManifestNotLast);
        if (entry.name == kManifestName) {
            manifestSeen = true;
            if (entry.size > kLargestManifest) throw ArchiveDamage(ErrorCode::ManifestTooLarge);
            while (reader.readData(piece, offset)) manifest.append(piece);
            continue;
        }
        if (entry.type != EntryType::File) continue;
        if (entry.name.starts_with(kDumpFolder)) {
            os::Sha256 hash;
            std::string tail;
            while (reader.readData(piece, offset)) {
                hash.update(piece.data(), piece.size());
                tail.append(piece.substr(piece.size() > 4096 ? piece.size() - 4096 : 0));
                if (tail.size() > 8192) tail.erase(0, tail.size() - 4096);
            }
            dumps[entry.name] = {entry.size, HexLower(hash.finish()), ClosingLine(tail)};
            continue;
        }
        ++files;
        std::string head;
        while (head.size() < kSqliteHeader.size() && reader.readData(piece, offset)) {
            head.append(piece.substr(0, kSqliteHeader.size() - head.size()));
        }
        if (head == kSqliteHeader) databases[entry.name] = entry.size;
    }
    if (!manifestSeen) throw ArchiveDamage(ErrorCode::ManifestMissing);

    ArchiveSummary summary = ParseManifest(manifest);
    if (summary.files != files) {
        throw ArchiveDamage(ErrorCode::FileCountMismatch,
                            std::to_string(summary.files) + " files and the archive holds " + std::to_string(files));
    }
    for (const DatabaseCopy& database : summary.databases) {
        // Member names are the server paths without their leading slashes. A
        // header holds a name that is not UTF-8 as bytes, which the reader
        // gave in the form BinaryMemberName gives them.
        const std::size_t start = database.path.find_first_not_of('/');
        const std::string name = start == std::string::npos ? "" : database.path.substr(start);
        auto found = databases.find(name);
        if (found == databases.end()) found = databases.find(BinaryMemberName(name));
        if (found == databases.end()) {
            throw ArchiveDamage(ErrorCode::DatabaseCopyMissing,
                                database.path + " is missing or is not a SQLite database");
        }
        if (found->second != database.bytes) {
            throw ArchiveDamage(ErrorCode::DatabaseCopySizeMismatch,
                                database.path + " holds " + std::to_string(found->second) +
                                    " bytes and the manifest says " + std::to_string(database.bytes));
        }
    }
    for (const DatabaseDump& dump : summary.dumps) {
        const auto found = dumps.find(dump.member);
        if (found == dumps.end()) throw ArchiveDamage(ErrorCode::DumpMissing, dump.database + " is missing");
        if (found->second.bytes != dump.bytes || found->second.sha256 != dump.sha256 ||
            found->second.closingLine != dump.closingLine) {
            throw ArchiveDamage(ErrorCode::DumpDiffers, dump.database + " differs from what the manifest says");
        }
        dumps.erase(found);
    }
    if (!dumps.empty()) throw ArchiveDamage(ErrorCode::DumpNotNamed, dumps.begin()->first);
    summary.members = members;
    summary.compressedBytes = reader.compressedBytes();
    return summary;
}

std::string DigestOnDevice(const std::wstring& path, const ReadProgress& progress) {
    os::UncachedFileReader file(path);
    os::Sha256 hash;
    std::uint64_t done = 0;
    for (std::string_view piece = file.next(); !piece.empty(); piece = file.next()) {
        hash.update(piece.data(), piece.size());
        done += piece.size();
        if (progress) progress(done, file.size());
    }
    return hash.finish();
}

}  // namespace tesmora
