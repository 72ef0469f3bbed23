// Against the loopback OpenSSH servers the test runner starts (one per host-key
// kind); skipped when none runs.
#include "ssh/ssh_connection.h"

#include "config/credentials.h"
#include "job/ssh_key_setup.h"
#include "job/stored_login.h"
#include "os/os.h"
#include "remote/channel_pump.h"
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

// How many logins with a key or a password the server has logged so far,
// once its log stopped growing: sshd writes a login's lines after it answered.
size_t LoginAttempts(const TestSshServer& server) {
    std::string log = testing::ReadBytes(server.log);
    for (std::string before; before != log;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        before = std::exchange(log, testing::ReadBytes(server.log));
    }
    size_t count = 0;
    for (const char* marker : {" publickey ", " password ", " keyboard-interactive"}) {
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

TEST(SshConnection, ServersWithOnlyAnRsaOrEd25519HostKeyAreReached) {
    for (const auto& [kind, method] : {std::pair{"RSA", "rsa-sha2-512"}, std::pair{"ED25519", "ssh-ed25519"}}) {
        const auto server = FindTestSshServer(kind);
        if (!server) continue;
        const BackupSettings s = SettingsFor(*server);
        StoreRightPassword(s, *server);
        SshConnection connection = Connect(s, true);
        EXPECT_STREQ(libssh2_session_methods(connection.session(), LIBSSH2_METHOD_HOSTKEY), method);
        EXPECT_EQ(connection.loginMethod(), LoginMethod::Password);
    }
}

TEST(SshConnection, PasswordGoesThroughKeyboardInteractiveWhereThatIsTheOnlyWay) {
    REQUIRE_SERVER(server, "KBDINT");
    const BackupSettings s = SettingsFor(*server);
    std::wstring wrong = L"not-" + server->password;
    StorePassword(s, wrong);
    EXPECT_EQ(ConnectError(s, true), "SSH password authentication failed");
    StoreRightPassword(s, *server);
    EXPECT_EQ(Connect(s, true).loginMethod(), LoginMethod::KeyboardInteractive);
}

// An imported key file of the runner's (see run_all.py), which the keys-only server accepts.
std::wstring KeyFile(const char* kind) {
    return os::JoinPath(FromUtf8(testing::TestSetting("TESMORA_TEST_KEY_FOLDER")), FromUtf8(std::string("key_") + kind));
}

TEST(SshConnection, ImportedKeysOfEachKindLogInWhereNoPasswordIsAllowed) {
    REQUIRE_SERVER(server, "KEYS");
    const std::string passphrase = testing::TestSetting("TESMORA_TEST_KEY_PASSPHRASE");
    const BackupSettings s = SettingsFor(*server);
    StoreRightPassword(s, *server);  // of no use here
    EXPECT_EQ(ConnectError(s, true), "The server offers no login this program can use: publickey");

    EXPECT_TRUE(KeyFileNeedsPassphrase(KeyFile("ed25519")));
    EXPECT_FALSE(KeyFileNeedsPassphrase(KeyFile("ecdsa")));
    EXPECT_THROW(ImportKeyFile(s, KeyFile("ed25519"), ""), Error);
    try {
        ImportKeyFile(s, KeyFile("rsa"), "not-" + passphrase);
        ADD_FAILURE() << "a wrong passphrase was taken";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Cannot use the key file: wrong passphrase");
    }
    EXPECT_FALSE(ReadStoredKey(s)) << "a failed import stored something";
    for (const char* kind : {"ed25519", "ecdsa", "rsa"}) {
        ImportKeyFile(s, KeyFile(kind), passphrase);
        EXPECT_EQ(Connect(s, true).loginMethod(), LoginMethod::Key) << kind;
    }
}

TEST(SshConnection, ProgramKeyIsInstalledOnceThenLogsInAndARemovedKeyFallsBackToThePassword) {
    REQUIRE_SERVER(server, "KBDINT");
    const BackupSettings s = SettingsFor(*server);
    StoreRightPassword(s, *server);
    const KeyInstallResult first = InstallProgramKey(s);
    EXPECT_TRUE(first.added);
    EXPECT_EQ(first.publicKey.rfind("ssh-ed25519 AAAA", 0), 0u);
    EXPECT_FALSE(InstallProgramKey(s).added) << "the key was added twice";
    SshConnection connection = Connect(s, true);
    EXPECT_EQ(connection.loginMethod(), LoginMethod::Key);
    EXPECT_EQ(LoginLine(connection).message, L"LOGIN key");

    // Removed from the server, as the manual shows: the password takes over and says so.
    const std::string blob = first.publicKey.substr(first.publicKey.find(' ') + 1);
    EXPECT_EQ(RunShortCommand(connection, "sed -i '\\#" + blob + "#d' .ssh/authorized_keys").end.exitStatus, 0);
    SshConnection fallback = Connect(s, true);
    EXPECT_EQ(LoginLine(fallback).message, L"LOGIN keyboard-interactive; key refused");
}

TEST(SshConnection, PinMismatchStopsBeforeAnyKeyOrPasswordIsRead) {
    REQUIRE_SERVER(server, "KBDINT");
    const size_t attemptsBefore = LoginAttempts(*server);
    BackupSettings s = SettingsFor(*server);  // nothing stored for it
    const std::string received = ToUtf8(server->fingerprint);

    s.fingerprint.clear();
    EXPECT_EQ(ConnectError(s, true), "SSH HOST KEY MISMATCH. Expected ; received " + received);
    s.fingerprint = server->fingerprint + L"=";
    // With a key and a password stored under the wrong pin.
    std::string key = GenerateEd25519Key().der();
    StoreKey(s, key);
    StoreRightPassword(s, *server);
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
    EXPECT_EQ(LoginAttempts(*server), attemptsBefore);
}

TEST(SshConnection, WrongPasswordIsRefused) {
    REQUIRE_SERVER(server, "ECDSA");
    const BackupSettings s = SettingsFor(*server);
    std::wstring wrong = L"not-" + server->password;
    StorePassword(s, wrong);
    EXPECT_EQ(ConnectError(s, true), "SSH password authentication failed");
}

// A cancel a quarter of a second into an attempt that would wait: it ends
// as cancelled within a second.
void EndsWithinASecondOfACancel(const BackupSettings& s) {
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

        // The window's cancel: the attempt ends within a second, not after its fifteen.
        EndsWithinASecondOfACancel(s);
    }
    const std::string mute = testing::TestSetting("TESMORA_TEST_MUTE_PORT");
    if (!mute.empty()) {
        // Connected, and the server never greets: the cancel ends the handshake.
        s.port = std::atoi(mute.c_str());
        EndsWithinASecondOfACancel(s);
    }
    s.port = 1;  // nothing listens there: refused at once
    EXPECT_EQ(ConnectError(s, true), "SSH connection failed/timeout");
    s.host = L"no-such-host.invalid";
    EXPECT_EQ(ConnectError(s, true), "Host lookup failed");
}

}  // namespace
}  // namespace tesmora
