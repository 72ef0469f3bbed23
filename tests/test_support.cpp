#include "test_support.h"

#include "os/text.h"
#include "os/os.h"

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

std::wstring TestProgramPath() { return os::ExecutablePath(); }

}  // namespace tesmora::testing
