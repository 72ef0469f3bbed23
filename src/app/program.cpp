#include "app/program.h"

#include "config/local_data.h"
#include "config/operation_lock.h"
#include "config/backup_log.h"
#include "config/credentials.h"
#include "config/durable_file.h"
#include "config/ini_file.h"
#include "config/layout.h"
#include "config/settings.h"
#include "config/time_stamp.h"
#include "os/text.h"
#include "device/binding.h"
#include "device/drives.h"
#include "encryption/snapshot_keys.h"
#include "job/backup_job.h"
#include "job/server_program.h"
#include "job/ssh_key_setup.h"
#include "job/stored_login.h"
#include "job/server_restore.h"
#include "notices/notices.h"
#include "schedule/task_registration.h"
#include "snapshot/snapshot_jobs.h"
#include "ssh/ssh_connection.h"
#include "ui/settings_window.h"
#include "ui/window_texts.h"
#include "os/error.h"
#include "os/os.h"
#include "ssh/ssh_library.h"

#include <array>
#include <utility>

namespace tesmora::app {
namespace {

constexpr std::array<std::pair<const wchar_t*, Mode>, 12> kModes{{
    {L"--devices", Mode::Devices},
    {L"--self-test", Mode::SelfTest},
    {L"--check", Mode::Check},
    {L"--install", Mode::Install},
    {L"--backup-now", Mode::BackupNow},
    {L"--scheduled", Mode::Scheduled},
    {L"--verify", Mode::Verify},
    {L"--restore", Mode::Restore},
    {L"--restore-to-server", Mode::RestoreToServer},
    {L"--install-key", Mode::InstallKey},
    {L"--import-key", Mode::ImportKey},
    {L"--encryption", Mode::Encryption},
}};

constexpr char kSelfTestOutput[] = "scheduler self-test OK\n";
constexpr char kCheckOutput[] = "SSH host key and stored credential verified\n";

// The settings the window and the job modes work with.
BackupSettings& ProcessSettings() {
    static BackupSettings settings;
    return settings;
}

std::wstring ResolveBindingFile(const std::wstring& bindingPath) {
    return ResolveBoundDrive(ReadIniValue(bindingPath, L"device", L""), ReadIniValue(bindingPath, L"id", L""));
}

void RequireSettingsRoot(const std::wstring& settingsRoot) {
    if (settingsRoot.empty()) throw Error(ErrorCode::ConfiguredDriveNotFound);
}

// Runs one mode; returns its exit code when it did not fail.
int RunMode(const std::vector<std::wstring>& arguments, const std::wstring& settingsRoot,
            const std::wstring& noticeStateFile) {
    const Mode mode = ParseMode(arguments);
    const std::optional<std::wstring> output = OutputPath(arguments);
    switch (mode) {
        case Mode::SelfTest:
            if (output) WriteWholeFile(*output, kSelfTestOutput);
            return 0;
        case Mode::Devices: {
            const std::string json = DevicesJson(EnumerateDrives());
            if (output) WriteWholeFile(*output, json);
            return 0;
        }
        case Mode::Check: {
            RequireSettingsRoot(settingsRoot);
            const BackupSettings settings = LoadSettings(settingsRoot);
            const SshLogin login = StoredLogin(settings);
            SshConnection connection = SshConnection::connect(EndpointOf(settings), &login);
            // The login alone proves little: the probe runs what a backup
            // runs, and the documented text is written only when it passed.
            ProbeServer(connection, settings);
            connection.close();
            if (output) WriteWholeFile(*output, kCheckOutput);
            return 0;
        }
        case Mode::Install:
            RequireSettingsRoot(settingsRoot);
            ProcessSettings() = LoadSettings(settingsRoot);
            ValidateSettings(ProcessSettings());
            SaveSettings(ProcessSettings());
            RegisterTask(true);
            return 0;
        case Mode::BackupNow:
        case Mode::Scheduled: {
            // A scheduled start while the drive is absent leaves no trace, unless
            // the last copy is so old that the user must be told.
            if (settingsRoot.empty() && mode == Mode::Scheduled) {
                notices::NoticeDriveAbsent(noticeStateFile, UnixNow());
                return 0;
            }
            RequireSettingsRoot(settingsRoot);
            ProcessSettings() = LoadSettings(settingsRoot);
            if (mode == Mode::Scheduled) notices::KeepScheduleInStep(noticeStateFile, ProcessSettings());
            // The modes report only through the job's log, errors.log and the exit code.
            const BackupOutcome made =
                BackupJob::run(ProcessSettings(), mode == Mode::BackupNow, [](const std::wstring&) {});
            if (made.missed.empty()) return 0;
            // Nobody watches a scheduled run; a script reads the exit code.
            if (mode == Mode::Scheduled) notices::NoticeIncompleteSnapshot(made.missed);
            return kExitIncomplete;
        }
        case Mode::Verify: {
            // --verify [SNAPSHOT_FOLDER]: one line per snapshot on the console
            // it was started from, and the exit code.
            RequireSettingsRoot(settingsRoot);
            const BackupSettings settings = LoadSettings(settingsRoot);
            std::vector<std::wstring> folders;
            if (output) folders.push_back(*output);
            const bool passed = VerifySnapshots(settings, folders, [](const VerifyOutcome& outcome) {
                os::PrintLine(VerifyLogLine(outcome.name, outcome.verdict).message);
                if (!outcome.verdict.ok) os::PrintLine(DamageExplanation(outcome));
                // A whole archive may still lack a database the server could not dump.
                for (const MissedDatabase& missed : outcome.verdict.summary.missed) {
                    os::PrintLine(LogLine::Incomplete(outcome.name, FromUtf8(missed.reason)).message);
                }
            });
            if (!passed) throw Error(ErrorCode::UntrustedCopy);
            return 0;
        }
        case Mode::Restore: {
            // --restore SNAPSHOT_FOLDER TARGET_FOLDER
            RequireSettingsRoot(settingsRoot);
            if (arguments.size() < 4) throw Error(ErrorCode::RestoreArgumentsMissing);
            const RestoreResult result = RestoreOwnSnapshot(LoadSettings(settingsRoot), arguments[2], arguments[3]);
            os::PrintLine(RestoreSummaryText(result));
            if (!result.archiveIntact) throw Error(ErrorCode::RestoreDamaged);
            if (result.skipped > 0) throw Error(ErrorCode::RestoreIncomplete);
            return 0;
        }
        case Mode::RestoreToServer: {
            // --restore-to-server SNAPSHOT_FOLDER REMOTE_FOLDER: the summary
            // and the report on the console; 0 only for a complete restore.
            RequireSettingsRoot(settingsRoot);
            if (arguments.size() < 4) throw Error(ErrorCode::RestoreArgumentsMissing);
            const RemoteRestoreResult result = RestoreToServer(LoadSettings(settingsRoot), arguments[2], arguments[3]);
            os::PrintLine(RemoteRestoreSummary(result));
            os::PrintLine(result.report);
            if (result.refused > 0) throw Error(ErrorCode::RestoreIncomplete);
            return 0;
        }
        case Mode::InstallKey: {
            // --install-key [FILE]: the drive's settings and the stored password.
            RequireSettingsRoot(settingsRoot);
            const KeyInstallResult result = InstallProgramKey(LoadSettings(settingsRoot));
            const std::string line = (result.added ? "Key added: " : "Key already present: ") + result.publicKey;
            os::PrintLine(FromUtf8(line));
            if (output) WriteWholeFile(*output, line + "\n");
            return 0;
        }
        case Mode::ImportKey: {
            // --import-key FILE: the passphrase, when the key has one, comes
            // from the environment so that it never shows in a command line.
            RequireSettingsRoot(settingsRoot);
            if (!output) throw Error(ErrorCode::KeyFileNotNamed);
            std::string passphrase = ToUtf8(os::EnvironmentText(L"TESMORA_KEY_PASSPHRASE"));
            try {
                ImportKeyFile(LoadSettings(settingsRoot), *output, passphrase);
            } catch (...) {
                WipeString(passphrase);
                throw;
            }
            WipeString(passphrase);
            return 0;
        }
        case Mode::Encryption: {
            // --encryption on SHEET_FILE | new-key SHEET_FILE | off: the
            // passphrase of identity.age comes from the environment, or is
            // proposed on the sheet when none is given.
            RequireSettingsRoot(settingsRoot);
            const std::wstring choice = arguments.size() > 2 ? arguments[2] : L"";
            const bool on = choice == L"on" || choice == L"new-key";
            if (!(on && arguments.size() > 3) && choice != L"off") throw Error(ErrorCode::EncryptionArgumentsMissing);
            BackupSettings settings = LoadSettings(settingsRoot);
            ValidateSettings(settings);
            const OperationLock lock = AcquireOperationLock(settings.id);
            if (!on) {
                settings.encryptionRecipient.clear();
                WriteSettingsFile(settings);
                os::PrintLine(L"Encryption off: new snapshots are stored unencrypted; encrypted ones keep their key");
                return 0;
            }
            std::string passphrase = ToUtf8(os::EnvironmentText(L"TESMORA_ENCRYPTION_PASSPHRASE"));
            EncryptionSetup setup = EnableEncryption(settings, passphrase, choice == L"new-key");
            WipeString(passphrase);
            // The sheet first: no snapshot is encrypted before it is kept.
            try {
                WriteWholeFile(arguments[3], setup.sheet);
            } catch (...) {
                WipeString(setup.sheet);
                throw;
            }
            WipeString(setup.sheet);
            WriteSettingsFile(setup.settings);
            os::PrintLine(L"Encryption on: new snapshots are encrypted to " + setup.settings.encryptionRecipient +
                          L"; the recovery sheet is in " + arguments[3]);
            return 0;
        }
        case Mode::Window:
            if (!settingsRoot.empty()) ProcessSettings() = LoadSettings(settingsRoot);
            ui::RunSettingsWindow(ProcessSettings());
            return 0;
    }
    return 0;
}

}  // namespace

std::string DevicesJson(const std::vector<DriveInfo>& drives) {
    std::string json = "[";
    for (const DriveInfo& drive : drives) {
        if (json.size() > 1) json += ",";
        json += "{\"root\":" + JsonQuote(drive.root) + ",\"serial\":" + JsonQuote(drive.identity) + "}";
    }
    return json + "]";
}

Mode ParseMode(const std::vector<std::wstring>& arguments) {
    if (arguments.size() < 2) return Mode::Window;
    for (const auto& [name, mode] : kModes) {
        if (arguments[1] == name) return mode;
    }
    return Mode::Window;
}

std::optional<std::wstring> OutputPath(const std::vector<std::wstring>& arguments) {
    if (arguments.size() < 3) return std::nullopt;
    return arguments[2];
}

std::wstring DecideSettingsRoot(const std::wstring& executableFolder, const std::wstring& localDataFolder,
                                bool settingsBesideExecutable,
                                const std::function<std::wstring()>& resolveBoundDrive) {
    if (settingsBesideExecutable) return os::ParentPath(executableFolder);
    if (os::SamePath(executableFolder, localDataFolder)) return resolveBoundDrive();
    return {};
}

int ExitCodeFor(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Busy: return 2;
        case ErrorKind::Cancelled: return 3;
        default: return 1;
    }
}

int ProgramMain(const std::vector<std::wstring>& arguments) {
    os::NetworkLibrary network;
    ssh::SshLibrary ssh;
    bool failed = false;
    int code = 0;
    ErrorKind kind = ErrorKind::Internal;
    std::string failure;
    std::wstring noticeStateFile;  // empty until the local data directory is known
    try {
        const std::wstring executableFolder = os::ParentPath(os::ExecutablePath());
        const std::wstring localData = LocalDataDirectory();
        noticeStateFile = notices::NoticeStateFile(localData);
        const std::wstring bindingPath = os::JoinPath(localData, layout::kBindingFile);
        const std::wstring settingsRoot = DecideSettingsRoot(
            executableFolder, localData, os::IsRegularFile(os::JoinPath(executableFolder, layout::kSettingsFile)),
            [&] { return ResolveBindingFile(bindingPath); });
        code = RunMode(arguments, settingsRoot, noticeStateFile);
    } catch (const Error& e) {
        failed = true;
        kind = e.kind();
        failure = e.what();
    } catch (const std::exception& e) {
        failed = true;
        failure = e.what();
    } catch (...) {
        failed = true;
        failure = ErrorCodeText(ErrorCode::UnexpectedFailure);
    }
    if (!failed) return code;
    BackupLog::appendError(failure);
    if (arguments.size() <= 1) os::ShowErrorMessage(ui::ErrorText(kind, failure), L"Tesmora Backup");
    // Nobody watches a scheduled run: a notice is how its failure reaches the user.
    if (ParseMode(arguments) == Mode::Scheduled && !noticeStateFile.empty()) {
        notices::NoticeScheduledFailure(noticeStateFile, UnixNow(), kind, failure);
    }
    return ExitCodeFor(kind);
}

}  // namespace tesmora::app
