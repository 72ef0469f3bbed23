// Runs the server-side backup program over an exec channel and lands its
// standard output as the archive file, hashed on the fly, with SHA256SUMS.txt
// written beside it only when everything checked out.
#pragma once

#include "config/settings.h"
#include "ssh/ssh_connection.h"

#include <cstdint>
#include <functional>
#include <string>

namespace tesmora {

using ProgressCallback = std::function<void(std::uint64_t archiveBytes)>;

// The process-wide cancel request of the running operation.
CancelFlag& ProcessCancelFlag();

struct ArchiveStreamOptions {
    std::string script;                          // empty: the embedded program
    std::function<std::uint64_t()> clock;        // nanoseconds; empty: the monotonic clock
    const CancelFlag* cancel = nullptr;          // null: ProcessCancelFlag()
};

class RemoteArchiveStream {
public:
    // Idle and total limits of one transfer.
    static constexpr std::uint64_t kIdleLimitNs = 300ULL * 1000000000ULL;
    static constexpr std::uint64_t kTotalLimitNs = 10800ULL * 1000000000ULL;
    static constexpr std::size_t kKeptErrorBytes = 32768;

    // Returns only after the archive and SHA256SUMS.txt are on disk; the
    // connection is left open, its session in blocking mode, on every path.
    static void run(SshConnection& connection, const BackupSettings& settings, const std::wstring& archivePath,
                    ProgressCallback progress, const ArchiveStreamOptions& options = {});
};

// "<64 hex digits>  site.tar.gz\n"
std::string ChecksumLine(const std::string& digest);

}  // namespace tesmora
