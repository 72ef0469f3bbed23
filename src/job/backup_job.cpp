#include "job/backup_job.h"
#include "job/previous_index.h"
#include "job/server_program.h"
#include "job/stored_login.h"

#include "config/backup_log.h"
#include "config/credentials.h"
#include "config/durable_file.h"
#include "config/operation_lock.h"
#include "config/layout.h"
#include "config/schedule_state.h"
#include "config/time_stamp.h"
#include "device/binding.h"
#include "encryption/snapshot_keys.h"
#include "remote/segment_frames.h"
#include "repository/format.h"
#include "repository/retention.h"
#include "repository/staging.h"
#include "notices/notices.h"
#include "remote/remote_command.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "remote/server_output.h"
#include "ssh/ssh_connection.h"

#include <future>
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

std::uint64_t JobServices::now() { return UnixNow(); }

void ProgressAdapter::operator()(const TransferProgress& progress) {
    if (progress.archiveBytes - lastReported_ < 1048577) return;
    status_(L"Получено " + std::to_wstring(progress.archiveBytes / 1048576) + L" МиБ\u2026");
    lastReported_ = progress.archiveBytes;
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

namespace {

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
        throw VerificationFailure(ArchiveDamage(ErrorCode::ReadBackDiffers));
    }
}

// Writes a line to backup.log unless the log already holds it: a fact that
// stays true is told once, not at every run.
void AppendOnce(const BackupSettings& settings, const LogLine& entry, std::uint64_t time) {
    for (const LogLine& line : ReadBackupLog(settings)) {
        if (line.message == entry.message) return;
    }
    BackupLog::append(settings, entry, time);
}

// What the server could not store as it was (a source that holds no file, a
// damaged database stored as bytes, a file that changed while read) goes to
// the log, where the window and the user look; a long list is cut short.
void LogServerWarnings(const BackupSettings& settings, const std::vector<std::string>& warnings, std::uint64_t time) {
    constexpr std::size_t kLogged = 20;
    for (std::size_t i = 0; i < warnings.size() && i < kLogged; ++i) {
        BackupLog::append(settings, LogLine::Warning(FromUtf8(warnings[i])), time);
    }
    if (warnings.size() > kLogged) {
        BackupLog::append(settings,
                          LogLine::Warning(std::to_wstring(warnings.size() - kLogged) +
                                           L" more warnings are in the archive's manifest"),
                          time);
    }
}

std::vector<std::string> MissedReasons(const TransferResult& received) {
    std::vector<std::string> reasons;
    for (const MissedDatabase& missed : received.summary.missed) reasons.push_back(missed.reason);
    return reasons;
}

std::wstring FolderName(const std::wstring& path) { return os::FromFsPath(os::FsPath(path).filename()); }

// One run after its staging directory is ready: everything the phases share.
class Run {
public:
    Run(const BackupSettings& s, StatusCallback& status, JobServices& services, JobProgressCallback& progress,
        const CancelToken* cancel, const std::wstring& backupFolder, const std::wstring& staging,
        const CommitServices& commit)
        : s_(s), status_(status), services_(services), progress_(progress), cancel_(cancel),
          backupFolder_(backupFolder), staging_(staging), commit_(commit) {
        if (!s.encryptionRecipient.empty()) recipients_.push_back(ToUtf8(s.encryptionRecipient));
        policy_ = {s.keep, s.keepDaily, s.keepWeekly, s.keepMonthly, s.keepYearly};
    }

    // The age recipients the snapshot is encrypted to; none for a plain one.
    const std::vector<std::string>& recipients() const { return recipients_; }
    bool encrypted() const { return !recipients_.empty(); }

    void log(const LogLine& line) { BackupLog::append(s_, line, services_.now()); }

    // Connects, streams the archive into the staging directory and proves it
    // as it arrives.
    // landedIndex gets, however the transfer ends, the index of what wholly
    // arrived.
    // The request follows the program once request() returns it, and
    // previous is final by then.
    TransferResult transfer(const ProgramLaunch& launch, const std::function<std::string()>& request,
                            const std::wstring& fileSystem, const PreviousArchive& previous,
                            std::string& landedIndex) {
        const auto free = services_.freeBytes(s_.drive_root);
        if (!free || *free < BackupJob::kMinimumFreeBytes) {
            throw Error(ErrorCode::LowSpace);
        }
        ArchiveStreamOptions options = services_.streamOptions();
        if (options.cancel == nullptr) options.cancel = cancel_;
        options.previous = &previous;
        options.laterInput = request;
        options.landedIndex = &landedIndex;
        options.recipients = recipients_;
        const SshLogin login = StoredLogin(s_);
        SshConnection connection = SshConnection::connect(EndpointOf(s_), &login, {}, options.cancel);
        log(LoginLine(connection));
        ProgressAdapter texts(status_);
        std::uint64_t landed = 0;
        try {
            return RemoteArchiveStream::run(
                connection, launch, os::JoinPath(staging_, ArchiveFileName(encrypted())),
                [&](const TransferProgress& transfer) {
                    landed = transfer.archiveBytes;
                    texts(transfer);
                    if (progress_) progress_(JobProgress{false, transfer, 0, 0});
                },
                options);
        } catch (const Error& e) {
            if (HitsFileSizeLimit(fileSystem, landed) && e.code() == ErrorCode::DestinationFull) {
                throw Error(ErrorCode::FileSizeLimit);
            }
            throw;
        }
    }

    // Reads the archive back past the system's cache, proves the drive is
    // still the bound one and commits the snapshot by one rename.
    std::wstring proveAndCommit(const TransferResult& received) {
        const std::wstring archive = os::JoinPath(staging_, ArchiveFileName(encrypted()));
        // The index the next run builds on, listed beside the archive.
        const std::wstring index = os::JoinPath(staging_, IndexFileName(encrypted()));
        std::string indexDigest;
        // The read-back needs the archive alone, so it runs while the index
        // and the checksums are written; a failure of either stops the commit.
        std::future<void> readBack = std::async(std::launch::async, [&] {
            ProveArchiveOnDevice(archive, received.digest, status_, progress_, services_);
        });
        ForgetCutRun(staging_);  // nothing but the snapshot's own files may be committed
        // What an earlier run of the other kind (plain or encrypted) left.
        for (const wchar_t* other : {ArchiveFileName(!encrypted()), IndexFileName(!encrypted())}) {
            if (os::IsRegularFile(os::JoinPath(staging_, other))) RemoveOwnFile(os::JoinPath(staging_, other));
        }
        if (!received.index.empty()) {
            const std::string kept = SealIndex(received.index, recipients_);
            WriteWholeFile(index, kept);
            os::Sha256 hash;
            hash.update(kept.data(), kept.size());
            indexDigest = hash.finish();
        } else if (os::IsRegularFile(index)) {
            RemoveOwnFile(index);  // a cut-off run's, which nothing lists
        }
        WriteWholeFile(os::JoinPath(staging_, kChecksumFile), ChecksumLine(received.digest, indexDigest, encrypted()));
        readBack.get();
        if (!os::SamePath(services_.resolveBoundDrive(s_.device, s_.id), s_.drive_root)) {
            throw Error(ErrorCode::DriveChanged);
        }
        const std::uint64_t createdUtc = services_.now();
        SnapshotIni ini{s_.id, createdUtc, received.summary.files, received.summary.databases.size(),
                        received.summary.dumps.size(), MissedReasons(received)};
        if (encrypted()) ini.recipientFingerprint = age::RecipientFingerprint(recipients_.front());
        return CommitSnapshot(staging_, backupFolder_, s_.id, SnapshotIniText(ini), createdUtc, commit_);
    }

    // The success in schedule.ini, the local notice state and the log. A
    // record that fails leaves the snapshot as it is and says so.
    void record(const std::wstring& snapshot, const TransferResult& received, const std::wstring& scheduleFile) {
        const std::uint64_t committedAt = services_.now();
        std::string failure;
        const auto attempt = [&](const std::function<void()>& step) {
            try {
                step();
            } catch (const std::exception& e) {
                if (failure.empty()) failure = e.what();
            }
        };
        attempt([&] { RecordSuccess(scheduleFile, committedAt); });
        // The local copy of the success time, for the notices of starts without the drive.
        attempt([&] { notices::RecordBackupSuccess(s_, committedAt); });
        log(LogLine::Success(FolderName(snapshot)));
        if (!failure.empty()) {
            log(LogLine::NotRecorded(FolderName(snapshot), FromUtf8(failure)));
            status_(L"Копия готова, но её время не записалось (" + FromUtf8(failure) +
                    L"); следующий запуск по расписанию сделает ещё одну.");
        }
        const std::vector<std::string> missed = MissedReasons(received);
        for (const std::string& reason : missed) log(LogLine::Incomplete(FolderName(snapshot), FromUtf8(reason)));
        LogServerWarnings(s_, received.summary.warnings, services_.now());
        status_(L"Готово: " + snapshot);
        if (!received.summary.warnings.empty()) {
            status_(L"Готово, с предупреждениями (" + std::to_wstring(received.summary.warnings.size()) + L"): " +
                    FromUtf8(received.summary.warnings.front()) + L". Все предупреждения — в журнале.");
        }
        // Last, so that the window keeps it: the copy lacks what the user may need most.
        if (!missed.empty()) status_(notices::IncompleteText(missed));
    }

    // A new configuration's history, fitted to the drive now that the
    // archive's size is known, and saved in settings.ini.
    void fitHistory() {
        if (!s_.fitHistory) return;
        try {
            const std::uint64_t archive = NewestArchiveBytes(backupFolder_, s_.id);
            const std::uint64_t room = services_.freeBytes(s_.drive_root).value_or(0) + archive;
            policy_ = FitRetentionPolicy(room, archive, static_cast<std::uint32_t>(s_.hours));
            BackupSettings fitted = s_;
            fitted.keep = policy_.keep;
            fitted.keepDaily = policy_.daily;
            fitted.keepWeekly = policy_.weekly;
            fitted.keepMonthly = policy_.monthly;
            fitted.keepYearly = policy_.yearly;
            fitted.fitHistory = false;
            WriteSettingsFile(fitted);
            status_(L"История копий подобрана под диск: хранить " + std::to_wstring(policy_.keep) + L", по дням " +
                    std::to_wstring(policy_.daily) + L", по неделям " + std::to_wstring(policy_.weekly) +
                    L", по месяцам " + std::to_wstring(policy_.monthly) + L" (settings.ini).");
        } catch (const std::exception&) {
            // Unsaved, the next run fits it again.
        }
    }

    // Old snapshots the policy no longer keeps; a failure keeps them.
    void trim(const std::wstring& snapshot) {
        try {
            ApplyRetention(backupFolder_, s_.id, retention(snapshot));
        } catch (const std::exception&) {
            log(LogLine::RetentionIncomplete());
            status_(L"Копия готова. Очистку старых копий завершить не удалось; проверьте журнал.");
        }
    }

private:
    RetentionContext retention(const std::wstring& made) {
        RetentionContext c;
        c.policy = policy_;
        c.now = services_.now();
        c.calendar = [](std::uint64_t utc) { return os::LocalTimeAt(utc); };
        c.protectedSnapshot = made;
        c.note = [this](const std::wstring& why) { AppendOnce(s_, LogLine::RetentionSkipped(why), services_.now()); };
        c.removed = [this](const std::wstring& name, std::optional<Tier> thinned) {
            log(LogLine::Removed(name, thinned ? L"room for the next snapshot, given up by the " +
                                                     std::wstring(TierName(*thinned)) + L" tier"
                                               : L"no longer kept by the retention policy"));
        };
        return c;
    }

public:
    // Before the transfer, and before its base is chosen so that the newest
    // snapshot left is the one it builds on: room for an archive like the
    // last one, taken from the finest tiers of the history when the drive
    // lacks it.
    void makeRoom() {
        const auto free = services_.freeBytes(s_.drive_root);
        if (!free) return;  // the check after it names the failure
        const std::uint64_t needed =
            std::max(NeededForNextRun(NewestArchiveBytes(backupFolder_, s_.id)), BackupJob::kMinimumFreeBytes);
        const std::uint64_t missing = MakeRoomForRun(backupFolder_, s_.id, retention({}), *free, needed);
        if (missing > 0) throw Error(ErrorCode::HistoryNoRoom, std::to_string((missing + (1 << 20) - 1) >> 20));
    }

    const BackupSettings& s_;
    StatusCallback& status_;
    JobServices& services_;
    JobProgressCallback& progress_;
    const CancelToken* cancel_;
    const std::wstring& backupFolder_;
    const std::wstring& staging_;
    const CommitServices& commit_;
    std::vector<std::string> recipients_;
    RetentionPolicy policy_;
};

}  // namespace

BackupOutcome BackupJob::run(BackupSettings settings, bool manual, StatusCallback status,
                             JobProgressCallback progress, const CancelToken* cancel) {
    JobServices services;
    return run(std::move(settings), manual, std::move(status), services, std::move(progress), cancel);
}

BackupOutcome BackupJob::run(BackupSettings s, bool manual, StatusCallback status, JobServices& services,
                             JobProgressCallback progress, const CancelToken* cancel) {
    // A hand-edited settings.ini gets the window's verdict (hours=0 would
    // make every start due).
    ValidateSettings(s);
    // The program is at hand before anything is written.
    const std::string program = services.serverProgram();
    OperationLock lock = AcquireOperationLock(s.id);

    if (!os::SamePath(services.resolveBoundDrive(s.device, s.id), s.drive_root) || s.drive_root.empty()) {
        throw Error(ErrorCode::DriveMissing);
    }
    const std::wstring backupFolder = os::JoinPath(s.drive_root, layout::kBackupFolder);
    os::CreateDirectories(backupFolder);
    // A linked backup folder would take the archive to another volume than
    // the one whose free space was measured.
    if (os::IsReparsePoint(backupFolder)) throw Error(ErrorCode::BackupFolderRedirected);
    const std::wstring scheduleFile = os::JoinPath(backupFolder, layout::kScheduleFile);

    const std::uint64_t now = services.now();
    const ScheduleState state = ReadScheduleState(scheduleFile);
    if (!manual && !ShouldScheduledStartRun(now, s.automatic, s.hours, state)) return {};

    RecordAttempt(scheduleFile, now, state.last_success);
    const std::wstring stagingName = StagingDirectoryName(s.id);
    const std::wstring staging = os::JoinPath(backupFolder, stagingName);
    const CommitServices commit{[&](const std::wstring& from, const std::wstring& to) { services.renameDirectory(from, to); },
                                [&](std::chrono::milliseconds duration) { services.pause(duration); }};
    Run run(s, status, services, progress, cancel, backupFolder, staging, commit);
    try {
        if (const auto finished = PrepareStaging(staging, backupFolder, s.id, commit)) {
            run.log(LogLine::FinishedCommit(FolderName(*finished)));
            run.log(LogLine::Success(FolderName(*finished)));
        }
    } catch (const std::exception& e) {
        // A staging folder the run cannot take over stops every run until
        // someone looks: the log is where the window and the user look.
        run.log(LogLine::Failed(stagingName, FromUtf8(e.what())));
        throw;
    }

    KeepAwake awake(services);
    run.log(LogLine::Start(s.host, s.port));
    const std::wstring fileSystem = services.fileSystemOf(s.drive_root);
    if (NearFileSizeLimit(fileSystem, NewestArchiveBytes(backupFolder, s.id))) {
        run.log(LogLine::Warning(L"the last archive is above 3.5 GiB and FAT32 holds no file over 4 GiB; format the "
                                 L"drive as exFAT or NTFS"));
        status(L"Внимание: копия сайта приближается к 4 ГиБ, а файловая система диска (FAT32) не хранит файлы "
               L"больше 4 ГиБ. Отформатируйте диск в exFAT или NTFS.");
    }

    // What this run builds on: the newest snapshot's index and what a run
    // cut off since left in staging, their segments proven first. Without
    // either the run is a full one, and still leaves an index for the next.
    // Encrypted ones open with the stored key; without it the run is a full one.
    // The proof reads both archives whole, so it runs while the login and the
    // program's start take their round trips; the request waits for it.
    try {
        run.makeRoom();
    } catch (const std::exception& e) {
        run.log(LogLine::Failed(stagingName, FromUtf8(e.what())));
        throw;
    }
    HeldKeys keys;
    try {
        keys = SnapshotKeys(s, EnvironmentPassphrase());
    } catch (const std::exception&) {
    }
    std::vector<std::wstring> own;
    try {
        own = RetentionCandidates(backupFolder, s.id);
    } catch (const std::exception&) {
        // a folder that cannot be listed: a full run
    }
    if (!own.empty()) status(L"Сверка с предыдущей копией…");
    // The request is framed there too: a large site's index takes a while to
    // compress.
    struct Proven {
        std::optional<PreviousIndex> previous;
        std::string request;
    };
    std::future<Proven> proving = std::async(std::launch::async, [&] {
        Proven proven;
        try {
            proven.previous = LoadPreviousIndex(own.empty() ? std::wstring() : own.back(), staging, {}, &keys.keys());
        } catch (const std::exception&) {
            proven.previous.reset();
        }
        BackupRequest request = RequestFor(s);
        request.previousIndex = proven.previous ? std::move(proven.previous->requestJson) : std::string("{}");
        proven.request = RequestFrame(request);
        return proven;
    });
    PreviousArchive base;
    const auto requestFrame = [&] {
        Proven proven = proving.get();
        const std::optional<PreviousIndex>& previous = proven.previous;
        if (!previous && !own.empty() && keys.empty() && os::IsRegularFile(os::JoinPath(own.back(), kEncryptedArchiveFile))) {
            AppendOnce(s, LogLine::Warning(L"no key on this PC opens the encrypted snapshots, so each run sends the "
                                           L"whole site; verify or restore once with the passphrase of identity.age"),
                       services.now());
        }
        if (previous && previous->resumedBytes > 0) {
            status(L"Продолжение прерванной копии: " + std::to_wstring(previous->resumedBytes / 1048576) +
                   L" МиБ уже на диске.");
        }
        if (previous) base = std::move(proven.previous->archive);
        return std::move(proven.request);
    };

    TransferResult received;
    std::wstring snapshot;
    try {
        std::string landed;
        try {
            received = run.transfer(LaunchProgramAlone(program), requestFrame, fileSystem, base, landed);
        } catch (const std::exception&) {
            // What wholly arrived waits in staging for the next run to copy,
            // once the proof no longer reads it.
            if (proving.valid()) proving.wait();
            try {
                KeepCutRun(staging, landed, run.recipients());
            } catch (const std::exception&) {
            }
            throw;
        }
        snapshot = run.proveAndCommit(received);
    } catch (const std::exception& e) {
        run.log(LogLine::Failed(stagingName, FromUtf8(e.what())));
        throw;
    }
    run.record(snapshot, received, scheduleFile);
    run.fitHistory();
    run.trim(snapshot);
    return {FolderName(snapshot), MissedReasons(received)};
}

}  // namespace tesmora
