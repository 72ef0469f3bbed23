#include "remote/archive_stream.h"

#include "os/text.h"
#include "os/error.h"
#include "archive/stream_check.h"
#include "remote/exec_channel.h"

#include <libssh2.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

namespace tesmora {
namespace {

constexpr std::size_t kReadBuffer = 65536;

}  // namespace

Error VerificationFailure(const ArchiveDamage& damage) {
    return Error(ErrorCode::ArchiveVerificationFailed, std::string("Archive verification failed: ") + damage.what());
}

TransferResult RemoteArchiveStream::run(SshConnection& connection, const std::string& command,
                                        const std::wstring& archivePath, ProgressCallback progress,
                                        const ArchiveStreamOptions& options) {
    const auto now = options.clock ? options.clock : [] { return os::MonotonicNanoseconds(); };
    const CancelToken never;
    const CancelToken& cancel = options.cancel != nullptr ? *options.cancel : never;
    LIBSSH2_SESSION* session = connection.session();

    ExecChannel channel(session);
    channel.open(command);
    channel.sendEof();
    libssh2_session_set_blocking(session, 0);

    std::ofstream archive(os::FsPath(archivePath), std::ios::binary | std::ios::trunc);
    if (!archive) throw Error(ErrorCode::DestinationUnwritable, "Cannot create archive on selected device");
    os::BackgroundSha256 hash;
    std::optional<StreamCheck> check;
    if (options.checkArchive) check.emplace();
    // Once the bytes so far cannot begin an archive (a login script printed a
    // greeting before it), the rest is not worth waiting for.
    const auto requireArchive = [&] {
        if (!check || !check->failed()) return;
        try {
            check->finish();
        } catch (const ArchiveDamage& damage) {
            throw VerificationFailure(damage);
        }
    };

    std::vector<char> buffer(kReadBuffer);
    ServerErrorStream errors;
    TransferProgress state;
    const std::uint64_t start = now();
    // Progress lines come each second even from a server held up by a lock:
    // only archive bytes, error text and counters that move are work.
    HeartbeatWatch heartbeat(start, kIdleLimitNs);
    bool worked = false;
    const auto report = [&](const ServerProgress& server) {
        state.server = server;
        if (progress) progress(state);
        worked = heartbeat.moved(server) || worked;
    };
    for (;;) {
        if (cancel.cancelled()) throw CancelledError("Cancelled; incomplete archive is not a backup");
        bool hadData = false;
        worked = false;

        const ssize_t out = libssh2_channel_read_ex(channel.get(), 0, buffer.data(), buffer.size());
        if (out > 0) {
            archive.write(buffer.data(), out);
            if (!archive) throw Error(ErrorCode::DestinationFull, "Destination full, removed or write failed");
            hash.update(buffer.data(), static_cast<std::size_t>(out));
            if (check) check->feed(std::string_view(buffer.data(), static_cast<std::size_t>(out)));
            state.archiveBytes += static_cast<std::uint64_t>(out);
            if (progress) progress(state);
            requireArchive();
            hadData = true;
            worked = true;
        } else if (out < 0 && out != LIBSSH2_ERROR_EAGAIN) {
            // A cancel shuts the socket down under the read: say what happened.
            if (cancel.cancelled()) throw CancelledError("Cancelled; incomplete archive is not a backup");
            throw Error(ErrorCode::TransferBroken, "SSH archive read failed");
        }

        const ssize_t err = libssh2_channel_read_ex(channel.get(), SSH_EXTENDED_DATA_STDERR, buffer.data(),
                                                    buffer.size());
        if (err > 0) {
            const std::size_t kept = errors.text().size();
            errors.add(std::string_view(buffer.data(), static_cast<std::size_t>(err)), report);
            worked = worked || errors.text().size() != kept;
            hadData = true;
        } else if (err < 0 && err != LIBSSH2_ERROR_EAGAIN) {
            if (cancel.cancelled()) throw CancelledError("Cancelled; incomplete archive is not a backup");
            throw Error(ErrorCode::TransferBroken, "SSH error stream failed");
        }

        const std::uint64_t time = now();
        if (worked) heartbeat.work(time);
        // libssh2 reports the end only once no data of the channel is queued.
        if (libssh2_channel_eof(channel.get()) && !hadData) break;
        if (heartbeat.idle(time) || time - start > kTotalLimitNs) {
            throw Error(ErrorCode::TransferTimeout, "Backup transfer timeout");
        }
        if (hadData) continue;
        // Reading one stream can pull the other's data, and the end of the
        // stream, into libssh2's queue: never wait while the channel holds some.
        if (libssh2_poll_channel_read(channel.get(), 0) || libssh2_poll_channel_read(channel.get(), 1)) continue;
        const bool outbound = (libssh2_session_block_directions(session) & LIBSSH2_SESSION_BLOCK_OUTBOUND) != 0;
        os::WaitForSocket(connection.socket(), outbound, std::chrono::milliseconds(200));
    }

    if (!channel.closeAndWait()) throw Error(ErrorCode::TransferBroken, "Remote backup did not close cleanly");
    const int exitStatus = libssh2_channel_get_exit_status(channel.get());
    // A program killed by a signal sends no exit status; its archive is cut
    // short however many bytes arrived, so the signal fails the run.
    const std::string signal = channel.exitSignal();
    archive.close();
    // The server's own account of a failure explains it best, so it comes
    // before the verdict on the bytes.
    if (!archive || exitStatus != 0 || !signal.empty()) {
        std::string message = "Remote backup failed: ";
        message += errors.text();
        if (!signal.empty()) {
            if (!errors.text().empty() && errors.text().back() != '\n') message += ' ';
            message += "killed by signal ";
            message += signal;
        }
        throw Error(ErrorCode::RemoteBackupFailed, message);
    }
    TransferResult result;
    if (check) {
        try {
            result.summary = check->finish();
        } catch (const ArchiveDamage& damage) {
            throw VerificationFailure(damage);
        }
    }
    os::FlushFileToDisk(archivePath);
    result.digest = hash.finish();
    return result;
}

}  // namespace tesmora
