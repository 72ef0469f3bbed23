#include "ssh/ssh_connection.h"

#include "config/credentials.h"
#include "os/text.h"
#include "os/error.h"

#include <libssh2.h>

#include <cstring>
#include <utility>

namespace tesmora {
namespace {

constexpr char kHostKeyPreference[] = "ecdsa-sha2-nistp256,rsa-sha2-512,rsa-sha2-256";

bool Cancelled(const CancelFlag* cancel) { return cancel != nullptr && cancel->load(); }

os::SocketHandle ConnectFirstAddress(const BackupSettings& settings, const ConnectTimeouts& timeouts,
                                     const CancelFlag* cancel) {
    const auto addresses = os::ResolveHost(ToUtf8(settings.host), std::to_string(settings.port), timeouts.lookup, cancel);
    if (Cancelled(cancel)) throw CancelledError();
    if (!addresses) throw Error("Host lookup failed");
    for (const auto& address : *addresses) {
        const os::SocketHandle socket = os::ConnectTcp(address, timeouts.connect, cancel, &ActiveSocketSlot());
        if (Cancelled(cancel)) {
            if (socket != os::kInvalidSocket) os::CloseSocket(socket);
            throw CancelledError();
        }
        if (socket != os::kInvalidSocket) return socket;
    }
    throw Error("SSH connection failed/timeout");
}

void Authenticate(_LIBSSH2_SESSION* session, const BackupSettings& settings) {
    // The pin is checked before the password is even read, so no secret ever
    // goes to a server whose key does not match. An empty pin never matches.
    const std::wstring received = HostKeyFingerprint(session);
    if (settings.fingerprint.empty() || settings.fingerprint != received) {
        throw Error("SSH HOST KEY MISMATCH. Expected " + ToUtf8(settings.fingerprint) + "; received " +
                    ToUtf8(HostKeyFingerprint(session)));
    }
    std::wstring password = ReadStoredPassword(settings);
    std::string secret = ToUtf8(password);
    const std::string user = ToUtf8(settings.user);
    const int result = libssh2_userauth_password_ex(session, user.c_str(), static_cast<unsigned>(std::strlen(user.c_str())),
                                                    secret.c_str(), static_cast<unsigned>(std::strlen(secret.c_str())),
                                                    nullptr);
    WipeString(secret);
    WipeString(password);
    if (result != 0) throw Error("SSH password authentication failed");
}

}  // namespace

std::atomic<os::SocketHandle>& ActiveSocketSlot() {
    static std::atomic<os::SocketHandle> slot{os::kInvalidSocket};
    return slot;
}

void InterruptActiveConnection() {
    const os::SocketHandle socket = ActiveSocketSlot().load();
    if (socket != os::kInvalidSocket) os::ShutdownSocket(socket);
}

std::wstring HostKeyFingerprint(_LIBSSH2_SESSION* session) {
    const char* hash = libssh2_hostkey_hash(session, LIBSSH2_HOSTKEY_HASH_SHA256);
    if (hash == nullptr) throw Error("Host key SHA256 unavailable");
    std::string text = Base64(std::string_view(hash, 32));
    while (!text.empty() && text.back() == '=') text.pop_back();
    return L"SHA256:" + FromUtf8(text);
}

SshConnection::SshConnection(SshConnection&& other) noexcept
    : socket_(std::exchange(other.socket_, os::kInvalidSocket)), session_(std::exchange(other.session_, nullptr)) {}

SshConnection& SshConnection::operator=(SshConnection&& other) noexcept {
    if (this != &other) {
        close();
        socket_ = std::exchange(other.socket_, os::kInvalidSocket);
        session_ = std::exchange(other.session_, nullptr);
    }
    return *this;
}

SshConnection::~SshConnection() { close(); }

SshConnection SshConnection::connect(const BackupSettings& settings, bool authenticate,
                                     const ConnectTimeouts& timeouts, const CancelFlag* cancel) {
    SshConnection connection;
    connection.socket_ = ConnectFirstAddress(settings, timeouts, cancel);
    ActiveSocketSlot().exchange(connection.socket_);
    connection.session_ = libssh2_session_init_ex(nullptr, nullptr, nullptr, nullptr);
    if (connection.session_ == nullptr) throw Error("SSH allocation failed");
    libssh2_session_set_timeout(connection.session_, static_cast<long>(timeouts.session.count()));
    libssh2_session_method_pref(connection.session_, LIBSSH2_METHOD_HOSTKEY, kHostKeyPreference);
    // A cancel shuts the socket down under the blocking calls below; their
    // failure is then the cancel's, not the server's.
    try {
        if (libssh2_session_handshake(connection.session_, static_cast<libssh2_socket_t>(connection.socket_)) != 0) {
            throw Error("SSH handshake failed");
        }
        if (authenticate) Authenticate(connection.session_, settings);
    } catch (const Error&) {
        if (Cancelled(cancel)) throw CancelledError();
        throw;
    }
    if (Cancelled(cancel)) throw CancelledError();
    return connection;
}

void SshConnection::close() {
    if (session_ == nullptr && socket_ == os::kInvalidSocket) return;
    ActiveSocketSlot().exchange(os::kInvalidSocket);
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
