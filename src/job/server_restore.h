// A snapshot back onto the server: proven on the drive first, then sent over
// SSH to the embedded restore program, which unpacks it into a new folder.
#pragma once

#include "encryption/snapshot_keys.h"

#include "config/settings.h"
#include "os/cancel.h"
#include "remote/remote_restore.h"

#include <cstdint>
#include <functional>
#include <string>

namespace tesmora {

// Where a restore to the server stands, for a progress bar.
struct ServerRestoreProgress {
    enum class Stage { Verify, Upload, Unpack } stage = Stage::Verify;
    std::uint64_t done = 0, total = 0;
};

// The stage and counters of an upload: the bytes sent until all are, then
// how far the server has unpacked them.
ServerRestoreProgress UploadStage(const RemoteRestoreProgress& upload);

// Refuses a folder the server program would refuse anyway, before the drive
// is read: it must be an absolute Linux path other than /. RestoreTarget.
void CheckRemoteFolder(const std::wstring& folder);

// Restores an own snapshot of the drive into `remoteFolder` on the server of
// the settings, with their login. A snapshot that does not verify is refused
// (UntrustedCopy) before anything reaches the server.
RemoteRestoreResult RestoreToServer(const BackupSettings& settings, const std::wstring& snapshot,
                                    const std::wstring& remoteFolder,
                                    const std::function<void(const ServerRestoreProgress&)>& progress = {},
                                    const CancelToken* cancel = nullptr,
                                    const PassphraseSource& passphrase = EnvironmentPassphrase());

}  // namespace tesmora
