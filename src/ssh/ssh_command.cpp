#include "ssh/ssh_command.h"

#include "os/error.h"

#include <libssh2.h>

#include <memory>

namespace tesmora {
namespace {

constexpr std::size_t kOutputLimit = 65536;

struct ChannelFree {
    void operator()(LIBSSH2_CHANNEL* channel) const { libssh2_channel_free(channel); }
};

void ReadStream(LIBSSH2_CHANNEL* channel, int stream, std::string& output) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = libssh2_channel_read_ex(channel, stream, buffer, sizeof(buffer));
        if (got == 0) return;
        if (got < 0) throw Error(ErrorCode::TransferBroken, "SSH command output could not be read");
        if (output.size() < kOutputLimit) output.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

CommandResult RunShortCommand(SshConnection& connection, const std::string& command) {
    std::unique_ptr<LIBSSH2_CHANNEL, ChannelFree> channel(libssh2_channel_open_session(connection.session()));
    if (!channel) throw Error(ErrorCode::ChannelRefused, "SSH channel could not open");
    if (libssh2_channel_exec(channel.get(), command.c_str()) != 0) {
        throw Error(ErrorCode::ChannelRefused, "SSH channel could not open");
    }
    CommandResult result;
    ReadStream(channel.get(), 0, result.output);
    ReadStream(channel.get(), SSH_EXTENDED_DATA_STDERR, result.output);
    libssh2_channel_close(channel.get());
    libssh2_channel_wait_closed(channel.get());
    result.exitStatus = libssh2_channel_get_exit_status(channel.get());
    return result;
}

}  // namespace tesmora
