#include "remote/channel_pump.h"

#include "os/os.h"
#include "remote/exec_channel.h"

#include <libssh2.h>

#include <vector>

namespace tesmora {
namespace {

constexpr std::size_t kReadBuffer = 65536;
constexpr std::size_t kShortOutputLimit = 65536;

bool ConnectionLost(ssize_t result) {
    return result == LIBSSH2_ERROR_SOCKET_SEND || result == LIBSSH2_ERROR_SOCKET_RECV ||
           result == LIBSSH2_ERROR_SOCKET_DISCONNECT || result == LIBSSH2_ERROR_SOCKET_TIMEOUT ||
           result == LIBSSH2_ERROR_TIMEOUT;
}

}  // namespace

PumpResult PumpChannel(SshConnection& connection, const std::string& command, const PumpIo& io,
                       const PumpOptions& options) {
    const auto now = options.clock ? options.clock : [] { return os::MonotonicNanoseconds(); };
    const auto cancelled = [&] { return options.cancel != nullptr && options.cancel->cancelled(); };
    // A cancel shuts the socket down under the call that fails: say what happened.
    const auto broken = [&](ErrorCode what) -> Error {
        if (cancelled()) return CancelledError(options.cancelled);
        return Error(what);
    };
    LIBSSH2_SESSION* session = connection.session();
    ExecChannel channel(session);
    try {
        channel.open(command);
    } catch (const Error&) {
        if (cancelled()) throw CancelledError(options.cancelled);
        throw;
    }
    libssh2_session_set_blocking(session, 0);

    PumpResult result;
    std::vector<char> buffer(kReadBuffer);
    ServerErrorStream errors;
    std::string_view pending;
    std::uint64_t sent = 0;
    bool inputDone = !io.input, eofSent = false;
    const std::uint64_t start = now();
    // Progress lines come each second even from a server held up by a lock:
    // only output, input taken, error text and counters that move are work.
    HeartbeatWatch heartbeat(start, options.idleLimitNs);
    bool worked = false;
    const auto line = [&](const ServerProgress& progress) {
        worked = heartbeat.moved(progress) || worked;
        if (io.progress) io.progress(progress);
    };
    for (;;) {
        if (cancelled()) throw CancelledError(options.cancelled);
        bool hadData = false;
        worked = false;

        if (!inputDone && pending.empty()) {
            pending = io.input();
            inputDone = pending.empty();
        }
        if (!inputDone) {
            const ssize_t wrote = libssh2_channel_write(channel.get(), pending.data(), pending.size());
            if (wrote > 0) {
                pending.remove_prefix(static_cast<std::size_t>(wrote));
                sent += static_cast<std::uint64_t>(wrote);
                if (io.sent) io.sent(sent);
                hadData = worked = true;
            } else if (wrote < 0 && wrote != LIBSSH2_ERROR_EAGAIN) {
                if (ConnectionLost(wrote)) throw broken(ErrorCode::SshUploadFailed);
                // The program went before it read everything; how it ended
                // says why.
                result.inputRefused = true;
                inputDone = eofSent = true;
            }
        } else if (!eofSent) {
            const int eof = libssh2_channel_send_eof(channel.get());
            if (eof != LIBSSH2_ERROR_EAGAIN) {
                if (eof < 0 && ConnectionLost(eof)) throw broken(ErrorCode::SshUploadFailed);
                eofSent = true;
            }
        }

        const ssize_t out = libssh2_channel_read_ex(channel.get(), 0, buffer.data(), buffer.size());
        if (out > 0) {
            result.outputBytes += static_cast<std::uint64_t>(out);
            if (io.output) io.output(std::string_view(buffer.data(), static_cast<std::size_t>(out)));
            hadData = worked = true;
        } else if (out < 0 && out != LIBSSH2_ERROR_EAGAIN) {
            throw broken(options.readFailed);
        }

        // Each read ends in a read of the socket that finds it empty, which
        // costs a server round trip under Wine: the error stream is read
        // only once its data is queued.
        const ssize_t err = libssh2_poll_channel_read(channel.get(), 1) == 0
                                ? LIBSSH2_ERROR_EAGAIN
                                : libssh2_channel_read_ex(channel.get(), SSH_EXTENDED_DATA_STDERR, buffer.data(),
                                                          buffer.size());
        if (err > 0) {
            const std::size_t kept = errors.text().size();
            errors.add(std::string_view(buffer.data(), static_cast<std::size_t>(err)), line);
            worked = worked || errors.text().size() != kept;
            hadData = true;
        } else if (err < 0 && err != LIBSSH2_ERROR_EAGAIN) {
            throw broken(options.readFailed);
        }

        const std::uint64_t time = now();
        if (worked) heartbeat.work(time);
        // libssh2 reports the end only once no data of the channel is queued.
        if (libssh2_channel_eof(channel.get()) && !hadData) break;
        if (heartbeat.idle(time) || time - start > options.totalLimitNs) {
            throw Error(options.timedOut);
        }
        if (hadData) continue;
        // Reading one stream can pull the other's data, and the end of the
        // stream, into libssh2's queue: never wait while the channel holds some.
        if (libssh2_poll_channel_read(channel.get(), 0) || libssh2_poll_channel_read(channel.get(), 1)) continue;
        // A full window is opened by the server's packets, which a wait for
        // reading sees.
        const bool outbound = (libssh2_session_block_directions(session) & LIBSSH2_SESSION_BLOCK_OUTBOUND) != 0;
        os::WaitForSocket(connection.socket(), outbound, std::chrono::milliseconds(200));
    }
    if (!channel.closeAndWait()) throw broken(options.closeFailed);
    result.exitStatus = libssh2_channel_get_exit_status(channel.get());
    result.signal = channel.exitSignal();
    result.errors = errors.text();
    return result;
}

std::function<std::string_view()> InputOnce(std::string_view bytes) {
    return [bytes, given = false]() mutable -> std::string_view {
        if (given) return {};
        given = true;
        return bytes;
    };
}

ShortCommandResult RunShortCommand(SshConnection& connection, const std::string& command, std::string_view input,
                                   const PumpOptions& options) {
    ShortCommandResult result;
    PumpIo io;
    io.input = InputOnce(input);
    io.output = [&](std::string_view bytes) {
        if (result.output.size() < kShortOutputLimit) {
            result.output.append(bytes.substr(0, kShortOutputLimit - result.output.size()));
        }
    };
    result.end = PumpChannel(connection, command, io, options);
    return result;
}

}  // namespace tesmora
