// Proving that an archive opens: every gzip member to its trailer, the tar
// stream to its end-of-archive blocks, the manifest last and agreeing with
// what the archive holds, every database copy a SQLite file of its stated size,
// every database dump complete and of its stated SHA-256.
#pragma once

#include "archive/archive_reader.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tesmora {

// The last member of every archive.
inline constexpr char kManifestName[] = "__Tesmora_Backup__/manifest.json";
// Where the server program stores the dumps of MySQL/MariaDB and PostgreSQL
// databases, one member <engine>-<database>.sql each.
inline constexpr char kDumpFolder[] = "__Tesmora_Backup__/databases/";

struct DatabaseCopy {
    std::string path;  // the database's path on the server, its bytes
    std::uint64_t bytes = 0;
};

// A dump as the manifest describes it: what proves it whole is the dump tool's
// exit status and the closing line the tool writes last.
struct DatabaseDump {
    std::string engine;  // "mysql" or "postgresql"
    std::string database, foundIn, member, serverVersion, sha256, closingLine;
    std::uint64_t bytes = 0;
    long long exitStatus = -1;
};

// A database the server found and could not dump; the snapshot is
// incomplete without it.
struct MissedDatabase {
    std::string engine, database, foundIn;
    std::string reason;  // the server's English text, naming the database
};

// Whether a dump ended as a complete one of its engine does.
bool DumpCompleted(const DatabaseDump& dump);

// What a checked archive holds, as its manifest and its members agree.
struct ArchiveSummary {
    std::uint64_t members = 0;       // the manifest included
    std::uint64_t files = 0;         // regular files stored with data
    std::uint64_t logicalBytes = 0;  // as the manifest counts them
    std::vector<DatabaseCopy> databases;
    std::vector<DatabaseDump> dumps;
    std::vector<MissedDatabase> missed;  // older server programs missed none: they failed the run
    std::uint64_t compressedBytes = 0;
    std::vector<std::string> warnings;  // what the server could not store as it was
};

// Reads the whole archive and proves it; raises ArchiveDamage with the reason.
ArchiveSummary CheckArchive(ByteSource& source);

// The manifest's JSON text turned into the summary's counts. Raises
// ArchiveDamage when it does not parse or lacks its counts.
ArchiveSummary ParseManifest(std::string_view json);

// Reads a file back from the medium itself, past the system's cache, and
// returns its SHA-256; `progress` gets (bytes read, file size).
using ReadProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;
std::string DigestOnDevice(const std::wstring& path, const ReadProgress& progress = {});

}  // namespace tesmora
