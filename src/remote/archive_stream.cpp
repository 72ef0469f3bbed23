#include "remote/archive_stream.h"

#include "config/durable_file.h"
#include "config/text.h"
#include "os/error.h"
#include "remote/remote_command.h"

#include <libssh2.h>

#include <cstring>
#include <fstream>
#include <vector>

namespace tesmora {
namespace {

constexpr std::size_t kReadBuffer = 65536;

// Owns the exec channel. Whatever way the transfer ends, the session goes back
// to blocking mode and the channel is closed and freed.
class Channel {
public:
    explicit Channel(LIBSSH2_SESSION* session) : session_(session) {}
    ~Channel() {
        libssh2_session_set_blocking(session_, 1);
        if (channel_ != nullptr) {
            if (!closed_) libssh2_channel_close(channel_);
            libssh2_channel_free(channel_);
        }
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    void open(const std::string& command) {
        channel_ = libssh2_channel_open_ex(session_, "session", 7, LIBSSH2_CHANNEL_WINDOW_DEFAULT,
                                           LIBSSH2_CHANNEL_PACKET_DEFAULT, nullptr, 0);
        if (channel_ == nullptr) throw Error("SSH channel could not open");
        if (libssh2_channel_process_startup(channel_, "exec", 4, command.c_str(),
                                            static_cast<unsigned>(std::strlen(command.c_str()))) != 0) {
            throw Error("Remote Python launch failed");
        }
        libssh2_channel_send_eof(channel_);
    }

    LIBSSH2_CHANNEL* get() const { return channel_; }

    // Closes in blocking mode and waits for the server's side of the close.
    bool closeAndWait() {
        libssh2_session_set_blocking(session_, 1);
        closed_ = true;
        return libssh2_channel_close(channel_) == 0 && libssh2_channel_wait_closed(channel_) == 0;
    }

    // The name of the signal that ended the remote program, or empty.
    std::string exitSignal() const {
        char* name = nullptr;
        size_t length = 0;
        if (libssh2_channel_get_exit_signal(channel_, &name, &length, nullptr, nullptr, nullptr, nullptr) != 0 ||
            name == nullptr) {
            return {};
        }
        std::string signal(name, length);
        libssh2_free(session_, name);
        return signal;
    }

private:
    LIBSSH2_SESSION* session_;
    LIBSSH2_CHANNEL* channel_ = nullptr;
    bool closed_ = false;
};

}  // namespace

CancelFlag& ProcessCancelFlag() {
    static CancelFlag flag{false};
    return flag;
}

std::string ChecksumLine(const std::string& digest) { return HexLower(digest) + "  site.tar.gz\n"; }

void RemoteArchiveStream::run(SshConnection& connection, const BackupSettings& settings,
                              const std::wstring& archivePath, ProgressCallback progress,
                              const ArchiveStreamOptions& options) {
    const std::string command =
        BuildRemoteCommand(options.script.empty() ? EmbeddedBackupScript() : options.script, settings.paths);
    const auto now = options.clock ? options.clock : [] { return os::MonotonicNanoseconds(); };
    const CancelFlag& cancel = options.cancel != nullptr ? *options.cancel : ProcessCancelFlag();
    LIBSSH2_SESSION* session = connection.session();

    Channel channel(session);
    channel.open(command);
    libssh2_session_set_blocking(session, 0);

    std::ofstream archive(os::FsPath(archivePath), std::ios::binary | std::ios::trunc);
    if (!archive) throw Error("Cannot create archive on selected device");
    os::Sha256 hash;

    std::vector<char> buffer(kReadBuffer);
    std::string errors;
    std::uint64_t total = 0;
    const std::uint64_t start = now();
    std::uint64_t lastActivity = start;
    for (;;) {
        if (cancel.load()) throw Error("Cancelled; incomplete archive is not a backup");
        bool hadData = false;

        const ssize_t out = libssh2_channel_read_ex(channel.get(), 0, buffer.data(), buffer.size());
        if (out > 0) {
            archive.write(buffer.data(), out);
            if (!archive) throw Error("Destination full, removed or write failed");
            hash.update(buffer.data(), static_cast<std::size_t>(out));
            total += static_cast<std::uint64_t>(out);
            if (progress) progress(total);
            hadData = true;
        } else if (out < 0 && out != LIBSSH2_ERROR_EAGAIN) {
            // A cancel shuts the socket down under the read: say what happened.
            if (cancel.load()) throw Error("Cancelled; incomplete archive is not a backup");
            throw Error("SSH archive read failed");
        }

        const ssize_t err = libssh2_channel_read_ex(channel.get(), SSH_EXTENDED_DATA_STDERR, buffer.data(),
                                                    buffer.size());
        if (err > 0) {
            const std::size_t room = kKeptErrorBytes - errors.size();
            errors.append(buffer.data(), std::min(room, static_cast<std::size_t>(err)));
            hadData = true;
        } else if (err < 0 && err != LIBSSH2_ERROR_EAGAIN) {
            if (cancel.load()) throw Error("Cancelled; incomplete archive is not a backup");
            throw Error("SSH error stream failed");
        }

        const std::uint64_t time = now();
        if (hadData) lastActivity = time;
        // libssh2 reports the end only once no data of the channel is queued.
        if (libssh2_channel_eof(channel.get()) && !hadData) break;
        if (time - lastActivity > kIdleLimitNs || time - start > kTotalLimitNs) {
            throw Error("Backup transfer timeout");
        }
        if (hadData) continue;
        // Reading one stream can pull the other's data, and the end of the
        // stream, into libssh2's queue: never wait while the channel holds some.
        if (libssh2_poll_channel_read(channel.get(), 0) || libssh2_poll_channel_read(channel.get(), 1)) continue;
        const bool outbound = (libssh2_session_block_directions(session) & LIBSSH2_SESSION_BLOCK_OUTBOUND) != 0;
        os::WaitForSocket(connection.socket(), outbound, std::chrono::milliseconds(200));
    }

    if (!channel.closeAndWait()) throw Error("Remote backup did not close cleanly");
    const int exitStatus = libssh2_channel_get_exit_status(channel.get());
    // A program killed by a signal sends no exit status; its archive is cut
    // short however many bytes arrived, so the signal fails the run.
    const std::string signal = channel.exitSignal();
    archive.close();
    if (!archive || total < 1024 || exitStatus != 0 || !signal.empty()) {
        std::string message = "Remote backup failed: ";
        message += errors;
        if (!signal.empty()) {
            if (!errors.empty() && errors.back() != '\n') message += ' ';
            message += "killed by signal ";
            message += signal;
        }
        throw Error(message);
    }
    FlushFileToDisk(archivePath);
    const std::string digest = hash.finish();
    WriteWholeFile(os::JoinPath(os::ParentPath(archivePath), L"SHA256SUMS.txt"), ChecksumLine(digest));
}

}  // namespace tesmora
