// The only way the program reaches the server: a bounded TCP connect, an SSH
// handshake, the host key compared with the pinned fingerprint before any
// secret is read, and password authentication. Torn down in one fixed order.
#pragma once

#include "config/settings.h"
#include "os/os.h"

#include <atomic>
#include <chrono>
#include <string>

struct _LIBSSH2_SESSION;

namespace tesmora {

// Set by the window's cancel command; polled by the transfer loop.
using CancelFlag = std::atomic<bool>;

// The socket of the connection in use, so a cancel can shut it down and break
// a blocked call. One per process: a process holds at most one connection.
std::atomic<os::SocketHandle>& ActiveSocketSlot();

// Shuts down the socket in ActiveSocketSlot, if any (the socket is closed only
// by its owner).
void InterruptActiveConnection();

// "SHA256:" + base64 of the session's SHA-256 host-key hash, padding removed.
// Raises "Host key SHA256 unavailable".
std::wstring HostKeyFingerprint(_LIBSSH2_SESSION* session);

struct ConnectTimeouts {
    std::chrono::milliseconds lookup{15000};    // the name lookup
    std::chrono::milliseconds connect{15000};   // per resolved address
    std::chrono::milliseconds session{30000};   // every blocking libssh2 call
};

class SshConnection {
public:
    SshConnection() = default;
    SshConnection(SshConnection&& other) noexcept;
    SshConnection& operator=(SshConnection&& other) noexcept;
    SshConnection(const SshConnection&) = delete;
    SshConnection& operator=(const SshConnection&) = delete;
    ~SshConnection();

    // With `authenticate` false the connection stops after the handshake (a
    // host-key fetch); with true it checks the pin and logs in with the stored
    // password. Every failure raises its message and leaves nothing open. A
    // cancel (the flag, or the socket shut down through ActiveSocketSlot)
    // raises CancelledError, in any phase, within a tenth of a second.
    static SshConnection connect(const BackupSettings& settings, bool authenticate,
                                 const ConnectTimeouts& timeouts = {}, const CancelFlag* cancel = nullptr);

    // Disconnects, frees the session, closes the socket; safe in any state.
    void close();

    _LIBSSH2_SESSION* session() const { return session_; }
    os::SocketHandle socket() const { return socket_; }

private:
    os::SocketHandle socket_ = os::kInvalidSocket;
    _LIBSSH2_SESSION* session_ = nullptr;
};

}  // namespace tesmora
