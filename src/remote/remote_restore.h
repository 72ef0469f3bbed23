// The way back to the server: a snapshot's archive written to the standard
// input of the embedded restore program (resources/remote_restore.py), which
// unpacks it into a private sibling of a new folder, proves it against the
// SHA-256 and the manifest and only then gives it the folder's name.
#pragma once

#include "crypto/age.h"
#include "os/cancel.h"
#include "remote/channel_pump.h"
#include "remote/remote_command.h"
#include "remote/server_output.h"
#include "ssh/ssh_connection.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tesmora {

struct RemoteRestoreRequest {
    std::wstring folder;             // absolute, new or empty, its parent existing
    std::string digest;              // the archive's SHA-256, lower-case hex
    std::uint64_t archiveBytes = 0;
    std::uint64_t logicalBytes = 0;  // what the unpacked files need, as the manifest counts it
    std::uint64_t members = 0;
    std::wstring snapshot;           // the snapshot folder's name, for the report
};

// Where an upload stands: the archive bytes sent, and the server's own report
// of what it has unpacked ("unpack", bytes of the archive) and then "finish".
struct RemoteRestoreProgress {
    std::uint64_t sent = 0, total = 0;
    ServerProgress server;
};

struct RemoteRestoreResult {
    std::uint64_t files = 0, bytes = 0, directories = 0, symlinks = 0, hardlinks = 0;
    std::uint64_t refused = 0;  // members not restored; the report names them
    bool root = false;          // owners and groups came from the archive
    std::wstring login;
    std::wstring report;        // the text of restore-report.txt in the folder
};

// What starts the program with the request: the new folder, the digest, the
// sizes and the snapshot's name, as a JSON list.
ProgramLaunch RemoteRestoreLaunch(std::string_view script, const RemoteRestoreRequest& request);

// The server-side restore program built into the executable.
std::string EmbeddedRestoreScript();

// What the program's end and its answer (standard output) mean: the result,
// or the error to raise. A run that never got going raises its LaunchFailure,
// a refused folder RestoreTarget with the server's words, anything else
// "Restore on the server failed: ".
RemoteRestoreResult RemoteRestoreOutcome(const PumpResult& end, std::string_view answer);

// "Восстановлено на сервере: N файлов, M МиБ; папок D, ссылок S, жёстких ссылок H; отказано R"
std::wstring RemoteRestoreSummary(const RemoteRestoreResult& result);

// Starts the program and sends the archive after its request, reading its
// progress and answer as they come. The connection is left open, in blocking
// mode. A cancel raises CancelledError; the server then removes what it wrote.
// `options` gives the clock and the limits; its texts are the restore's own.
// An age-encrypted archive is sent as the archive inside, opened with `keys`.
RemoteRestoreResult RunRemoteRestore(SshConnection& connection, const ProgramLaunch& launch,
                                     const std::wstring& archivePath,
                                     const std::function<void(const RemoteRestoreProgress&)>& progress,
                                     PumpOptions options = {}, const age::Keys* keys = nullptr);

}  // namespace tesmora
