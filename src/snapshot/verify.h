// Proving a snapshot long after it was made: its markers, its checksum and
// its archive, read from the drive past the system's cache. Nothing in the
// snapshot folder is ever written: retention refuses folders with extra files.
#pragma once

#include "archive/archive_check.h"
#include "config/backup_log.h"
#include "crypto/age.h"
#include "os/cancel.h"
#include "repository/format.h"

#include <string>

namespace tesmora {

struct Verdict {
    bool ok = false;
    std::string reason;  // why the copy cannot be trusted
    ArchiveSummary summary;
    // Of an encrypted snapshot: the archive inside, as the check read it
    // (SHA-256 in lower-case hex, size); empty for a plain one.
    std::string plainDigest;
    std::uint64_t plainBytes = 0;
};

// Checks that COMPLETE holds the id, snapshot.ini parses, SHA256SUMS.txt holds
// its one line, the archive has that SHA-256 and proves whole (CheckArchive).
// A copy that fails is a verdict, not an error; a cancel raises "Cancelled".
// An encrypted archive is read through `keys`, as it lies on the drive, and
// its digest is of the encrypted file; without a key that opens it the
// snapshot cannot be judged, which raises "No key at hand opens ...".
Verdict VerifySnapshot(const std::wstring& snapshot, const std::wstring& id, const ReadProgress& progress = {},
                       const CancelToken* cancel = nullptr, const age::Keys* keys = nullptr);

// Raises "No key at hand opens this encrypted snapshot" unless the snapshot
// is plain or one of the keys is its recipient's.
void RequireSnapshotKey(const SnapshotIni& ini, const age::Keys* keys);

// "VERIFY <name> OK" or "VERIFY <name> FAILED <reason>", for backup.log.
LogLine VerifyLogLine(const std::wstring& name, const Verdict& verdict);

}  // namespace tesmora
