// The one loop that runs a program on the server over an SSH exec channel:
// it sends the program's standard input as the caller hands it out, reads
// standard output and standard error as they come, tells progress lines from
// error text, and ends the run on a cancel, on silence longer than the idle
// limit and after the total limit. Backups, restores and the short commands
// around them all run through it.
#pragma once

#include "os/cancel.h"
#include "os/error.h"
#include "remote/server_output.h"
#include "ssh/ssh_connection.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tesmora {

inline constexpr std::uint64_t kSecondNs = 1000000000ULL;

struct PumpOptions {
    std::function<std::uint64_t()> clock;          // nanoseconds; empty: the monotonic clock
    const CancelToken* cancel = nullptr;           // null: never cancelled
    std::uint64_t idleLimitNs = 300 * kSecondNs;   // without work: no output, no input taken, no counter moved
    std::uint64_t totalLimitNs = 10800 * kSecondNs;
    // What the run's end is called when it is cut short: a cancel, silence or
    // the total limit, a read that failed, a close that failed.
    ErrorCode cancelled = ErrorCode::Cancelled;
    ErrorCode timedOut = ErrorCode::BackupTransferTimeout;
    ErrorCode readFailed = ErrorCode::SshArchiveReadFailed;
    ErrorCode closeFailed = ErrorCode::RemoteBackupNotClosed;
};

// What the program is given and what is done with what it sends.
struct PumpIo {
    // The next bytes of its standard input, valid until the next call; an
    // empty view once there are no more, and standard input is then closed.
    // Unset: standard input is closed at once.
    std::function<std::string_view()> input;
    // Its standard output as it arrives. May throw to end the run at once.
    std::function<void(std::string_view)> output;
    // Each progress line on standard error.
    std::function<void(const ServerProgress&)> progress;
    // The bytes of standard input the channel took so far.
    std::function<void(std::uint64_t)> sent;
};

// Standard input that is `bytes` and then ends; `bytes` must outlive the run.
std::function<std::string_view()> InputOnce(std::string_view bytes);

// How the program ended.
struct PumpResult {
    int exitStatus = 0;           // 0 also when the server sent none
    std::string signal;           // the signal that ended it, or empty
    std::string errors;           // standard error without progress lines, its first 32 KiB
    std::uint64_t outputBytes = 0;
    bool inputRefused = false;    // the channel refused standard input: the program was gone
};

// Runs `command` on a logged-in connection. Returns once the program ended
// and the channel closed; the session is back in blocking mode on every path.
// Raises CancelledError(options.cancelled), options.timedOut, or
// options.readFailed, options.closeFailed or SshUploadFailed when the
// connection fails.
PumpResult PumpChannel(SshConnection& connection, const std::string& command, const PumpIo& io,
                       const PumpOptions& options);

// A short command whose whole output fits in memory, for the small jobs
// around a backup: its standard output, at most 64 KiB of it, and how it
// ended. `input` is its whole standard input.
struct ShortCommandResult {
    PumpResult end;
    std::string output;
};
ShortCommandResult RunShortCommand(SshConnection& connection, const std::string& command,
                                   std::string_view input = {}, const PumpOptions& options = {});

}  // namespace tesmora
