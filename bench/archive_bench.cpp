// Times the archive work of the native core and prints name=value lines:
//   tesmora_archive_bench readback FILE           the read-back past the system cache
//   tesmora_archive_bench verify SNAPSHOT ID      a whole verification of a snapshot
//   tesmora_archive_bench restore SNAPSHOT FOLDER a restore into an empty folder
//   tesmora_archive_bench encrypt FILE            age encryption of the file, as it is read
//   tesmora_archive_bench unlock                  opening identity.age at its scrypt work factor
#include "crypto/age.h"
#include "os/text.h"
#include "restore/restore.h"
#include "snapshot/verify.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    using namespace tesmora;
    if (argc == 2 && std::strcmp(argv[1], "unlock") == 0) {
        // Sealed first, outside the time: the user waits only for the opening.
        const std::string sealed = age::SealIdentities({age::GenerateIdentity()}, "a passphrase of the bench");
        const auto started = std::chrono::steady_clock::now();
        age::OpenIdentities(sealed, "a passphrase of the bench");
        std::printf("identity_unlock_s=%.2f\n",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        return 0;
    }
    const bool oneFile = argc == 3 && (std::strcmp(argv[1], "readback") == 0 || std::strcmp(argv[1], "encrypt") == 0);
    if (argc < 3 || (!oneFile && argc != 4)) {
        std::fprintf(stderr, "usage: %s readback FILE | encrypt FILE | unlock | verify SNAPSHOT ID | restore SNAPSHOT FOLDER\n",
                     argv[0]);
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    try {
        if (std::strcmp(argv[1], "readback") == 0) {
            DigestOnDevice(FromUtf8(argv[2]));
        } else if (std::strcmp(argv[1], "encrypt") == 0) {
            std::ifstream in(argv[2], std::ios::binary);
            std::uint64_t out = 0;
            age::Encryptor encryptor({age::RecipientOf(age::GenerateIdentity())},
                                     [&](std::string_view bytes) { out += bytes.size(); });
            std::string piece(1 << 20, '\0');
            while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
                encryptor.write(std::string_view(piece.data(), static_cast<std::size_t>(in.gcount())));
            }
            encryptor.finish();
            std::printf("encrypted_bytes=%llu\n", static_cast<unsigned long long>(out));
        } else if (std::strcmp(argv[1], "verify") == 0) {
            const Verdict verdict = VerifySnapshot(FromUtf8(argv[2]), FromUtf8(argv[3]));
            if (!verdict.ok) throw Error(ErrorCode::Internal, verdict.reason);
        } else {
            const RestoreResult result = RestoreSnapshot(FromUtf8(argv[2]), FromUtf8(argv[3]));
            std::printf("files=%llu\n", static_cast<unsigned long long>(result.files));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s failed: %s\n", argv[1], e.what());
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("seconds=%.3f\n", seconds);
    return 0;
}
