// Errors of the whole program: exceptions that carry a short English message in
// UTF-8 and the kind of failure it reports. The outermost handler of each
// context keeps the message as it is for the logs and explains the kind to the
// user in Russian.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace tesmora {

// The kinds of failure the user is told about. Several messages may share a
// kind when one explanation fits them all. The catalogue below holds one row
// per kind in this order, and Internal stays last: the count is taken from it.
enum class ErrorCode : std::uint8_t {
    // The drive for the copies.
    DriveMissing,
    ConfiguredDriveNotFound,
    NoDriveSelected,
    AmbiguousDevice,
    DriveChanged,
    LowSpace,
    DestinationFull,
    FileSizeLimit,
    DestinationUnwritable,
    WriteFailed,
    FlushFailed,
    ReadBackFailed,
    BackupFolderRedirected,
    RedirectedEntry,
    ForeignStaging,
    // The server and the transfer.
    HostLookup,
    ConnectionFailed,
    Handshake,
    ClosedBeforeSsh,
    HostKeyMismatch,
    PasswordRefused,
    NoStoredPassword,
    PasswordNotStored,
    LoginMethods,
    KeyRefused,
    KeyFile,
    KeyNotStored,
    KeyInstall,
    ChannelRefused,
    RemotePythonLaunch,
    NoCommands,
    PythonMissing,
    PythonTooOld,
    LoginScriptOutput,
    TransferBroken,
    TransferTimeout,
    RemoteBackupFailed,
    ArchiveVerificationFailed,
    // The settings and the program's own state.
    InvalidSettings,
    SettingsNotSaved,
    TaskRegistration,
    Busy,
    Cancelled,
    // Verifying and restoring snapshots.
    NoSnapshot,
    UntrustedCopy,
    RestoreTarget,
    RestoreDamaged,
    RestoreFailed,
    RestoreIncomplete,
    RemoteRestoreFailed,
    // Windows and the program itself.
    SystemRefused,
    ProgramDamaged,
    FileSystem,
    Internal,
};

inline constexpr std::size_t kErrorCodeCount = static_cast<std::size_t>(ErrorCode::Internal) + 1;

struct ErrorCatalogueEntry {
    ErrorCode code;
    // The English text the user sees: the whole message, or its fixed
    // beginning when details follow. Empty when every message of the kind is
    // the system's own wording.
    std::string_view english;
};

// Every kind with its text, in the order of ErrorCode.
std::span<const ErrorCatalogueEntry> ErrorCatalogue();

// The catalogue's English text of one kind.
std::string_view ErrorCodeText(ErrorCode code);

class Error : public std::runtime_error {
public:
    Error(ErrorCode code, const std::string& utf8Message) : std::runtime_error(utf8Message), code_(code) {}
    // A message the user has no explanation for: an internal failure.
    explicit Error(const std::string& utf8Message) : Error(ErrorCode::Internal, utf8Message) {}

    ErrorCode code() const { return code_; }

private:
    ErrorCode code_;
};

// The user stopped a long operation ("Cancelled" or the operation's own text).
class CancelledError : public Error {
public:
    explicit CancelledError(const std::string& utf8Message = "Cancelled") : Error(ErrorCode::Cancelled, utf8Message) {}
};

// A failed file-system operation: names the operation ("create_directories",
// "copy_file", "rename", "remove"), the path and the system's own reason.
class FileSystemError : public Error {
public:
    FileSystemError(const std::string& operation, const std::wstring& path, const std::string& reason);
    FileSystemError(const std::string& operation, const std::wstring& path, const std::error_code& error);

    const std::string& operation() const { return operation_; }

private:
    std::string operation_;
};

namespace os {

// The system's own description of an error code (a Windows error code on
// Windows, an errno value elsewhere) in UTF-8, without a final line break. On
// Windows it comes from FormatMessageW, so a Russian Windows gives Russian text
// rather than question marks from the ANSI code page.
std::string SystemErrorText(unsigned long code);

// The description of a standard library error code, through SystemErrorText
// where the code is the system's own.
std::string ErrorText(const std::error_code& error);

}  // namespace os
}  // namespace tesmora
