// Getting a site back: a snapshot's archive extracted into an empty or new
// folder, never writing outside it, with every name Windows cannot hold
// renamed predictably and listed in restore-report.txt beside the files.
#pragma once

#include "crypto/age.h"

#include "archive/archive_check.h"
#include "os/cancel.h"

#include <cstdint>
#include <string>

namespace tesmora {

inline constexpr wchar_t kRestoreReportName[] = L"restore-report.txt";

struct RestoreResult {
    std::uint64_t files = 0;            // regular files written, hard-link copies included
    std::uint64_t hardLinks = 0;        // hard links made as links
    std::uint64_t bytes = 0;            // their data
    std::uint64_t renamed = 0;
    std::uint64_t linksNotCreated = 0;  // symbolic links listed instead
    std::uint64_t skipped = 0;          // members not restored at all
    bool archiveIntact = true;          // it had the SHA-256 of SHA256SUMS.txt and ended with its manifest
};

// "Восстановлено: N файлов, M МиБ; жёстких ссылок H; переименовано K; ссылок не
// создано L; пропущено S"
std::wstring RestoreSummaryText(const RestoreResult& result);

// The report's line for a database dump member
// ("__Tesmora_Backup__/databases/mysql-shop.sql"): the command that loads it
// on a server into an existing empty database of the same name, run from the
// restore folder.
std::wstring DumpLoadText(const std::string& member);

// Restores the snapshot's archive into `target`, which must be empty or not
// exist yet; relative paths are taken from the current folder once, at the
// start. Nothing is written through a link: symbolic links are made last,
// only those that stay inside the target, and none under another link; hard
// links become hard links where the file system has them and copies
// elsewhere; modification times are kept. `progress` gets the archive bytes
// read and the archive's size. A failure, a full disk or a cancel
// (CancelledError) raises after the report was written; what was restored
// stays where it is, except the file being written, which is removed.
// An encrypted archive opens with `keys`; without them it raises "No key at
// hand opens this encrypted snapshot".
RestoreResult RestoreSnapshot(const std::wstring& snapshot, const std::wstring& target,
                              const ReadProgress& progress = {}, const CancelToken* cancel = nullptr,
                              const age::Keys* keys = nullptr);

}  // namespace tesmora
