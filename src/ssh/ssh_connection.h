// The only way the program reaches the server: a bounded TCP connect, an SSH
// handshake, the host key compared with the pinned fingerprint before any
// secret is read, then the login: a client key first, the password after it
// (through "password" or, where the server takes it only so,
// "keyboard-interactive"). Torn down in one fixed order.
#pragma once

#include "os/cancel.h"
#include "os/os.h"
#include "ssh/ssh_keys.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct _LIBSSH2_SESSION;

namespace tesmora {

// Where to connect and whom to expect there.
struct SshEndpoint {
    std::wstring host;
    std::int32_t port = 22;
    std::wstring user;
    std::wstring fingerprint;  // the pinned host key, "SHA256:" + base64
};

// How to log in. The secrets are asked for only after the host key matched
// the pin, and each only when the server offers its method. `key` gives an
// empty optional when no key is stored; `password` raises when there is none.
struct SshLogin {
    std::function<std::optional<SecretKey>()> key;
    std::function<std::wstring()> password;
};

// How the last login went in.
enum class LoginMethod { None, Key, Password, KeyboardInteractive };

// "SHA256:" + base64 of the session's SHA-256 host-key hash, padding removed.
// Raises "Host key SHA256 unavailable".
std::wstring HostKeyFingerprint(_LIBSSH2_SESSION* session);

// The ciphers to offer, best first: AES-GCM where the processor has AES
// instructions (a quarter of ChaCha20-Poly1305's CPU with the libssh2 this
// program is built with), ChaCha20-Poly1305 where it has not; then the older
// modes for servers that offer nothing else.
std::string CipherPreference(bool aesInstructions);

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

    // Without a login the connection stops after the handshake (a host-key
    // fetch); with one it checks the pin and logs in. Every failure raises its
    // message and leaves nothing open. The socket is published in the cancel
    // token while the connection lives, so a cancel raises CancelledError in
    // any phase within a tenth of a second.
    static SshConnection connect(const SshEndpoint& endpoint, const SshLogin* login,
                                 const ConnectTimeouts& timeouts = {}, const CancelToken* cancel = nullptr);

    // Publishes the socket in another token from now on: a connection made
    // under a token of its own goes on under its user's.
    void publishIn(const CancelToken* cancel);

    // Disconnects, frees the session, closes the socket; safe in any state.
    void close();

    _LIBSSH2_SESSION* session() const { return session_; }
    // The method that logged in, and whether the server refused the key
    // before the password got in.
    LoginMethod loginMethod() const { return loginMethod_; }
    bool keyRefused() const { return keyRefused_; }
    os::SocketHandle socket() const { return socket_; }

private:
    os::SocketHandle socket_ = os::kInvalidSocket;
    _LIBSSH2_SESSION* session_ = nullptr;
    const CancelToken* cancel_ = nullptr;  // where the socket is published
    LoginMethod loginMethod_ = LoginMethod::None;
    bool keyRefused_ = false;
};

}  // namespace tesmora
