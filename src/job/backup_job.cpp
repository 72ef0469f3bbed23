#include "job/backup_job.h"
#include "job/ssh_key_setup.h"

#include "config/backup_log.h"
#include "config/credentials.h"
#include "config/durable_file.h"
#include "config/operation_lock.h"
#include "config/layout.h"
#include "config/schedule_state.h"
#include "config/time_stamp.h"
#include "device/binding.h"
#include "repository/format.h"
#include "repository/retention.h"
#include "repository/staging.h"
#include "notices/notices.h"
#include "remote/remote_command.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "remote/server_output.h"
#include "ssh/ssh_command.h"
#include "ssh/ssh_connection.h"

#include <nlohmann/json.hpp>

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

std::string JobServices::serverProgram() { return EmbeddedBackupScript(); }

std::wstring JobServices::fileSystemOf(const std::wstring& root) {
    const auto volume = os::VolumeInformation(root);
    return volume ? volume->fileSystem : std::wstring();
}

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

SshEndpoint EndpointOf(const BackupSettings& settings) {
    return SshEndpoint{settings.host, settings.port, settings.user, settings.fingerprint};
}

SshLogin StoredLogin(const BackupSettings& settings) {
    return SshLogin{[settings]() -> std::optional<SecretKey> {
                        std::optional<std::string> bytes = ReadStoredKey(settings);
                        if (!bytes) return std::nullopt;
                        return SecretKey(std::move(*bytes));
                    },
                    [settings] { return ReadStoredPassword(settings); }};
}

namespace {

constexpr std::uint64_t kFat32Limit = 0xFFFFFFFFULL;  // the largest file FAT32 holds
constexpr std::uint64_t kFat32Warning = 3758096384ULL;  // 3.5 GiB

bool IsFat(std::wstring_view fileSystem) { return fileSystem == L"FAT32" || fileSystem == L"FAT"; }

}  // namespace

bool HitsFileSizeLimit(std::wstring_view fileSystem, std::uint64_t archiveBytes) {
    // The write that failed was at most one read buffer past what landed.
    return IsFat(fileSystem) && archiveBytes + 65536 > kFat32Limit;
}

bool NearFileSizeLimit(std::wstring_view fileSystem, std::uint64_t previousArchiveBytes) {
    return IsFat(fileSystem) && previousArchiveBytes > kFat32Warning;
}

void ValidateBackupSettings(const BackupSettings& settings) {
    ValidateSettings(settings);
    BuildBackupCommand(EmbeddedBackupScript(), RequestFor(settings));
}

DetectedDatabases ParseDetectedDatabases(int exitStatus, const std::string& output) {
    // Standard output is one JSON line; standard error begins with 0x1E.
    const std::size_t split = std::min(output.find('\x1e'), output.size());
    ServerErrorStream errors;
    errors.add(std::string_view(output).substr(split), [](const ServerProgress&) {});
    if (exitStatus != 0) {
        const std::string text = errors.text().empty() ? "Remote database detection failed" : errors.text();
        throw Error(ErrorCode::RemoteBackupFailed, text.substr(0, text.find_last_not_of("\r\n") + 1));
    }
    DetectedDatabases detected;
    try {
        const auto json = nlohmann::json::parse(output.substr(0, split));
        for (const auto& item : json.at("databases")) {
            const std::string engine = item.at("engine").get<std::string>();
            detected.databases.push_back(FromUtf8((engine == "mysql" ? "MySQL/MariaDB " : "PostgreSQL ") +
                                                  item.at("database").get<std::string>() + " (" +
                                                  item.at("found_in").get<std::string>() + ")"));
        }
        for (const auto& warning : json.at("warnings")) detected.warnings.push_back(FromUtf8(warning.get<std::string>()));
    } catch (const nlohmann::json::exception&) {
        throw Error(ErrorCode::RemoteBackupFailed, "The server program's list of databases does not parse");
    }
    return detected;
}

DetectedDatabases DetectDatabases(SshConnection& connection, const BackupSettings& settings) {
    const CommandResult result =
        RunShortCommand(connection, BuildBackupCommand(EmbeddedBackupScript(), RequestFor(settings, true)));
    return ParseDetectedDatabases(result.exitStatus, result.output);
}

std::wstring DetectedDatabasesText(const DetectedDatabases& detected) {
    std::wstring text = detected.databases.empty() ? L"Баз данных MySQL/MariaDB и PostgreSQL не найдено."
                                                   : L"В копию войдут базы данных:";
    for (const auto& line : detected.databases) text += L"\r\n  " + line;
    for (const auto& line : detected.warnings) text += L"\r\nПредупреждение: " + line;
    return text;
}

BackupRequest RequestFor(const BackupSettings& settings, bool detectOnly) {
    return {settings.paths, settings.databases, settings.detectDatabases, detectOnly};
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
        throw Error(ErrorCode::ArchiveVerificationFailed,
                    "Archive verification failed: the copy read back from the drive differs from the received data");
    }
}

// The size of the newest own snapshot's archive, 0 when there is none.
std::uint64_t NewestArchiveBytes(const std::wstring& backupFolder, const std::wstring& id) {
    const std::vector<std::wstring> own = RetentionCandidates(backupFolder, id);
    if (own.empty()) return 0;
    std::error_code ec;
    const std::uint64_t size = std::filesystem::file_size(os::FsPath(os::JoinPath(own.back(), kArchiveFile)), ec);
    return ec ? 0 : size;
}

// Writes a line to backup.log unless the log already holds it: a fact that
// stays true is told once, not at every run.
void AppendOnce(const BackupSettings& settings, const std::wstring& message) {
    for (const LogLine& line : ReadBackupLog(settings)) {
        if (line.message == message) return;
    }
    BackupLog::append(settings, message);
}

// What the server could not store as it was (a source that holds no file, a
// damaged database stored as bytes, a file that changed while read) goes to
// the log, where the window and the user look; a long list is cut short.
void LogServerWarnings(const BackupSettings& settings, const std::vector<std::string>& warnings) {
    constexpr std::size_t kLogged = 20;
    for (std::size_t i = 0; i < warnings.size() && i < kLogged; ++i) {
        BackupLog::append(settings, L"Warning: " + FromUtf8(warnings[i]));
    }
    if (warnings.size() > kLogged) {
        BackupLog::append(settings, L"Warning: " + std::to_wstring(warnings.size() - kLogged) +
                                        L" more warnings are in the archive's manifest");
    }
}

void RecordFinishedCommit(const BackupSettings& settings, const std::wstring& snapshot) {
    const std::wstring name = os::FromFsPath(os::FsPath(snapshot).filename());
    BackupLog::append(settings, L"Finished the commit an earlier run left: " + name);
    BackupLog::append(settings, L"SUCCESS " + name);
}

}  // namespace

void BackupJob::run(BackupSettings settings, bool manual, StatusCallback status, JobProgressCallback progress,
                    const CancelToken* cancel) {
    JobServices services;
    run(std::move(settings), manual, std::move(status), services, std::move(progress), cancel);
}

void BackupJob::run(BackupSettings s, bool manual, StatusCallback status, JobServices& services,
                    JobProgressCallback progress, const CancelToken* cancel) {
    // A hand-edited settings.ini gets the window's verdict (hours=0 would
    // make every start due).
    ValidateSettings(s);
    // The command is built once and is what the run sends.
    const std::string command = BuildBackupCommand(services.serverProgram(), RequestFor(s));
    OperationLock lock = AcquireOperationLock(s.id);

    if (!os::SamePath(services.resolveBoundDrive(s.device, s.id), s.drive_root) || s.drive_root.empty()) {
        throw Error(ErrorCode::DriveMissing, "Selected device is missing or its identity changed");
    }
    const std::wstring backupFolder = os::JoinPath(s.drive_root, layout::kBackupFolder);
    os::CreateDirectories(backupFolder);
    // A linked backup folder would take the archive to another volume than
    // the one whose free space was measured.
    if (os::IsReparsePoint(backupFolder)) throw Error(ErrorCode::BackupFolderRedirected,
                                                      "Backup folder is redirected; nothing written");
    const std::wstring scheduleFile = os::JoinPath(backupFolder, layout::kScheduleFile);

    const std::uint64_t now = UnixNow();
    const ScheduleState state = ReadScheduleState(scheduleFile);
    if (!manual && !ShouldScheduledStartRun(now, s.automatic, s.hours, state)) return;

    RecordAttempt(scheduleFile, now, state.last_success);
    const std::wstring staging = os::JoinPath(backupFolder, StagingDirectoryName(s.id));
    const CommitServices commit{[&](const std::wstring& from, const std::wstring& to) { services.renameDirectory(from, to); },
                                [&](std::chrono::milliseconds duration) { services.pause(duration); }};
    try {
        if (const auto finished = PrepareStaging(staging, backupFolder, s.id, commit)) {
            RecordFinishedCommit(s, *finished);
        }
    } catch (const std::exception& e) {
        // A staging folder the run cannot take over stops every run until
        // someone looks: the log is where the window and the user look.
        BackupLog::append(s, FailedLogLine(s.id, e.what()));
        throw;
    }

    KeepAwake awake(services);
    BackupLog::append(s, L"START " + s.host + L":" + std::to_wstring(s.port));
    const std::wstring fileSystem = services.fileSystemOf(s.drive_root);
    if (NearFileSizeLimit(fileSystem, NewestArchiveBytes(backupFolder, s.id))) {
        const std::wstring warning =
            L"Warning: the last archive is above 3.5 GiB and FAT32 holds no file over 4 GiB; format the drive as "
            L"exFAT or NTFS";
        BackupLog::append(s, warning);
        status(L"Внимание: копия сайта приближается к 4 ГиБ, а файловая система диска (FAT32) не хранит файлы "
               L"больше 4 ГиБ. Отформатируйте диск в exFAT или NTFS.");
    }

    bool committed = false;
    std::uint64_t landed = 0;
    try {
        std::wstring snapshot;
        {
            const auto free = services.freeBytes(s.drive_root);
            if (!free || *free < kMinimumFreeBytes) throw Error(ErrorCode::LowSpace,
                                                                "Less than 512 MiB free on destination");
            ArchiveStreamOptions options = services.streamOptions();
            if (options.cancel == nullptr) options.cancel = cancel;
            const SshLogin login = StoredLogin(s);
            SshConnection connection = SshConnection::connect(EndpointOf(s), &login, {}, options.cancel);
            BackupLog::append(s, LoginLogLine(connection));
            const std::wstring archive = os::JoinPath(staging, kArchiveFile);
            ProgressAdapter texts(status);
            TransferResult received;
            try {
                received = RemoteArchiveStream::run(
                    connection, command, archive,
                    [&](const TransferProgress& transfer) {
                        landed = transfer.archiveBytes;
                        texts(transfer);
                        if (progress) progress(JobProgress{false, transfer, 0, 0});
                    },
                    options);
            } catch (const Error& e) {
                if (HitsFileSizeLimit(fileSystem, landed) && e.code() == ErrorCode::DestinationFull) {
                    throw Error(ErrorCode::FileSizeLimit,
                                "The drive's FAT32 file system holds no file over 4 GiB; format the drive as exFAT or NTFS");
                }
                throw;
            }
            WriteWholeFile(os::JoinPath(staging, kChecksumFile), ChecksumLine(received.digest));
            ProveArchiveOnDevice(archive, received.digest, status, progress, services);
            if (!os::SamePath(services.resolveBoundDrive(s.device, s.id), s.drive_root)) {
                throw Error(ErrorCode::DriveChanged, "Device changed during transfer");
            }
            const std::uint64_t createdUtc = UnixNow();
            snapshot = CommitSnapshot(staging, backupFolder, s.id,
                                      SnapshotIniText(SnapshotIni{s.id, createdUtc, received.summary.files,
                                                                  received.summary.databases.size(),
                                                                  received.summary.dumps.size()}),
                                      createdUtc, commit);
            const std::uint64_t committedAt = UnixNow();
            RecordSuccess(scheduleFile, committedAt);
            // The local copy of the success time, for the notices of starts without the drive.
            notices::RecordBackupSuccess(s, committedAt);
            BackupLog::append(s, L"SUCCESS " + os::FromFsPath(os::FsPath(snapshot).filename()));
            committed = true;
            LogServerWarnings(s, received.summary.warnings);
            status(L"Готово: " + snapshot);
            if (!received.summary.warnings.empty()) {
                status(L"Готово, с предупреждениями (" + std::to_wstring(received.summary.warnings.size()) +
                       L"): " + FromUtf8(received.summary.warnings.front()) + L". Все предупреждения — в журнале.");
            }
            ApplyRetention(backupFolder, s.id, s.keep, snapshot,
                           [&](const std::wstring& why) { AppendOnce(s, L"Retention skipped: " + why); });
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
