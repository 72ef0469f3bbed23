// Errors of the whole program: exceptions that carry one message of the
// catalogue, a short English text in UTF-8 with its details, and through it
// the kind of failure it reports. The outermost handler of each context keeps
// the message as it is for the logs and explains the kind to the user in
// Russian.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace tesmora {

// The kinds of failure the user is told about. Several messages share a kind
// when one explanation fits them all: the Russian reason, the notices, the
// exit code and the windows choose by kind. Internal stays last: the count is
// taken from it.
enum class ErrorKind : std::uint8_t {
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
    // The keys of encrypted snapshots.
    EncryptionKey,
    // Windows and the program itself.
    SystemRefused,
    ProgramDamaged,
    FileSystem,
    Internal,
};

inline constexpr std::size_t kErrorKindCount = static_cast<std::size_t>(ErrorKind::Internal) + 1;

// Every message the user can see, one value each; its text and kind are in
// the catalogue below, in this order. Internal stays last: the count is taken
// from it.
enum class ErrorCode : std::uint16_t {
    // The drive for the copies.
    DriveMissing,
    ConfiguredDriveNotFound,
    NoDriveSelected,
    AmbiguousDevice,
    DriveChanged,
    LowSpace,
    DestinationFull,
    HistoryNoRoom,
    FileSizeLimit,
    CannotCreateArchive,
    CannotWrite,
    FileCloseFailed,
    CannotFlush,
    FlushFailed,
    CannotReadBack,
    BackupFolderRedirected,
    RetentionRedirected,
    StagingEntryRedirected,
    StagingRedirected,
    UnknownStagingFile,
    UnrecognizedStaging,
    // The server and the transfer.
    HostLookupFailed,
    ConnectionFailed,
    HandshakeFailed,
    HostKeyUnavailable,
    ClosedBeforeSsh,
    HostKeyMismatch,
    PasswordRefused,
    NoStoredPassword,
    PasswordNotStored,
    NoUsableLogin,
    KeyboardInteractiveAsksMore,
    KeyRefused,
    KeyLoginFailed,
    KeyFileDamaged,
    KeyFileTooLarge,
    KeyFileWithoutBeginLine,
    KeyFileNotOpenSsh,
    KeyFileNotOneKey,
    KeyFileUnknownCipher,
    KeyFileDerivationDamaged,
    KeyFileTooManyRounds,
    KeyFileNeedsPassphrase,
    KeyFileWrongPassphrase,
    KeyFileNotDecrypted,
    KeyFileEcKeyDamaged,
    KeyFileRsaKeyDamaged,
    KeyFileEd25519KeyDamaged,
    KeyFileEcdsaKeyDamaged,
    KeyFileRsaKeyTooLong,
    KeyFileUnsupportedType,
    KeyFileKeyDamaged,
    KeyFileForeignPublicKey,
    KeyFileStoredKeyDamaged,
    KeyFileUnreadable,
    KeyFileNotNamed,
    KeyNotStored,
    KeyInstallCommandFailed,
    KeyNotAcceptedAfterInstall,
    ChannelRefused,
    RemotePythonLaunchFailed,
    NoCommands,
    PythonMissing,
    PythonTooOld,
    LoginScriptBeforeArchive,
    LoginScriptBeforeAnswer,
    SshArchiveReadFailed,
    SshUploadFailed,
    RemoteBackupNotClosed,
    CommandOutputUnreadable,
    RestoreConnectionBroke,
    RemoteRestoreNotClosed,
    BackupTransferTimeout,
    ServerProgramNoAnswer,
    RestoreTransferTimeout,
    RemoteBackupFailed,
    ProbeAnswerUnparsed,
    DatabaseListUnparsed,
    // An archive that does not prove whole: the message around a reason,
    // then the reasons, which verifying a snapshot also names on their own.
    ArchiveVerificationFailed,
    ReadBackDiffers,
    FramesUnparsed,
    FramesCutShort,
    ReusedSegmentDiffers,
    EncryptedArchiveUnopened,
    GzipEndsEarly,
    GzipMemberDamaged,
    ArchiveEmpty,
    NotGzip,
    DataAfterGzipMember,
    TarUnreadable,
    TarDamagedAtStart,
    TarDamagedAfterMember,
    MemberDamaged,
    TarEndMissing,
    TarGoesOnAfterEnd,
    ManifestValueNotCount,
    ManifestUnparsed,
    ManifestLacksCounts,
    ManifestNotLast,
    ManifestTooLarge,
    ManifestMissing,
    FileCountMismatch,
    DatabaseCopyMissing,
    DatabaseCopySizeMismatch,
    DumpIncomplete,
    DumpMissing,
    DumpDiffers,
    DumpNotNamed,
    // The settings and the program's own state.
    SettingsWithoutId,
    EmptyHost,
    HostWithSpace,
    EmptyUser,
    UserWithLineBreak,
    InvalidPort,
    InvalidInterval,
    InvalidRetention,
    SourcePathCount,
    SourcePathForm,
    DatabaseCount,
    DatabaseForm,
    EncryptionRecipientForm,
    SettingsNotSaved,
    SettingsCloseFailed,
    TaskRegistrationFailed,
    TaskSchedulerNotLaunched,
    TaskRemovalFailed,
    OperationRunning,
    WaitForOperation,
    Cancelled,
    BackupCancelled,
    RestoreCancelled,
    RemoteRestoreCancelled,
    // Verifying and restoring snapshots.
    NoSnapshot,
    NotOwnSnapshot,
    UntrustedCopy,
    UntrustedCopyNotSent,
    RestoreTarget,
    RestoreArgumentsMissing,
    RemoteFolderNotAbsolute,
    ServerRefusedRestoreFolder,
    RestoreDamaged,
    RestoreCannotRead,
    RestoreCannotWrite,
    RestoreDriveFull,
    RestoreWriteFailed,
    RestoreIncomplete,
    RemoteRestoreFailed,
    RemoteRestoreAnswerUnparsed,
    // The keys of encrypted snapshots.
    EncryptionKeyMissing,
    EncryptionKeyNotStored,
    IdentityFileUnopened,
    IdentityFileNotWritten,
    EncryptionArgumentsMissing,
    // Windows and the program itself.
    LocalDataFolderNotFound,
    UserTokenUnavailable,
    UserSidUnavailable,
    SidConversionFailed,
    CannotStart,
    BackupScriptMissing,
    RestoreScriptMissing,
    FileSystem,
    NeitherFolderExaminable,
    SshAllocationFailed,
    OpenSslCannotReadNumber,
    OpenSslCannotBuildKey,
    OpenSslCannotReadRsaKey,
    OpenSslCannotEncodeKey,
    OpenSslCannotMakeEd25519Key,
    OutOfMemory,
    Sha256InitFailed,
    Sha256UpdateFailed,
    Sha256FinalFailed,
    SettingsWindowNotCreated,
    SnapshotsWindowNotCreated,
    SettingsWindowNeedsWindows,
    UnexpectedFailure,
    // Without a text of its own: the detail is the whole message.
    Internal,
};

inline constexpr std::size_t kErrorCodeCount = static_cast<std::size_t>(ErrorCode::Internal) + 1;

struct ErrorCatalogueEntry {
    ErrorCode code;
    ErrorKind kind;
    // The English text the user sees: the whole message, or its fixed
    // beginning when details follow. Empty where the message is the system's
    // or the server's own wording, which comes whole as the detail.
    std::string_view english;
};

// Every message with its kind and text, in the order of ErrorCode.
std::span<const ErrorCatalogueEntry> ErrorCatalogue();

// The catalogue's English text of one message.
std::string_view ErrorCodeText(ErrorCode code);

// The kind of failure one message reports.
ErrorKind ErrorCodeKind(ErrorCode code);

class Error : public std::runtime_error {
public:
    // The message is the catalogue's English text followed by `detail`: what
    // varies (a path, a number, the server's or the system's own words).
    // Internal with a detail is for what the program never expects.
    explicit Error(ErrorCode code, std::string_view detail = {});

    ErrorCode code() const { return code_; }
    ErrorKind kind() const { return ErrorCodeKind(code_); }

private:
    ErrorCode code_;
};

// The user stopped a long operation: "Cancelled" or the operation's own message.
class CancelledError : public Error {
public:
    explicit CancelledError(ErrorCode code = ErrorCode::Cancelled, std::string_view detail = {})
        : Error(code, detail) {}
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
