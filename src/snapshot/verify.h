// Proving a snapshot long after it was made: its markers, its checksum and
// its archive, read from the drive past the system's cache. Nothing in the
// snapshot folder is ever written: retention refuses folders with extra files.
#pragma once

#include "archive/archive_check.h"
#include "config/backup_log.h"
#include "os/cancel.h"

#include <string>

namespace tesmora {

struct Verdict {
    bool ok = false;
    std::string reason;  // why the copy cannot be trusted
    ArchiveSummary summary;
};

// Checks that COMPLETE holds the id, snapshot.ini parses, SHA256SUMS.txt holds
// its one line, the archive has that SHA-256 and proves whole (CheckArchive).
// A copy that fails is a verdict, not an error; a cancel raises "Cancelled".
Verdict VerifySnapshot(const std::wstring& snapshot, const std::wstring& id, const ReadProgress& progress = {},
                       const CancelToken* cancel = nullptr);

// "VERIFY <name> OK" or "VERIFY <name> FAILED <reason>", for backup.log.
LogLine VerifyLogLine(const std::wstring& name, const Verdict& verdict);

}  // namespace tesmora
