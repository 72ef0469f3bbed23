// Helpers shared by the unit tests of both builds.
#pragma once

#include <optional>
#include <string>

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

// A text from the test runner's environment, or empty.
std::string TestSetting(const char* name);

// The path of the running test program, for tests that start it again as a
// helper process (see test_main.cpp).
std::wstring TestProgramPath();

}  // namespace tesmora::testing
