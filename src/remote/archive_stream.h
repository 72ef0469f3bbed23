// Runs the server-side backup program over an exec channel and lands its
// standard output as the archive file, hashed on the fly and proven on a
// second thread while it arrives.
#pragma once

#include "archive/archive_check.h"
#include "crypto/age.h"
#include "os/cancel.h"
#include "remote/remote_command.h"
#include "remote/server_output.h"
#include "ssh/ssh_connection.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tesmora {

// Where a transfer stands: the archive bytes landed so far and the server's
// own last progress report.
struct TransferProgress {
    std::uint64_t archiveBytes = 0;
    ServerProgress server;
};
using ProgressCallback = std::function<void(const TransferProgress&)>;

// The segments of earlier archives that a run may copy rather than
// receive (the newest snapshot's and a cut run's): which archive, where in
// it and the SHA-256 each was proven to have.
struct ReusedSegment {
    std::uint64_t offset = 0, length = 0;
    std::string sha256;        // lower-case hex; empty for one to send again
    std::uint32_t source = 0;  // in paths
    std::string entry;         // its index entry as JSON, which a copy takes on
};
struct PreviousArchive {
    std::vector<std::wstring> paths;
    std::vector<ReusedSegment> segments;  // by the numbers of the index the server was sent
    const age::Keys* keys = nullptr;      // what opens those of them that are encrypted
};

struct ArchiveStreamOptions {
    std::function<std::uint64_t()> clock;        // nanoseconds; empty: the monotonic clock
    const CancelToken* cancel = nullptr;         // null: never cancelled
    bool checkArchive = true;                    // false only for stand-in programs that send no archive
    std::uint64_t idleLimitNs = 300ULL * 1000000000ULL;
    std::uint64_t totalLimitNs = 10800ULL * 1000000000ULL;
    // Set when the request carried the previous snapshot's index: the program
    // answers in frames then (or, as stand-ins do, with a plain archive).
    const PreviousArchive* previous = nullptr;
    // Set: the rest of standard input after the launch's, asked for once
    // that is sent, so that the program starts while the client works the
    // rest out; *previous must be final when it returns.
    std::function<std::string()> laterInput;
    // Framed, set however the run ends to the index of the segments that
    // wholly landed (JSON, empty for none), for a cut run to be resumed.
    std::string* landedIndex = nullptr;
    // Set: the file is encrypted to these age recipients ("age1...") as it
    // lands. The digest is then the encrypted file's, which is what lies on
    // the drive; the check reads the archive itself. The previous archives
    // of a framed run may be plain or encrypted, whatever this one is.
    std::vector<std::string> recipients;
};

// A transfer that checked out: the SHA-256 of the file as it lies on the
// drive, and what the archive holds.
struct TransferResult {
    std::string digest;
    ArchiveSummary summary;
    std::string index;                // the new archive's index, JSON; empty without one
    std::uint64_t reusedBytes = 0;    // copied from earlier archives rather than received
};

class RemoteArchiveStream {
public:
    // Starts the program and returns only after the archive is on disk,
    // flushed; the connection is left open, its session in blocking mode, on
    // every path. An archive that does not prove whole fails with "Archive
    // verification failed: " and the reason; a run that never got going with
    // the reason (LaunchFailure).
    static TransferResult run(SshConnection& connection, const ProgramLaunch& launch,
                              const std::wstring& archivePath, ProgressCallback progress,
                              const ArchiveStreamOptions& options = {});
};

// The error an untrustworthy archive ends a run with.
Error VerificationFailure(const ArchiveDamage& damage);

}  // namespace tesmora
