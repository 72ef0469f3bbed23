// One program run on the server over an SSH exec channel. Whatever way the
// run ends, the session goes back to blocking mode and the channel is closed
// and freed.
#pragma once

#include <string>

struct _LIBSSH2_SESSION;
struct _LIBSSH2_CHANNEL;

namespace tesmora {

class ExecChannel {
public:
    explicit ExecChannel(_LIBSSH2_SESSION* session) : session_(session) {}
    ~ExecChannel();
    ExecChannel(const ExecChannel&) = delete;
    ExecChannel& operator=(const ExecChannel&) = delete;

    // Opens the channel and starts `command`; raises "SSH channel could not
    // open" or "Remote Python launch failed".
    void open(const std::string& command);
    // Tells the program its standard input has ended.
    void sendEof();
    _LIBSSH2_CHANNEL* get() const { return channel_; }

    // Closes in blocking mode and waits for the server's side of the close.
    bool closeAndWait();

    // The name of the signal that ended the remote program, or empty.
    std::string exitSignal() const;

private:
    _LIBSSH2_SESSION* session_;
    _LIBSSH2_CHANNEL* channel_ = nullptr;
    bool closed_ = false;
};

}  // namespace tesmora
