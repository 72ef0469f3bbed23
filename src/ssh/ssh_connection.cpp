#include "ssh/ssh_connection.h"

#include "os/text.h"
#include "os/error.h"

#include <libssh2.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace tesmora {
namespace {

// ECDSA first keeps the pins people already have; a server that keeps only
// an ed25519 key is reached through it.
constexpr char kHostKeyPreference[] = "ecdsa-sha2-nistp256,rsa-sha2-512,rsa-sha2-256,ssh-ed25519";

// The list without one method.
std::string WithoutMethod(const std::string& list, std::string_view method) {
    std::string rest;
    for (std::size_t at = 0; at <= list.size();) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        const std::string_view name = std::string_view(list).substr(at, comma - at);
        if (name != method && !name.empty()) rest.append(rest.empty() ? "" : ",").append(name);
        at = comma + 1;
    }
    return rest;
}

bool Cancelled(const CancelToken* cancel) { return cancel != nullptr && cancel->cancelled(); }

bool AskedToWait(_LIBSSH2_SESSION*, int result) { return result == LIBSSH2_ERROR_EAGAIN; }
bool AskedToWait(_LIBSSH2_SESSION* session, const char* result) {
    return result == nullptr && libssh2_session_last_errno(session) == LIBSSH2_ERROR_EAGAIN;
}

// How the login's calls wait: the session is non-blocking and each call is
// repeated as the socket allows, for at most the session's time-out. A
// cancel shows within a tenth of a second even where shutting the socket
// down does not wake a blocked wait, as under Wine.
struct Patience {
    _LIBSSH2_SESSION* session;
    os::SocketHandle socket;
    const CancelToken* cancel;
    std::chrono::milliseconds limit;

    // The call's result, or the last one that asked to wait once the time is up.
    template <typename Call>
    auto operator()(Call call) const {
        const std::uint64_t deadline =
            os::MonotonicNanoseconds() + static_cast<std::uint64_t>(limit.count()) * 1000000ULL;
        for (;;) {
            const auto result = call();
            if (!AskedToWait(session, result)) return result;
            if (Cancelled(cancel)) throw CancelledError();
            if (os::MonotonicNanoseconds() > deadline) return result;
            const bool outbound = (libssh2_session_block_directions(session) & LIBSSH2_SESSION_BLOCK_OUTBOUND) != 0;
            os::WaitForSocket(socket, outbound, std::chrono::milliseconds(100));
        }
    }
};

os::SocketHandle ConnectFirstAddress(const SshEndpoint& endpoint, const ConnectTimeouts& timeouts,
                                     const CancelToken* cancel) {
    const std::atomic<bool>* flag = cancel != nullptr ? cancel->flag() : nullptr;
    const auto addresses = os::ResolveHost(ToUtf8(endpoint.host), std::to_string(endpoint.port), timeouts.lookup, flag);
    if (Cancelled(cancel)) throw CancelledError();
    if (!addresses) throw Error(ErrorCode::HostLookupFailed);
    for (const auto& address : *addresses) {
        const os::SocketHandle socket =
            os::ConnectTcp(address, timeouts.connect, flag, cancel != nullptr ? &cancel->socketSlot() : nullptr);
        if (Cancelled(cancel)) {
            if (socket != os::kInvalidSocket) os::CloseSocket(socket);
            throw CancelledError();
        }
        if (socket != os::kInvalidSocket) return socket;
    }
    throw Error(ErrorCode::ConnectionFailed);
}

// How a handshake that failed ended. A server that closes the connection
// before it said "SSH-" never began SSH: sshd past its MaxStartups writes one
// line and closes, a firewall just closes. libssh2 takes any first line for
// the server's banner.
Error HandshakeFailure(_LIBSSH2_SESSION* session, int result) {
    const char* banner = libssh2_session_banner_get(session);
    const bool closed = result == LIBSSH2_ERROR_SOCKET_DISCONNECT || result == LIBSSH2_ERROR_SOCKET_RECV ||
                        result == LIBSSH2_ERROR_BANNER_RECV || result == LIBSSH2_ERROR_KEX_FAILURE ||
                        result == LIBSSH2_ERROR_KEY_EXCHANGE_FAILURE;
    if (closed && (banner == nullptr || std::string_view(banner).substr(0, 4) != "SSH-")) {
        std::string heard;
        if (banner != nullptr && *banner != '\0') {
            std::string said;
            for (const char* c = banner; *c != '\0' && said.size() < 100; ++c) {
                said += static_cast<unsigned char>(*c) >= 0x20 && *c != 0x7F ? *c : '?';
            }
            heard = ". It said: \"" + said + "\"";
        }
        return Error(ErrorCode::ClosedBeforeSsh, heard);
    }
    return Error(ErrorCode::HandshakeFailed);
}

bool Offers(const std::string& methods, std::string_view method) {
    for (std::size_t at = 0; at <= methods.size();) {
        const std::size_t comma = std::min(methods.find(',', at), methods.size());
        if (std::string_view(methods).substr(at, comma - at) == method) return true;
        at = comma + 1;
    }
    return false;
}

// What the keyboard-interactive answer needs: the password for the one
// prompt that hides what is typed, and whether the server asked anything else.
struct PromptAnswer {
    const std::string* secret = nullptr;
    bool answered = false;
    bool unexpected = false;
};

void AnswerPrompts(const char*, int, const char*, int, int count, const LIBSSH2_USERAUTH_KBDINT_PROMPT* prompts,
                   LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses, void** abstract) {
    auto* answer = static_cast<PromptAnswer*>(*abstract);
    if (count == 0) return;  // a message without a question
    if (count != 1 || prompts[0].echo != 0 || answer->answered) {
        answer->unexpected = true;  // every response stays empty
        return;
    }
    // libssh2 frees the response with the session's allocator, the C one.
    auto* text = static_cast<char*>(std::malloc(answer->secret->size() + 1));
    if (text == nullptr) return;
    std::memcpy(text, answer->secret->data(), answer->secret->size());
    responses[0].text = text;
    responses[0].length = static_cast<unsigned>(answer->secret->size());
    answer->answered = true;
}

// Offers the stored key; true when it logged in. A key the server does not
// take is no failure: the password may follow.
bool LogInWithKey(const Patience& patiently, const std::string& user, const SecretKey& key) {
    _LIBSSH2_SESSION* session = patiently.session;
    const std::string publicKey = PublicKeyLine(key);
    std::string pem = PrivateKeyPem(key);
    int result = 0;
    try {
        result = patiently([&] {
            return libssh2_userauth_publickey_frommemory(session, user.data(), user.size(), publicKey.data(),
                                                         publicKey.size(), pem.data(), pem.size(), nullptr);
        });
    } catch (...) {
        os::WipeMemory(pem.data(), pem.size());
        throw;
    }
    os::WipeMemory(pem.data(), pem.size());
    if (result == 0) return true;
    if (result == LIBSSH2_ERROR_AUTHENTICATION_FAILED || result == LIBSSH2_ERROR_PUBLICKEY_UNVERIFIED) return false;
    char* message = nullptr;
    libssh2_session_last_error(session, &message, nullptr, 0);
    throw Error(ErrorCode::KeyLoginFailed, message ? message : "");
}

void LogInWithPassword(const Patience& patiently, const std::string& user, const std::string& methods,
                       const std::string& secret) {
    _LIBSSH2_SESSION* session = patiently.session;
    if (Offers(methods, "password")) {
        const int result = patiently([&] {
            return libssh2_userauth_password_ex(session, user.c_str(), static_cast<unsigned>(user.size()),
                                                secret.c_str(), static_cast<unsigned>(secret.size()), nullptr);
        });
        if (result != 0) throw Error(ErrorCode::PasswordRefused);
        return;
    }
    PromptAnswer answer{&secret};
    void** abstract = libssh2_session_abstract(session);
    *abstract = &answer;
    int result = 0;
    try {
        result = patiently([&] {
            return libssh2_userauth_keyboard_interactive_ex(session, user.c_str(), static_cast<unsigned>(user.size()),
                                                            AnswerPrompts);
        });
    } catch (...) {
        *abstract = nullptr;
        throw;
    }
    *abstract = nullptr;
    if (result == 0) return;
    if (answer.unexpected) {
        throw Error(ErrorCode::KeyboardInteractiveAsksMore);
    }
    throw Error(ErrorCode::PasswordRefused);
}

struct LoginResult {
    LoginMethod method = LoginMethod::None;
    bool keyRefused = false;
};

LoginResult Authenticate(const Patience& patiently, const SshEndpoint& endpoint, const SshLogin& login) {
    _LIBSSH2_SESSION* session = patiently.session;
    // The pin is checked before the server is even asked how to log in, so
    // no key and no password ever goes to a server whose key does not match.
    // An empty pin never matches.
    const std::wstring received = HostKeyFingerprint(session);
    if (endpoint.fingerprint.empty() || endpoint.fingerprint != received) {
        throw Error(ErrorCode::HostKeyMismatch, ToUtf8(endpoint.fingerprint) + "; received " + ToUtf8(received));
    }
    const std::string user = ToUtf8(endpoint.user);
    const char* list =
        patiently([&] { return libssh2_userauth_list(session, user.c_str(), static_cast<unsigned>(user.size())); });
    if (list == nullptr) {
        if (libssh2_userauth_authenticated(session)) return {};
        throw Error(ErrorCode::HandshakeFailed);
    }
    const std::string methods = list;
    LoginResult result;
    if (login.key && Offers(methods, "publickey")) {
        if (const std::optional<SecretKey> key = login.key()) {
            if (LogInWithKey(patiently, user, *key)) return {LoginMethod::Key, false};
            result.keyRefused = true;
        }
    }
    const bool password = Offers(methods, "password");
    if (!password && !Offers(methods, "keyboard-interactive")) {
        if (result.keyRefused) throw Error(ErrorCode::KeyRefused);
        throw Error(ErrorCode::NoUsableLogin, methods);
    }
    if (!login.password) throw Error(ErrorCode::PasswordRefused);
    std::wstring typed;
    try {
        typed = login.password();
    } catch (const Error& e) {
        // A refused key with no password to fall back on is the key's failure.
        if (result.keyRefused && e.code() == ErrorCode::NoStoredPassword) {
            throw Error(ErrorCode::KeyRefused);
        }
        throw;
    }
    std::string secret = ToUtf8(typed);
    os::WipeMemory(typed.data(), typed.size() * sizeof(wchar_t));
    try {
        LogInWithPassword(patiently, user, methods, secret);
    } catch (...) {
        os::WipeMemory(secret.data(), secret.size());
        throw;
    }
    os::WipeMemory(secret.data(), secret.size());
    result.method = password ? LoginMethod::Password : LoginMethod::KeyboardInteractive;
    return result;
}

}  // namespace

std::string CipherPreference(bool aesInstructions) {
    constexpr char kAesGcm[] = "aes128-gcm@openssh.com,aes256-gcm@openssh.com";
    constexpr char kChaCha[] = "chacha20-poly1305@openssh.com";
    constexpr char kOlder[] = "aes128-ctr,aes192-ctr,aes256-ctr,aes256-cbc,aes192-cbc,aes128-cbc";
    return aesInstructions ? std::string(kAesGcm) + "," + kChaCha + "," + kOlder
                           : std::string(kChaCha) + "," + kAesGcm + "," + kOlder;
}

std::wstring HostKeyFingerprint(_LIBSSH2_SESSION* session) {
    const char* hash = libssh2_hostkey_hash(session, LIBSSH2_HOSTKEY_HASH_SHA256);
    if (hash == nullptr) throw Error(ErrorCode::HostKeyUnavailable);
    std::string text = Base64(std::string_view(hash, 32));
    while (!text.empty() && text.back() == '=') text.pop_back();
    return L"SHA256:" + FromUtf8(text);
}

SshConnection::SshConnection(SshConnection&& other) noexcept
    : socket_(std::exchange(other.socket_, os::kInvalidSocket)),
      session_(std::exchange(other.session_, nullptr)),
      cancel_(std::exchange(other.cancel_, nullptr)),
      loginMethod_(other.loginMethod_),
      keyRefused_(other.keyRefused_) {}

SshConnection& SshConnection::operator=(SshConnection&& other) noexcept {
    if (this != &other) {
        close();
        socket_ = std::exchange(other.socket_, os::kInvalidSocket);
        session_ = std::exchange(other.session_, nullptr);
        cancel_ = std::exchange(other.cancel_, nullptr);
        loginMethod_ = other.loginMethod_;
        keyRefused_ = other.keyRefused_;
    }
    return *this;
}

SshConnection::~SshConnection() { close(); }

SshConnection SshConnection::connect(const SshEndpoint& endpoint, const SshLogin* login,
                                     const ConnectTimeouts& timeouts, const CancelToken* cancel) {
    std::string hostKeys = kHostKeyPreference;
    SshConnection connection;
    for (int attempt = 0;; ++attempt) {
        connection.close();
        connection.socket_ = ConnectFirstAddress(endpoint, timeouts, cancel);
        connection.cancel_ = cancel;
        if (cancel != nullptr) cancel->socketSlot().exchange(connection.socket_);
        connection.session_ = libssh2_session_init_ex(nullptr, nullptr, nullptr, nullptr);
        if (connection.session_ == nullptr) throw Error(ErrorCode::SshAllocationFailed);
        libssh2_session_set_timeout(connection.session_, static_cast<long>(timeouts.session.count()));
        libssh2_session_method_pref(connection.session_, LIBSSH2_METHOD_HOSTKEY, hostKeys.c_str());
        const std::string ciphers = CipherPreference(os::CpuHasAesInstructions());
        libssh2_session_method_pref(connection.session_, LIBSSH2_METHOD_CRYPT_CS, ciphers.c_str());
        libssh2_session_method_pref(connection.session_, LIBSSH2_METHOD_CRYPT_SC, ciphers.c_str());
        libssh2_session_set_blocking(connection.session_, 0);
        // A cancel also shuts the socket down under the handshake; its
        // failure is then the cancel's, not the server's.
        const Patience patiently{connection.session_, connection.socket_, cancel, timeouts.session};
        const libssh2_socket_t socket = static_cast<libssh2_socket_t>(connection.socket_);
        const int handshake = patiently([&] { return libssh2_session_handshake(connection.session_, socket); });
        if (handshake == 0) break;
        if (Cancelled(cancel)) throw CancelledError();
        // Some servers offer a host-key algorithm they cannot use (Dropbear
        // names RSA without an RSA key, and aborts when it is chosen): once
        // more without the one that was chosen reaches the next they offer.
        const char* chosen = libssh2_session_methods(connection.session_, LIBSSH2_METHOD_HOSTKEY);
        if (attempt == 0 && chosen != nullptr && handshake != LIBSSH2_ERROR_EAGAIN) {
            hostKeys = WithoutMethod(hostKeys, chosen);
            if (!hostKeys.empty()) continue;
        }
        throw HandshakeFailure(connection.session_, handshake);
    }
    const Patience patiently{connection.session_, connection.socket_, cancel, timeouts.session};
    try {
        if (login != nullptr) {
            const LoginResult result = Authenticate(patiently, endpoint, *login);
            connection.loginMethod_ = result.method;
            connection.keyRefused_ = result.keyRefused;
        }
    } catch (const Error&) {
        if (Cancelled(cancel)) throw CancelledError();
        throw;
    }
    if (Cancelled(cancel)) throw CancelledError();
    libssh2_session_set_blocking(connection.session_, 1);
    return connection;
}

void SshConnection::publishIn(const CancelToken* cancel) {
    if (cancel_ != nullptr) cancel_->socketSlot().exchange(os::kInvalidSocket);
    cancel_ = cancel;
    if (cancel_ != nullptr) cancel_->socketSlot().exchange(socket_);
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
