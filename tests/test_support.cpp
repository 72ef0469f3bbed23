#include "test_support.h"

#include "config/credentials.h"
#include "os/os.h"
#include "os/text.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace tesmora::testing {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        const auto name = "tesmora-test-" + std::to_string(random()) + "-" + std::to_string(counter++);
        std::error_code ec;
        if (std::filesystem::create_directory(base / name, ec)) {
            path_ = os::FromFsPath(base / name);
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests make files read-only; give write access back so removal works on Windows.
    for (auto it = std::filesystem::recursive_directory_iterator(os::FsPath(path_), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(os::FsPath(path_), ec);
}

std::wstring TempDir::file(const std::wstring& name) const { return os::JoinPath(path_, name); }

std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(os::FsPath(path), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(os::FsPath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::wstring& path) {
    std::error_code ec;
    return std::filesystem::exists(os::FsPath(path), ec);
}

std::string TestSetting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::optional<TestSshServer> FindTestSshServer(const std::string& kind) {
    const std::string port = TestSetting(("TESMORA_TEST_SSH_" + kind + "_PORT").c_str());
    if (port.empty()) return std::nullopt;
    TestSshServer server;
    server.host = FromUtf8(TestSetting("TESMORA_TEST_SSH_HOST"));
    server.port = std::atoi(port.c_str());
    server.user = FromUtf8(TestSetting("TESMORA_TEST_SSH_USER"));
    server.password = FromUtf8(TestSetting("TESMORA_TEST_SSH_PASSWORD"));
    server.fingerprint = FromUtf8(TestSetting(("TESMORA_TEST_SSH_" + kind + "_FINGERPRINT").c_str()));
    server.log = FromUtf8(TestSetting(("TESMORA_TEST_SSH_" + kind + "_LOG").c_str()));
    server.site = FromUtf8(TestSetting("TESMORA_TEST_SSH_SITE"));
    return server;
}

LogLine Logged(std::uint64_t time, const std::wstring& message) {
    LogLine line = ParseLogMessage(message);
    line.time = time;
    return line;
}

BackupSettings SettingsWithPassword(const TestSshServer& server) {
    std::random_device random;
    BackupSettings settings;
    settings.id = L"TEST-" + std::to_wstring(random()) + L"-" + std::to_wstring(random());
    settings.host = server.host;
    settings.port = server.port;
    settings.user = server.user;
    settings.fingerprint = server.fingerprint;
    settings.paths = {server.site};
    std::wstring password = server.password;
    StorePassword(settings, password);
    return settings;
}

namespace {

// "a:b,c:d" as pairs.
std::vector<std::pair<std::string, std::string>> Pairs(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        const std::size_t colon = item.find(':');
        if (colon != std::string::npos) pairs.emplace_back(item.substr(0, colon), item.substr(colon + 1));
        at = comma + 1;
    }
    return pairs;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> TestShellUsers() {
    return Pairs(TestSetting("TESMORA_TEST_SHELL_USERS"));
}

std::wstring TestAccountSite(const std::string& user) {
    for (const auto& [name, site] : Pairs(TestSetting("TESMORA_TEST_ACCOUNT_SITES"))) {
        if (name == user) return FromUtf8(site);
    }
    return {};
}

BackupSettings SettingsForAccount(const TestSshServer& server, const std::string& user) {
    BackupSettings settings = SettingsWithPassword(server);
    settings.user = FromUtf8(user);
    settings.paths = {TestAccountSite(user)};
    std::wstring password = server.password;
    StorePassword(settings, password);
    return settings;
}

std::wstring TestProgramPath() { return os::ExecutablePath(); }

}  // namespace tesmora::testing
