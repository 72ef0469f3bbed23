#include "job/server_restore.h"

#include "config/operation_lock.h"
#include "job/stored_login.h"
#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "repository/format.h"
#include "snapshot/snapshot_jobs.h"
#include "snapshot/verify.h"
#include "ssh/ssh_connection.h"

#include <chrono>
#include <filesystem>
#include <future>

namespace tesmora {
namespace {

// The connection, made on a thread of its own while the snapshot is
// verified: the handshake and the login send nothing of the snapshot. Unless
// taken, it is given up: its socket shut down and its thread awaited.
class ConnectionBeside {
public:
    ConnectionBeside(const SshEndpoint& endpoint, const SshLogin& login)
        : attempt_(std::async(std::launch::async,
                              [this, endpoint, &login] { return SshConnection::connect(endpoint, &login, {}, &own_); })) {}
    ConnectionBeside(const ConnectionBeside&) = delete;
    ConnectionBeside& operator=(const ConnectionBeside&) = delete;
    ~ConnectionBeside() {
        if (!attempt_.valid()) return;
        own_.cancel();
        attempt_.wait();
    }

    // Waits for the connection; a cancel meanwhile stops it. From then on the
    // connection answers `cancel`.
    SshConnection take(const CancelToken* cancel) {
        while (attempt_.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
            if (cancel != nullptr && cancel->cancelled()) own_.cancel();
        }
        SshConnection connection = attempt_.get();
        connection.publishIn(cancel);
        return connection;
    }

private:
    CancelToken own_;
    std::future<SshConnection> attempt_;
};

}  // namespace

ServerRestoreProgress UploadStage(const RemoteRestoreProgress& upload) {
    if (upload.sent < upload.total) return {ServerRestoreProgress::Stage::Upload, upload.sent, upload.total};
    const bool finishing = upload.server.phase == "finish";
    return {ServerRestoreProgress::Stage::Unpack, finishing ? upload.total : std::min(upload.server.read, upload.total),
            upload.total};
}

void CheckRemoteFolder(const std::wstring& folder) {
    std::wstring plain = folder;
    while (plain.size() > 1 && plain.back() == L'/') plain.pop_back();
    if (plain.empty() || plain.front() != L'/' || plain == L"/" ||
        plain.find_first_of(L"\r\n\\") != std::wstring::npos) {
        throw Error(ErrorCode::RemoteFolderNotAbsolute);
    }
}

RemoteRestoreResult RestoreToServer(const BackupSettings& settings, const std::wstring& snapshot,
                                    const std::wstring& remoteFolder,
                                    const std::function<void(const ServerRestoreProgress&)>& progress,
                                    const CancelToken* cancel, const PassphraseSource& passphrase) {
    CheckRemoteFolder(remoteFolder);
    const OperationLock lock = AcquireOperationLock(settings.id);
    if (!IsOwnSnapshot(snapshot, settings.id)) {
        throw Error(ErrorCode::NotOwnSnapshot, ToUtf8(snapshot));
    }
    SnapshotKeyRing keys(settings, passphrase);
    const age::Keys* snapshotKeys = keys.forSnapshot(snapshot);
    const SshLogin login = StoredLogin(settings);
    ConnectionBeside connecting(EndpointOf(settings), login);
    const Verdict verdict = VerifySnapshot(
        snapshot, settings.id,
        [&](std::uint64_t done, std::uint64_t total) {
            if (progress) progress({ServerRestoreProgress::Stage::Verify, done, total});
        },
        cancel, snapshotKeys);
    const SnapshotMarkers markers = ReadSnapshotMarkers(snapshot, settings.id);
    if (!verdict.ok || !markers.digest) {
        throw Error(ErrorCode::UntrustedCopyNotSent, verdict.reason + "; nothing was sent to the server");
    }
    const std::wstring archive = markers.archive;
    RemoteRestoreRequest request;
    request.folder = remoteFolder;
    // The server gets, and proves, the archive inside an encrypted one.
    request.digest = snapshotKeys != nullptr ? verdict.plainDigest : *markers.digest;
    std::error_code ec;
    request.archiveBytes =
        snapshotKeys != nullptr ? verdict.plainBytes : std::filesystem::file_size(os::FsPath(archive), ec);
    request.logicalBytes = verdict.summary.logicalBytes;
    request.members = verdict.summary.members;
    std::filesystem::path name = os::FsPath(snapshot);
    if (!name.has_filename()) name = name.parent_path();
    request.snapshot = os::FromFsPath(name.filename());

    SshConnection connection = connecting.take(cancel);
    PumpOptions options;
    options.cancel = cancel;
    RemoteRestoreResult result = RunRemoteRestore(
        connection, RemoteRestoreLaunch(EmbeddedRestoreScript(), request), archive,
        [&](const RemoteRestoreProgress& upload) {
            if (progress) progress(UploadStage(upload));
        },
        options, snapshotKeys);
    connection.close();
    return result;
}

}  // namespace tesmora
