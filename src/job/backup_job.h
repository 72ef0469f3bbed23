// One whole backup run: prove the drive, record the attempt, stage, stream,
// prove the drive again, commit by one rename, record the success, trim.
#pragma once

#include "config/settings.h"
#include "remote/archive_stream.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tesmora {

using StatusCallback = std::function<void(const std::wstring&)>;

// What a run asks of the world; tests stand in for the parts no test can
// change for real (which drive is connected, free space).
class JobServices {
public:
    virtual ~JobServices() = default;
    virtual std::wstring resolveBoundDrive(const std::wstring& device, const std::wstring& id);
    virtual std::optional<std::uint64_t> freeBytes(const std::wstring& root);
    virtual void setKeepAwake(bool on);
    // Options for the transfer (the server-side program, the clock).
    virtual ArchiveStreamOptions streamOptions();
};

// The status texts a run sends for progress: one per MiB of new data at most.
class ProgressAdapter {
public:
    explicit ProgressAdapter(StatusCallback status) : status_(std::move(status)) {}
    void operator()(std::uint64_t bytes);

private:
    StatusCallback status_;
    std::uint64_t lastReported_ = 0;
};

class BackupJob {
public:
    static constexpr std::uint64_t kMinimumFreeBytes = 536870912;  // 512 MiB

    // Returns normally after a success, after a scheduled start that was not
    // due, and after a commit whose retention failed; raises otherwise.
    static void run(BackupSettings settings, bool manual, StatusCallback status);
    static void run(BackupSettings settings, bool manual, StatusCallback status, JobServices& services);
};

}  // namespace tesmora
