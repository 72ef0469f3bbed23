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
#include "os/error.h"
#include "os/os.h"
#include "ssh/ssh_connection.h"

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

void ProgressAdapter::operator()(std::uint64_t bytes) {
    if (bytes - lastReported_ < 1048577) return;
    status_(L"Получено " + std::to_wstring(bytes / 1048576) + L" МиБ\u2026");
    lastReported_ = bytes;
}

void BackupJob::run(BackupSettings settings, bool manual, StatusCallback status) {
    JobServices services;
    run(std::move(settings), manual, std::move(status), services);
}

void BackupJob::run(BackupSettings s, bool manual, StatusCallback status, JobServices& services) {
    app::OperationLock lock = app::AcquireOperationLock(s.id);

    if (!app::SamePath(services.resolveBoundDrive(s.device, s.id), s.drive_root) || s.drive_root.empty()) {
        throw Error("Selected device is missing or its identity changed");
    }
    const std::wstring backupFolder = os::JoinPath(s.drive_root, layout::kBackupFolder);
    os::CreateDirectories(backupFolder);
    const std::wstring scheduleFile = os::JoinPath(backupFolder, layout::kScheduleFile);

    const std::uint64_t now = UnixNow();
    const ScheduleState state = ReadScheduleState(scheduleFile);
    if (!manual && !ShouldScheduledStartRun(now, s.automatic, s.hours, state)) return;

    RecordAttempt(scheduleFile, now, state.last_success);
    const std::wstring staging = os::JoinPath(backupFolder, StagingDirectoryName(s.id));
    PrepareStaging(staging, s.id);

    KeepAwake awake(services);
    BackupLog::append(s, L"START " + s.host + L":" + std::to_wstring(s.port));

    bool committed = false;
    try {
        std::wstring snapshot;
        {
            const auto free = services.freeBytes(s.drive_root);
            if (!free || *free < kMinimumFreeBytes) throw Error("Less than 512 MiB free on destination");
            SshConnection connection = SshConnection::connect(s, true);
            RemoteArchiveStream::run(connection, s, os::JoinPath(staging, L"site.tar.gz"), ProgressAdapter(status),
                                     services.streamOptions());
            if (!app::SamePath(services.resolveBoundDrive(s.device, s.id), s.drive_root)) {
                throw Error("Device changed during transfer");
            }
            snapshot = CommitSnapshot(staging, backupFolder, s.id);
            RecordSuccess(scheduleFile, UnixNow());
            BackupLog::append(s, L"SUCCESS " + os::FromFsPath(os::FsPath(snapshot).filename()));
            committed = true;
            status(L"Готово: " + snapshot);
            if (s.keep > 0) ApplyRetention(s, backupFolder, s.id, s.keep, snapshot);
            connection.close();
        }
    } catch (...) {
        if (!committed) {
            BackupLog::append(s, L"FAILED (partial directory retained): " + StagingDirectoryName(s.id));
            throw;
        }
        BackupLog::append(s, L"Backup complete; retention could not finish. Existing copies kept.");
        status(L"Копия готова. Очистку старых копий завершить не удалось; проверьте журнал.");
    }
}

}  // namespace tesmora
