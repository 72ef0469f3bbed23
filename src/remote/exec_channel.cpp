#include "remote/exec_channel.h"

#include "os/error.h"

#include <libssh2.h>

namespace tesmora {

ExecChannel::~ExecChannel() {
    libssh2_session_set_blocking(session_, 1);
    if (channel_ == nullptr) return;
    if (!closed_) libssh2_channel_close(channel_);
    libssh2_channel_free(channel_);
}

void ExecChannel::open(const std::string& command) {
    channel_ = libssh2_channel_open_ex(session_, "session", 7, LIBSSH2_CHANNEL_WINDOW_DEFAULT,
                                       LIBSSH2_CHANNEL_PACKET_DEFAULT, nullptr, 0);
    if (channel_ == nullptr) throw Error(ErrorCode::ChannelRefused);
    if (libssh2_channel_process_startup(channel_, "exec", 4, command.c_str(),
                                        static_cast<unsigned>(command.size())) != 0) {
        throw Error(ErrorCode::RemotePythonLaunchFailed);
    }
}

void ExecChannel::sendEof() { libssh2_channel_send_eof(channel_); }

bool ExecChannel::closeAndWait() {
    libssh2_session_set_blocking(session_, 1);
    closed_ = true;
    return libssh2_channel_close(channel_) == 0 && libssh2_channel_wait_closed(channel_) == 0;
}

std::string ExecChannel::exitSignal() const {
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

}  // namespace tesmora
