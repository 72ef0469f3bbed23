// The probe and a whole transfer on the accounts people have, as the test
// runner sets them up: every common login shell, and the accounts on which a
// backup cannot run. (Dropbear and a server past its connection limit meet
// the real program in tests/e2e/test_server_kinds.py.) Skipped where the
// runner did not set them up.
#include "job/server_program.h"

#include "job/stored_login.h"
#include "os/error.h"
#include "os/text.h"
#include "remote/archive_stream.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace tesmora {
namespace {

using testing::FindTestSshServer;
using testing::TestSetting;

// What the probe says there: "" when it passed, else the kind and message.
std::pair<ErrorKind, std::string> Probe(const BackupSettings& settings) {
    try {
        const SshLogin login = StoredLogin(settings);
        SshConnection connection = SshConnection::connect(EndpointOf(settings), &login);
        const ProbeResult probe = ProbeServer(connection, settings);
        EXPECT_EQ(probe.python.rfind("3.", 0), 0u) << probe.python;
        return {ErrorKind::Internal, ""};
    } catch (const Error& e) {
        return {e.kind(), e.what()};
    }
}

// A whole transfer of the account's site: its failure, or "".
std::string Transfer(const BackupSettings& settings) {
    testing::TempDir dir;
    try {
        const SshLogin login = StoredLogin(settings);
        SshConnection connection = SshConnection::connect(EndpointOf(settings), &login);
        const TransferResult result = RemoteArchiveStream::run(
            connection, LaunchBackupProgram(EmbeddedBackupScript(), RequestFor(settings)), dir.file(L"site.tar.gz"),
            {});
        EXPECT_GT(result.summary.files, 3u);
        return "";
    } catch (const Error& e) {
        return e.what();
    }
}

TEST(ServerProgram, EveryLoginShellRunsTheBackup) {
    const auto server = FindTestSshServer("ECDSA");
    const auto users = testing::TestShellUsers();
    if (!server || users.empty()) GTEST_SKIP() << "no shell accounts for this run";
    for (const auto& [shell, user] : users) {
        SCOPED_TRACE(shell);
        const BackupSettings settings = testing::SettingsForAccount(*server, user);
        EXPECT_EQ(Probe(settings).second, "");
        EXPECT_EQ(Transfer(settings), "");
    }
}

TEST(ServerProgram, AccountsThatCannotRunABackupSayWhy) {
    const auto server = FindTestSshServer("ECDSA");
    if (!server || TestSetting("TESMORA_TEST_SFTP_ONLY_USER").empty()) GTEST_SKIP() << "no such accounts for this run";
    const struct {
        const char* account;
        ErrorKind kind;
        std::string start;
    } cases[] = {
        {"TESMORA_TEST_SFTP_ONLY_USER", ErrorKind::NoCommands,
         "This account may not run commands (it is SFTP-only or has no shell); the server answered \"This service "
         "allows sftp connections only.\""},
        {"TESMORA_TEST_SFTP_CHROOT_USER", ErrorKind::NoCommands, "This account may not run commands"},
        {"TESMORA_TEST_NOLOGIN_USER", ErrorKind::NoCommands,
         "This account may not run commands (it is SFTP-only or has no shell); the server answered \"This account "
         "is currently not available.\""},
        {"TESMORA_TEST_NO_PYTHON_USER", ErrorKind::PythonMissing,
         "The server has no python3 on the login shell's PATH: \"bash: line 1: python3: command not found\""},
        {"TESMORA_TEST_GREETING_USER", ErrorKind::LoginScriptOutput,
         "A login script on the server printed text before the program's answer: \"" +
             TestSetting("TESMORA_TEST_GREETING") + "\"; make it print only in interactive shells"},
    };
    for (const auto& c : cases) {
        const std::string user = TestSetting(c.account);
        if (user.empty()) continue;
        SCOPED_TRACE(user);
        const auto [kind, message] = Probe(testing::SettingsForAccount(*server, user));
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(message.substr(0, c.start.size()), c.start);
        // A backup meets the same cause, in its own words for the greeting.
        const std::string transfer = Transfer(testing::SettingsForAccount(*server, user));
        EXPECT_EQ(transfer.substr(0, 30), c.start.substr(0, 30));
    }
}

}  // namespace
}  // namespace tesmora
