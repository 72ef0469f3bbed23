// Against the loopback OpenSSH servers the test runner starts (one per host-key
// kind); skipped when none runs.
#include "ssh/ssh_connection.h"

#include "config/credentials.h"
#include "job/backup_job.h"
#include "os/text.h"
#include "os/error.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <thread>
#include <libssh2.h>

#include <random>

namespace tesmora {
namespace {

using testing::FindTestSshServer;
using testing::TestSshServer;

BackupSettings SettingsFor(const TestSshServer& server) {
    std::random_device random;
    BackupSettings s;
    s.id = L"SSH-TEST-" + std::to_wstring(random()) + L"-" + std::to_wstring(random());
    s.host = server.host;
    s.port = server.port;
    s.user = server.user;
    s.fingerprint = server.fingerprint;
    return s;
}

void StoreRightPassword(const BackupSettings& s, const TestSshServer& server) {
    std::wstring password = server.password;
    StorePassword(s, password);
}

// Connects as the program does: with the stored password when `authenticate`.
SshConnection Connect(const BackupSettings& s, bool authenticate, ConnectTimeouts timeouts = {},
                      const CancelToken* cancel = nullptr) {
    const SshLogin login = StoredLogin(s);
    return SshConnection::connect(EndpointOf(s), authenticate ? &login : nullptr, timeouts, cancel);
}

std::string ConnectError(const BackupSettings& s, bool authenticate, ConnectTimeouts timeouts = {},
                         CancelToken* cancel = nullptr) {
    CancelToken own;
    CancelToken& token = cancel != nullptr ? *cancel : own;
    try {
        Connect(s, authenticate, timeouts, &token);
    } catch (const Error& e) {
        EXPECT_EQ(token.socketSlot().load(), os::kInvalidSocket) << "a failed attempt left its socket published";
        return e.what();
    }
    return "connected";
}

// How many password attempts the server has logged so far.
size_t PasswordAttempts(const TestSshServer& server) {
    const std::string log = testing::ReadBytes(server.log);
    size_t count = 0;
    for (const char* marker : {"Accepted password", "Failed password"}) {
        for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) ++count;
    }
    return count;
}

#define REQUIRE_SERVER(name, kind)                                     \
    const auto name = FindTestSshServer(kind);                        \
    if (!name) GTEST_SKIP() << "no loopback SSH server (" kind ") for this run"

TEST(SshConnection, KeyFetchNeedsNeitherPinNorPassword) {
    REQUIRE_SERVER(server, "ECDSA");
    BackupSettings s = SettingsFor(*server);
    s.fingerprint.clear();
    CancelToken cancel;
    SshConnection connection = Connect(s, false, {}, &cancel);
    EXPECT_EQ(HostKeyFingerprint(connection.session()), server->fingerprint);
    EXPECT_EQ(HostKeyFingerprint(connection.session()).size(), 50u);
    EXPECT_STREQ(libssh2_session_methods(connection.session(), LIBSSH2_METHOD_HOSTKEY), "ecdsa-sha2-nistp256");
    EXPECT_EQ(cancel.socketSlot().load(), connection.socket());
    connection.close();
    EXPECT_EQ(cancel.socketSlot().load(), os::kInvalidSocket);
    connection.close();  // a second close is harmless
}

TEST(SshConnection, RightPinAndPasswordAuthenticate) {
    REQUIRE_SERVER(server, "ECDSA");
    const BackupSettings s = SettingsFor(*server);
    StoreRightPassword(s, *server);
    SshConnection connection = Connect(s, true);
    EXPECT_TRUE(libssh2_userauth_authenticated(connection.session()));
}

TEST(SshConnection, RsaOnlyServerIsReachedThroughRsaSha2) {
    REQUIRE_SERVER(server, "RSA");
    const BackupSettings s = SettingsFor(*server);
    StoreRightPassword(s, *server);
    SshConnection connection = Connect(s, true);
    EXPECT_STREQ(libssh2_session_methods(connection.session(), LIBSSH2_METHOD_HOSTKEY), "rsa-sha2-512");
}

TEST(SshConnection, Ed25519OnlyServerFailsTheHandshake) {
    REQUIRE_SERVER(server, "ED25519");
    EXPECT_EQ(ConnectError(SettingsFor(*server), false), "SSH handshake failed");
}

TEST(SshConnection, PinMismatchStopsBeforeAnyPasswordIsRead) {
    REQUIRE_SERVER(server, "ECDSA");
    const size_t attemptsBefore = PasswordAttempts(*server);
    BackupSettings s = SettingsFor(*server);  // no password stored for it
    const std::string received = ToUtf8(server->fingerprint);

    s.fingerprint.clear();
    EXPECT_EQ(ConnectError(s, true), "SSH HOST KEY MISMATCH. Expected ; received " + received);
    s.fingerprint = server->fingerprint + L"=";
    EXPECT_EQ(ConnectError(s, true), "SSH HOST KEY MISMATCH. Expected " + received + "=; received " + received);
    std::wstring otherCase = server->fingerprint;
    for (size_t i = 7; i < otherCase.size(); ++i) {
        if (otherCase[i] >= L'a' && otherCase[i] <= L'z') {
            otherCase[i] = static_cast<wchar_t>(otherCase[i] - 32);
            break;
        }
    }
    s.fingerprint = otherCase;
    EXPECT_EQ(ConnectError(s, true).rfind("SSH HOST KEY MISMATCH. Expected ", 0), 0u);

    // The right pin without a stored password: the store's message, and still
    // nothing sent for authentication.
    s.fingerprint = server->fingerprint;
    EXPECT_EQ(ConnectError(s, true), "Enter and save the VDS password on this Windows account first");
    EXPECT_EQ(PasswordAttempts(*server), attemptsBefore);
}

TEST(SshConnection, WrongPasswordIsRefused) {
    REQUIRE_SERVER(server, "ECDSA");
    const BackupSettings s = SettingsFor(*server);
    std::wstring wrong = L"not-" + server->password;
    StorePassword(s, wrong);
    EXPECT_EQ(ConnectError(s, true), "SSH password authentication failed");
}

TEST(SshConnection, UnreachableAddressesFailWithinTheConnectTimeout) {
    BackupSettings s;
    s.host = L"127.0.0.1";
    const std::string silent = testing::TestSetting("TESMORA_TEST_SILENT_PORT");
    if (!silent.empty()) {
        // A listener whose queue is full: the connection is never answered.
        s.port = std::atoi(silent.c_str());
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(ConnectError(s, true, {std::chrono::milliseconds(5000), std::chrono::milliseconds(300),
                                         std::chrono::milliseconds(30000)}),
                  "SSH connection failed/timeout");
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

        // The window's cancel, a quarter of a second into the wait: the
        // attempt ends within a second, not after its fifteen.
        CancelToken cancel;
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            cancel.cancel();
        });
        const auto cancelled = std::chrono::steady_clock::now();
        EXPECT_EQ(ConnectError(s, true, {}, &cancel), "Cancelled");
        EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(1));
        canceller.join();
    }
    s.port = 1;  // nothing listens there: refused at once
    EXPECT_EQ(ConnectError(s, true), "SSH connection failed/timeout");
    s.host = L"no-such-host.invalid";
    EXPECT_EQ(ConnectError(s, true), "Host lookup failed");
}

}  // namespace
}  // namespace tesmora
