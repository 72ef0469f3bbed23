// One whole backup run: prove the drive, record the attempt, stage, then four
// phases, each with its own account of a failure: the transfer (connect,
// stream and prove the archive), the proof and commit (read it back from the
// drive, prove the drive again, commit by one rename), the record of the
// success, and the trim of old snapshots. Only the first two can fail the
// run: after the commit the snapshot is there whatever else goes wrong.
#pragma once

#include "archive/archive_check.h"
#include "config/settings.h"
#include "os/cancel.h"
#include "remote/archive_stream.h"
#include "remote/remote_command.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tesmora {

using StatusCallback = std::function<void(const std::wstring&)>;

// What a run asks of the world; tests stand in for the parts no test can
// change for real (which drive is connected, free space, a rename refused
// because another program holds a handle, a medium that changes what it holds).
class JobServices {
public:
    virtual ~JobServices() = default;
    virtual std::wstring resolveBoundDrive(const std::wstring& device, const std::wstring& id);
    virtual std::optional<std::uint64_t> freeBytes(const std::wstring& root);
    virtual void setKeepAwake(bool on);
    // Options for the transfer (the clock, a stand-in for its checks).
    virtual ArchiveStreamOptions streamOptions();
    // The server-side program; the embedded one unless a test stands in.
    virtual std::string serverProgram();
    // The file system of the drive ("NTFS", "exFAT", "FAT32"); empty when unknown.
    virtual std::wstring fileSystemOf(const std::wstring& root);
    // The SHA-256 of a file as the medium holds it.
    virtual std::string digestOnDevice(const std::wstring& path, const ReadProgress& progress);
    virtual void renameDirectory(const std::wstring& from, const std::wstring& to);
    virtual void pause(std::chrono::milliseconds duration);
    // The time in seconds since 1970 UTC: the attempt, the snapshot's name,
    // the success and the log's stamps.
    virtual std::uint64_t now();
};

// The status texts a run sends for progress: one per MiB of new data at most.
class ProgressAdapter {
public:
    explicit ProgressAdapter(StatusCallback status) : status_(std::move(status)) {}
    void operator()(const TransferProgress& progress);

private:
    StatusCallback status_;
    std::uint64_t lastReported_ = 0;
};

// Where a run stands, for a progress bar: the transfer, then the read-back.
struct JobProgress {
    bool verifying = false;
    TransferProgress transfer;
    std::uint64_t verified = 0, toVerify = 0;  // bytes read back of the archive's size
};
using JobProgressCallback = std::function<void(const JobProgress&)>;

// FAT32 holds no file of 4 GiB or more. Whether a write that failed after
// `archiveBytes` hit that limit, and whether an earlier archive of
// `previousArchiveBytes` is close enough to it to warn before a run.
bool HitsFileSizeLimit(std::wstring_view fileSystem, std::uint64_t archiveBytes);
bool NearFileSizeLimit(std::wstring_view fileSystem, std::uint64_t previousArchiveBytes);

// What a run that returned made: nothing (a scheduled start that was not
// due), or a snapshot, which lacks the databases in `missed` when the server
// could not dump them.
struct BackupOutcome {
    std::wstring snapshot;            // the folder's name; empty when nothing ran
    std::vector<std::string> missed;  // the server's reasons, UTF-8
};

class BackupJob {
public:
    static constexpr std::uint64_t kMinimumFreeBytes = 536870912;  // 512 MiB

    // Returns normally after a commit (whether or not its record and trim
    // went through) and after a scheduled start that was not due; raises
    // otherwise.
    static BackupOutcome run(BackupSettings settings, bool manual, StatusCallback status,
                             JobProgressCallback progress = {}, const CancelToken* cancel = nullptr);
    static BackupOutcome run(BackupSettings settings, bool manual, StatusCallback status, JobServices& services,
                             JobProgressCallback progress = {}, const CancelToken* cancel = nullptr);
};

}  // namespace tesmora
