// Runs the server-side backup program over an exec channel and lands its
// standard output as the archive file, hashed on the fly and proven on a
// second thread while it arrives.
#pragma once

#include "archive/archive_check.h"
#include "os/cancel.h"
#include "remote/remote_command.h"
#include "remote/server_output.h"
#include "ssh/ssh_connection.h"

#include <cstdint>
#include <functional>
#include <string>

namespace tesmora {

// Where a transfer stands: the archive bytes landed so far and the server's
// own last progress report.
struct TransferProgress {
    std::uint64_t archiveBytes = 0;
    ServerProgress server;
};
using ProgressCallback = std::function<void(const TransferProgress&)>;

struct ArchiveStreamOptions {
    std::function<std::uint64_t()> clock;        // nanoseconds; empty: the monotonic clock
    const CancelToken* cancel = nullptr;         // null: never cancelled
    bool checkArchive = true;                    // false only for stand-in programs that send no archive
    std::uint64_t idleLimitNs = 300ULL * 1000000000ULL;
    std::uint64_t totalLimitNs = 10800ULL * 1000000000ULL;
};

// A transfer that checked out: the archive's SHA-256 and what it holds.
struct TransferResult {
    std::string digest;
    ArchiveSummary summary;
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
