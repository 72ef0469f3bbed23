// Runs the server-side backup program over an exec channel and lands its
// standard output as the archive file, hashed on the fly and proven on a
// second thread while it arrives, with SHA256SUMS.txt written beside it only
// when everything checked out.
#pragma once

#include "archive/archive_check.h"
#include "config/settings.h"
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

// The process-wide cancel request of the running operation.
CancelFlag& ProcessCancelFlag();

struct ArchiveStreamOptions {
    std::string script;                          // empty: the embedded program
    std::function<std::uint64_t()> clock;        // nanoseconds; empty: the monotonic clock
    const CancelFlag* cancel = nullptr;          // null: ProcessCancelFlag()
    bool checkArchive = true;                    // false only for stand-in programs that send no archive
};

// A transfer that checked out: the archive's SHA-256 and what it holds.
struct TransferResult {
    std::string digest;
    ArchiveSummary summary;
};

class RemoteArchiveStream {
public:
    // Idle and total limits of one transfer.
    static constexpr std::uint64_t kIdleLimitNs = 300ULL * 1000000000ULL;
    static constexpr std::uint64_t kTotalLimitNs = 10800ULL * 1000000000ULL;

    // Returns only after the archive and SHA256SUMS.txt are on disk; the
    // connection is left open, its session in blocking mode, on every path.
    // An archive that does not prove whole fails with "Archive verification
    // failed: " and the reason, and no SHA256SUMS.txt is written.
    static TransferResult run(SshConnection& connection, const BackupSettings& settings,
                              const std::wstring& archivePath, ProgressCallback progress,
                              const ArchiveStreamOptions& options = {});
};

// "<64 hex digits>  site.tar.gz\n"
std::string ChecksumLine(const std::string& digest);

// The error an untrustworthy archive ends a run with.
Error VerificationFailure(const ArchiveDamage& damage);

}  // namespace tesmora
