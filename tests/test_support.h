// Helpers shared by the unit tests of both builds.
#pragma once

#include "config/backup_log.h"
#include "config/settings.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tesmora::testing {

// A fresh, empty folder removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const;

private:
    std::wstring path_;
};

std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool Exists(const std::wstring& path);

// A loopback OpenSSH server that the test runner started for the tests, named
// by its host-key kind ("ECDSA", "RSA", "ED25519"); empty when none was
// started (the tests that need one then skip).
struct TestSshServer {
    std::wstring host;
    int port = 0;
    std::wstring user;
    std::wstring password;
    std::wstring fingerprint;
    std::wstring log;   // the server's log file
    std::wstring site;  // a small website tree on the server
};
std::optional<TestSshServer> FindTestSshServer(const std::string& kind);

// Settings that reach `server` as its test user, under a fresh id with the
// password stored, and the server's site as the one source.
BackupSettings SettingsWithPassword(const TestSshServer& server);

// The test accounts of other kinds the runner set up: "label:user,..." of
// TESMORA_TEST_SHELL_USERS as pairs, and each account's site on the server.
std::vector<std::pair<std::string, std::string>> TestShellUsers();
std::wstring TestAccountSite(const std::string& user);

// The settings of SettingsWithPassword for another account of the server.
BackupSettings SettingsForAccount(const TestSshServer& server, const std::string& user);

// A backup.log line as read back: written at `time` with `message`.
LogLine Logged(std::uint64_t time, const std::wstring& message);

// A text from the test runner's environment, or empty.
std::string TestSetting(const char* name);

// The path of the running test program, for tests that start it again as a
// helper process (see test_main.cpp).
std::wstring TestProgramPath();

}  // namespace tesmora::testing
