#include "ssh/ssh_connection.h"

#include "os/text.h"
#include "os/error.h"

#include <libssh2.h>

#include <cstring>
#include <utility>

namespace tesmora {
namespace {

constexpr char kHostKeyPreference[] = "ecdsa-sha2-nistp256,rsa-sha2-512,rsa-sha2-256";

bool Cancelled(const CancelToken* cancel) { return cancel != nullptr && cancel->cancelled(); }

os::SocketHandle ConnectFirstAddress(const SshEndpoint& endpoint, const ConnectTimeouts& timeouts,
                                     const CancelToken* cancel) {
    const std::atomic<bool>* flag = cancel != nullptr ? cancel->flag() : nullptr;
    const auto addresses = os::ResolveHost(ToUtf8(endpoint.host), std::to_string(endpoint.port), timeouts.lookup, flag);
    if (Cancelled(cancel)) throw CancelledError();
    if (!addresses) throw Error(ErrorCode::HostLookup, "Host lookup failed");
    for (const auto& address : *addresses) {
        const os::SocketHandle socket =
            os::ConnectTcp(address, timeouts.connect, flag, cancel != nullptr ? &cancel->socketSlot() : nullptr);
        if (Cancelled(cancel)) {
            if (socket != os::kInvalidSocket) os::CloseSocket(socket);
            throw CancelledError();
        }
        if (socket != os::kInvalidSocket) return socket;
    }
    throw Error(ErrorCode::ConnectionFailed, "SSH connection failed/timeout");
}

void Authenticate(_LIBSSH2_SESSION* session, const SshEndpoint& endpoint, const SshLogin& login) {
    // The pin is checked before the password is even read, so no secret ever
    // goes to a server whose key does not match. An empty pin never matches.
    const std::wstring received = HostKeyFingerprint(session);
    if (endpoint.fingerprint.empty() || endpoint.fingerprint != received) {
        throw Error(ErrorCode::HostKeyMismatch,
                    "SSH HOST KEY MISMATCH. Expected " + ToUtf8(endpoint.fingerprint) + "; received " +
                    ToUtf8(received));
    }
    if (!login.password) throw Error(ErrorCode::PasswordRefused, "SSH password authentication failed");
    std::wstring password = login.password();
    std::string secret = ToUtf8(password);
    const std::string user = ToUtf8(endpoint.user);
    const int result = libssh2_userauth_password_ex(session, user.c_str(), static_cast<unsigned>(std::strlen(user.c_str())),
                                                    secret.c_str(), static_cast<unsigned>(std::strlen(secret.c_str())),
                                                    nullptr);
    os::WipeMemory(secret.data(), secret.size());
    os::WipeMemory(password.data(), password.size() * sizeof(wchar_t));
    if (result != 0) throw Error(ErrorCode::PasswordRefused, "SSH password authentication failed");
}

}  // namespace

std::wstring HostKeyFingerprint(_LIBSSH2_SESSION* session) {
    const char* hash = libssh2_hostkey_hash(session, LIBSSH2_HOSTKEY_HASH_SHA256);
    if (hash == nullptr) throw Error(ErrorCode::Handshake, "Host key SHA256 unavailable");
    std::string text = Base64(std::string_view(hash, 32));
    while (!text.empty() && text.back() == '=') text.pop_back();
    return L"SHA256:" + FromUtf8(text);
}

SshConnection::SshConnection(SshConnection&& other) noexcept
    : socket_(std::exchange(other.socket_, os::kInvalidSocket)),
      session_(std::exchange(other.session_, nullptr)),
      cancel_(std::exchange(other.cancel_, nullptr)) {}

SshConnection& SshConnection::operator=(SshConnection&& other) noexcept {
    if (this != &other) {
        close();
        socket_ = std::exchange(other.socket_, os::kInvalidSocket);
        session_ = std::exchange(other.session_, nullptr);
        cancel_ = std::exchange(other.cancel_, nullptr);
    }
    return *this;
}

SshConnection::~SshConnection() { close(); }

SshConnection SshConnection::connect(const SshEndpoint& endpoint, const SshLogin* login,
                                     const ConnectTimeouts& timeouts, const CancelToken* cancel) {
    SshConnection connection;
    connection.socket_ = ConnectFirstAddress(endpoint, timeouts, cancel);
    connection.cancel_ = cancel;
    if (cancel != nullptr) cancel->socketSlot().exchange(connection.socket_);
    connection.session_ = libssh2_session_init_ex(nullptr, nullptr, nullptr, nullptr);
    if (connection.session_ == nullptr) throw Error("SSH allocation failed");
    libssh2_session_set_timeout(connection.session_, static_cast<long>(timeouts.session.count()));
    libssh2_session_method_pref(connection.session_, LIBSSH2_METHOD_HOSTKEY, kHostKeyPreference);
    // A cancel shuts the socket down under the blocking calls below; their
    // failure is then the cancel's, not the server's.
    try {
        if (libssh2_session_handshake(connection.session_, static_cast<libssh2_socket_t>(connection.socket_)) != 0) {
            throw Error(ErrorCode::Handshake, "SSH handshake failed");
        }
        if (login != nullptr) Authenticate(connection.session_, endpoint, *login);
    } catch (const Error&) {
        if (Cancelled(cancel)) throw CancelledError();
        throw;
    }
    if (Cancelled(cancel)) throw CancelledError();
    return connection;
}

void SshConnection::close() {
    if (session_ == nullptr && socket_ == os::kInvalidSocket) return;
    if (cancel_ != nullptr) cancel_->socketSlot().exchange(os::kInvalidSocket);
    if (session_ != nullptr) {
        libssh2_session_disconnect_ex(session_, SSH_DISCONNECT_BY_APPLICATION, "Backup finished", "");
        libssh2_session_free(session_);
        session_ = nullptr;
    }
    if (socket_ != os::kInvalidSocket) {
        os::CloseSocket(socket_);
        socket_ = os::kInvalidSocket;
    }
}

}  // namespace tesmora
