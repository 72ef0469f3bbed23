// Prints the throughput of the archive transfer: the remote side streams the
// file named by TESMORA_BENCH_REMOTE_FILE through python3, and the client
// hashes it and writes it to TESMORA_BENCH_OUTPUT, as a backup would.
// The server and its user come from the TESMORA_TEST_SSH_* variables.
#include "config/credentials.h"
#include "job/stored_login.h"
#include "remote/remote_command.h"
#include "os/text.h"
#include "os/os.h"
#include "remote/archive_stream.h"
#include "ssh/ssh_library.h"

#include <libssh2.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

int main() {
    using namespace tesmora;
    os::NetworkLibrary network;
    ssh::SshLibrary ssh;
    BackupSettings settings;
    settings.id = L"BENCH";
    settings.host = FromUtf8(Setting("TESMORA_TEST_SSH_HOST"));
    settings.port = std::atoi(Setting("TESMORA_TEST_SSH_ECDSA_PORT").c_str());
    settings.user = FromUtf8(Setting("TESMORA_TEST_SSH_USER"));
    settings.fingerprint = FromUtf8(Setting("TESMORA_TEST_SSH_ECDSA_FINGERPRINT"));
    settings.paths = {L"/unused"};
    std::wstring password = FromUtf8(Setting("TESMORA_TEST_SSH_PASSWORD"));
    StorePassword(settings, password);

    const std::string file = Setting("TESMORA_BENCH_REMOTE_FILE");
    const std::string script =
        "import shutil, sys\n"
        "shutil.copyfileobj(open('" + file + "', 'rb'), sys.stdout.buffer, 1 << 20)\n";
    try {
        const SshLogin login = StoredLogin(settings);
        SshConnection connection = SshConnection::connect(EndpointOf(settings), &login);
        const auto started = std::chrono::steady_clock::now();
        std::uint64_t bytes = 0;
        // The stream is raw bytes, not an archive: this figure is the transfer alone.
        ArchiveStreamOptions options;
        options.checkArchive = false;
        RemoteArchiveStream::run(connection, LaunchProgram(script, JsonList(settings.paths)),
                                 FromUtf8(Setting("TESMORA_BENCH_OUTPUT")),
                                 [&](const TransferProgress& progress) { bytes = progress.archiveBytes; }, options);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const char* cipher = libssh2_session_methods(connection.session(), LIBSSH2_METHOD_CRYPT_SC);
        std::printf("bytes=%llu\nseconds=%.3f\nmb_per_s=%.1f\ncipher=%s\n", static_cast<unsigned long long>(bytes),
                    seconds, static_cast<double>(bytes) / 1e6 / seconds, cipher != nullptr ? cipher : "?");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "transfer failed: %s\n", e.what());
        return 1;
    }
}
