#include "job/backup_job.h"

#include "app/operation_lock.h"
#include "app/program.h"
#include "config/backup_log.h"
#include "config/layout.h"
#include "config/schedule_state.h"
#include "config/time_stamp.h"
#include "device/binding.h"
#include "job/retention.h"
#include "job/staging.h"
#include "notices/notices.h"
#include "remote/remote_command.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "ssh/ssh_connection.h"

#include <thread>

namespace tesmora {
namespace {

// Holds the keep-awake request for as long as the object lives.
class KeepAwake {
public:
    explicit KeepAwake(JobServices& services) : services_(services) { services_.setKeepAwake(true); }
    ~KeepAwake() { services_.setKeepAwake(false); }
    KeepAwake(const KeepAwake&) = delete;
    KeepAwake& operator=(const KeepAwake&) = delete;

private:
    JobServices& services_;
};

}  // namespace

std::wstring JobServices::resolveBoundDrive(const std::wstring& device, const std::wstring& id) {
    return ResolveBoundDrive(device, id);
}

std::optional<std::uint64_t> JobServices::freeBytes(const std::wstring& root) {
    const auto space = os::DiskSpace(root);
    if (!space) return std::nullopt;
    return space->freeBytes;
}

void JobServices::setKeepAwake(bool on) { os::SetKeepAwake(on); }

ArchiveStreamOptions JobServices::streamOptions() { return {}; }

std::string JobServices::digestOnDevice(const std::wstring& path, const ReadProgress& progress) {
    return DigestOnDevice(path, progress);
}

void JobServices::renameDirectory(const std::wstring& from, const std::wstring& to) {
    os::RenameDirectory(from, to);
}

void JobServices::pause(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

void ProgressAdapter::operator()(const TransferProgress& progress) {
    if (progress.archiveBytes - lastReported_ < 1048577) return;
    status_(L"Получено " + std::to_wstring(progress.archiveBytes / 1048576) + L" МиБ\u2026");
    lastReported_ = progress.archiveBytes;
}

void ValidateBackupSettings(const BackupSettings& settings) {
    ValidateSettings(settings);
    BuildRemoteCommand(EmbeddedBackupScript(), settings.paths);
}

std::wstring FailedLogLine(const std::wstring& id, const std::string& utf8Reason) {
    return L"FAILED (partial directory retained): " + StagingDirectoryName(id) + L": " + FromUtf8(utf8Reason);
}

namespace {

// The message of the exception being handled.
std::string CurrentFailure() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unexpected failure";
    }
}

// Reads the archive back from the drive past the system's cache: what the
// drive holds must be what arrived, byte for byte.
void ProveArchiveOnDevice(const std::wstring& archive, const std::string& received, const StatusCallback& status,
                          const JobProgressCallback& report, JobServices& services) {
    std::uint64_t shown = 101;
    const auto progress = [&](std::uint64_t done, std::uint64_t total) {
        if (report) report(JobProgress{true, {}, done, total});
        const std::uint64_t percent = total == 0 ? 100 : done * 100 / total;
        if (percent == shown) return;
        shown = percent;
        status(L"Проверка копии: " + std::to_wstring(percent) + L" %");
    };
    progress(0, 1);
    if (services.digestOnDevice(archive, progress) != received) {
        throw Error("Archive verification failed: the copy read back from the drive differs from the received data");
    }
}

}  // namespace

void BackupJob::run(BackupSettings settings, bool manual, StatusCallback status, JobProgressCallback progress) {
    JobServices services;
    run(std::move(settings), manual, std::move(status), services, std::move(progress));
}

void BackupJob::run(BackupSettings s, bool manual, StatusCallback status, JobServices& services,
                    JobProgressCallback progress) {
    // A hand-edited settings.ini gets the window's verdict (hours=0 would
    // make every start due).
    ValidateBackupSettings(s);
    app::OperationLock lock = app::AcquireOperationLock(s.id);

    if (!app::SamePath(services.resolveBoundDrive(s.device, s.id), s.drive_root) || s.drive_root.empty()) {
        throw Error("Selected device is missing or its identity changed");
    }
    const std::wstring backupFolder = os::JoinPath(s.drive_root, layout::kBackupFolder);
    os::CreateDirectories(backupFolder);
    // A linked backup folder would take the archive to another volume than
    // the one whose free space was measured.
    if (os::IsReparsePoint(backupFolder)) throw Error("Backup folder is redirected; nothing written");
    const std::wstring scheduleFile = os::JoinPath(backupFolder, layout::kScheduleFile);

    const std::uint64_t now = UnixNow();
    const ScheduleState state = ReadScheduleState(scheduleFile);
    if (!manual && !ShouldScheduledStartRun(now, s.automatic, s.hours, state)) return;

    RecordAttempt(scheduleFile, now, state.last_success);
    const std::wstring staging = os::JoinPath(backupFolder, StagingDirectoryName(s.id));
    try {
        PrepareStaging(staging, s.id);
    } catch (const std::exception& e) {
        // A staging directory the run cannot take over stops every run until
        // someone looks: the log is where the window and the user look.
        BackupLog::append(s, FailedLogLine(s.id, e.what()));
        throw;
    }

    KeepAwake awake(services);
    BackupLog::append(s, L"START " + s.host + L":" + std::to_wstring(s.port));

    bool committed = false;
    try {
        std::wstring snapshot;
        {
            const auto free = services.freeBytes(s.drive_root);
            if (!free || *free < kMinimumFreeBytes) throw Error("Less than 512 MiB free on destination");
            const ArchiveStreamOptions options = services.streamOptions();
            SshConnection connection =
                SshConnection::connect(s, true, {}, options.cancel != nullptr ? options.cancel : &ProcessCancelFlag());
            const std::wstring archive = os::JoinPath(staging, L"site.tar.gz");
            ProgressAdapter texts(status);
            const TransferResult received = RemoteArchiveStream::run(
                connection, s, archive,
                [&](const TransferProgress& transfer) {
                    texts(transfer);
                    if (progress) progress(JobProgress{false, transfer, 0, 0});
                },
                options);
            ProveArchiveOnDevice(archive, received.digest, status, progress, services);
            if (!app::SamePath(services.resolveBoundDrive(s.device, s.id), s.drive_root)) {
                throw Error("Device changed during transfer");
            }
            snapshot = CommitSnapshot(
                staging, backupFolder, s.id,
                SnapshotIniText(s.id, UnixNow(), received.summary.files, received.summary.databases.size()),
                [&](const std::wstring& from, const std::wstring& to) { services.renameDirectory(from, to); },
                [&](std::chrono::milliseconds duration) { services.pause(duration); });
            const std::uint64_t committedAt = UnixNow();
            RecordSuccess(scheduleFile, committedAt);
            // The local copy of the success time, for the notices of starts without the drive.
            notices::RecordBackupSuccess(s, committedAt);
            BackupLog::append(s, L"SUCCESS " + os::FromFsPath(os::FsPath(snapshot).filename()));
            committed = true;
            status(L"Готово: " + snapshot);
            if (s.keep > 0) ApplyRetention(s, backupFolder, s.id, s.keep, snapshot);
            connection.close();
        }
    } catch (...) {
        if (!committed) {
            BackupLog::append(s, FailedLogLine(s.id, CurrentFailure()));
            throw;
        }
        BackupLog::append(s, L"Backup complete; retention could not finish. Existing copies kept.");
        status(L"Копия готова. Очистку старых копий завершить не удалось; проверьте журнал.");
    }
}

}  // namespace tesmora
