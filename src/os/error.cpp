#include "os/error.h"

#include "os/text.h"

#include <array>

namespace tesmora {
namespace {

constexpr std::array<ErrorCatalogueEntry, kErrorCodeCount> kCatalogue{{
    {ErrorCode::DriveMissing, "Selected device is missing or its identity changed"},
    {ErrorCode::ConfiguredDriveNotFound, "Configured drive not found"},
    {ErrorCode::NoDriveSelected, "Select a mounted drive"},
    {ErrorCode::AmbiguousDevice, "Ambiguous device identity; reconnect only the intended drive"},
    {ErrorCode::DriveChanged, "Device changed during transfer"},
    {ErrorCode::LowSpace, "Less than 512 MiB free on destination"},
    {ErrorCode::DestinationFull, "Destination full, removed or write failed"},
    {ErrorCode::FileSizeLimit,
     "The drive's FAT32 file system holds no file over 4 GiB; format the drive as exFAT or NTFS"},
    {ErrorCode::DestinationUnwritable, "Cannot create archive on selected device"},
    {ErrorCode::WriteFailed, "Cannot write: "},
    {ErrorCode::FlushFailed, "Destination flush failed; backup not committed"},
    {ErrorCode::ReadBackFailed, "Cannot read back: "},
    {ErrorCode::BackupFolderRedirected, "Backup folder is redirected; nothing written"},
    {ErrorCode::RedirectedEntry, "Staging directory is redirected"},
    {ErrorCode::ForeignStaging, "Unknown file in staging directory; not modified"},
    {ErrorCode::HostLookup, "Host lookup failed"},
    {ErrorCode::ConnectionFailed, "SSH connection failed/timeout"},
    {ErrorCode::Handshake, "SSH handshake failed"},
    {ErrorCode::ClosedBeforeSsh,
     "The server closed the connection before SSH began; a connection limit (MaxStartups) or a firewall may be the "
     "cause"},
    {ErrorCode::HostKeyMismatch, "SSH HOST KEY MISMATCH"},
    {ErrorCode::PasswordRefused, "SSH password authentication failed"},
    {ErrorCode::NoStoredPassword, "Enter and save the VDS password on this Windows account first"},
    {ErrorCode::PasswordNotStored, "Windows Credential Manager rejected the password"},
    {ErrorCode::LoginMethods, "The server offers no login this program can use: "},
    {ErrorCode::KeyRefused, "SSH key authentication failed"},
    {ErrorCode::KeyFile, "Cannot use the key file: "},
    {ErrorCode::KeyNotStored, "Windows Credential Manager rejected the key"},
    {ErrorCode::KeyInstall, "Could not add the key on the server: "},
    {ErrorCode::ChannelRefused, "SSH channel could not open"},
    {ErrorCode::RemotePythonLaunch, "Remote Python launch failed"},
    {ErrorCode::NoCommands, "This account may not run commands (it is SFTP-only or has no shell); the server answered "},
    {ErrorCode::PythonMissing, "The server has no python3 on the login shell's PATH: "},
    {ErrorCode::PythonTooOld, "python3 3.7 or newer is needed on the server; found "},
    {ErrorCode::LoginScriptOutput, "A login script on the server printed text before "},
    {ErrorCode::TransferBroken, "SSH archive read failed"},
    {ErrorCode::TransferTimeout, "Backup transfer timeout"},
    {ErrorCode::RemoteBackupFailed, "Remote backup failed: "},
    {ErrorCode::ArchiveVerificationFailed, "Archive verification failed: "},
    {ErrorCode::InvalidSettings, "Invalid "},
    {ErrorCode::SettingsNotSaved, "Settings/state could not be saved"},
    {ErrorCode::TaskRegistration,
     "Task registration failed; run settings as administrator if Windows policy requires it"},
    {ErrorCode::Busy, "A backup/settings operation is already running"},
    {ErrorCode::Cancelled, "Cancelled"},
    {ErrorCode::NoSnapshot, "No snapshot of this configuration on the drive"},
    {ErrorCode::UntrustedCopy, "Verification found a copy that cannot be trusted"},
    {ErrorCode::RestoreTarget, "Choose an empty or new folder to restore into"},
    {ErrorCode::RestoreDamaged, "The archive does not match its checksum; the restored files may be damaged"},
    {ErrorCode::RestoreFailed, "Restore failed: "},
    {ErrorCode::RestoreIncomplete, "Some members were not restored; restore-report.txt names them"},
    {ErrorCode::RemoteRestoreFailed, "Restore on the server failed: "},
    {ErrorCode::SystemRefused, "Local application data folder not found"},
    {ErrorCode::ProgramDamaged, "Embedded backup script missing"},
    {ErrorCode::FileSystem, ""},
    {ErrorCode::Internal, "Unexpected failure"},
}};

constexpr bool InCodeOrder() {
    for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
        if (static_cast<std::size_t>(kCatalogue[i].code) != i) return false;
    }
    return true;
}
static_assert(InCodeOrder(), "one catalogue row per ErrorCode, in the enumeration's order");

}  // namespace

std::span<const ErrorCatalogueEntry> ErrorCatalogue() { return kCatalogue; }

std::string_view ErrorCodeText(ErrorCode code) { return kCatalogue.at(static_cast<std::size_t>(code)).english; }

FileSystemError::FileSystemError(const std::string& operation, const std::wstring& path,
                                 const std::string& reason)
    : Error(ErrorCode::FileSystem, operation + ": " + ToUtf8(path) + ": " + reason), operation_(operation) {}

FileSystemError::FileSystemError(const std::string& operation, const std::wstring& path,
                                 const std::error_code& error)
    : FileSystemError(operation, path, os::ErrorText(error)) {}

namespace os {

std::string ErrorText(const std::error_code& error) {
    // The standard library's own text for system codes is in the ANSI code
    // page on Windows; errno texts of the C library are plain ASCII.
    if (error.category() == std::system_category()) return SystemErrorText(static_cast<unsigned long>(error.value()));
    return error.message();
}

}  // namespace os
}  // namespace tesmora
