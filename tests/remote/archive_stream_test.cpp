// The transfer against the loopback OpenSSH server the test runner starts; the
// server side runs either the embedded backup program or a small stand-in
// program that misbehaves on purpose. Skipped when no server runs.
#include "remote/archive_stream.h"
#include "remote/remote_command.h"

#include "crypto/age.h"

#include "job/server_program.h"
#include "job/stored_login.h"
#include "os/text.h"
#include "os/error.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <libssh2.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace tesmora {
namespace {

using testing::TempDir;

class ArchiveStream : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = testing::FindTestSshServer("ECDSA");
        if (!server_) GTEST_SKIP() << "no loopback SSH server for this run";
        settings_ = testing::SettingsWithPassword(*server_);
        const SshLogin login = StoredLogin(settings_);
        connection_ = SshConnection::connect(EndpointOf(settings_), &login);
        archive_ = dir_.file(L"site.tar.gz");
    }

    // A program for the server and the options it runs with; the embedded
    // program when the script is empty.
    struct Program {
        std::string script;
        ArchiveStreamOptions options;
    };

    // Runs the transfer and returns its failure message ("" on success); the
    // session is checked to be back in blocking mode on every path.
    std::string Run(const Program& program = {}, ProgressCallback progress = {}) {
        std::string failure;
        try {
            const ProgramLaunch launch = LaunchBackupProgram(
                program.script.empty() ? EmbeddedBackupScript() : program.script, RequestFor(settings_));
            result_ = RemoteArchiveStream::run(connection_, launch, archive_, std::move(progress), program.options);
        } catch (const Error& e) {
            failure = e.what();
        }
        EXPECT_EQ(libssh2_session_get_blocking(connection_.session()), 1);
        return failure;
    }

    // A stand-in program whose output is no archive.
    static Program Raw(const std::string& script, std::function<std::uint64_t()> clock = {},
                       const CancelToken* cancel = nullptr) {
        Program program{script, {}};
        program.options.clock = std::move(clock);
        program.options.cancel = cancel;
        program.options.checkArchive = false;
        return program;
    }

    std::string Sha256Of(const std::string& bytes) {
        os::Sha256 hash;
        hash.update(bytes.data(), bytes.size());
        return hash.finish();
    }

    std::optional<testing::TestSshServer> server_;
    BackupSettings settings_;
    SshConnection connection_;
    TempDir dir_;
    std::wstring archive_;
    TransferResult result_;
};

TEST_F(ArchiveStream, EmbeddedProgramLandsAProvenArchiveWithItsChecksum) {
    TransferProgress last;
    ASSERT_EQ(Run({}, [&](const TransferProgress& progress) { last = progress; }), "");
    const std::string archive = testing::ReadBytes(archive_);
    EXPECT_EQ(last.archiveBytes, archive.size());
    // The server's own progress arrives too (its first line at once, then at
    // most one a second).
    EXPECT_EQ(last.server.phase, "discovery");
    EXPECT_GT(result_.summary.files, 3u);
    EXPECT_EQ(result_.digest, Sha256Of(archive));

    // The connection stays usable for its owner.
    ASSERT_EQ(Run(Raw("import sys\nsys.stdout.write('x' * 4096)\n")), "");
}

// The rest of the input is asked for once, after the program went out, and
// reaches the program behind what the launch sent.
TEST_F(ArchiveStream, TheLaterInputFollowsTheLaunchsOnce) {
    int asked = 0;
    Program program = Raw("import sys\nIN.readline(); sys.stdout.write(repr(IN.read()[-9:]))\n");
    program.options.laterInput = [&] {
        ++asked;
        return std::string("and later");
    };
    ASSERT_EQ(Run(program), "");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(testing::ReadBytes(archive_), "b'and later'");
}

// Encrypted as it lands: the digest is the file's on the drive, the check
// proved the archive inside, and the key opens the same archive a plain run
// gets (but for its times).
TEST_F(ArchiveStream, AnEncryptedRunLandsAnAgeFileOfTheProvenArchive) {
    const std::string identity = age::GenerateIdentity();
    Program program;
    program.options.recipients = {age::RecipientOf(identity)};
    ASSERT_EQ(Run(program), "");
    const std::string file = testing::ReadBytes(archive_);
    EXPECT_EQ(file.rfind("age-encryption.org/v1\n", 0), 0u);
    EXPECT_EQ(result_.digest, Sha256Of(file));
    const std::uint64_t files = result_.summary.files;
    EXPECT_GT(files, 3u);
    const std::string plain = age::Decrypt(file, age::Keys{{identity}, {}});
    EXPECT_EQ(plain.substr(0, 2), "\x1f\x8b");
    ASSERT_EQ(Run(), "");
    EXPECT_EQ(result_.summary.files, files);
    EXPECT_NEAR(static_cast<double>(plain.size()), static_cast<double>(testing::ReadBytes(archive_).size()), 256.0);
}

TEST_F(ArchiveStream, FailuresLeaveNoChecksumAndSayWhy) {
    const struct {
        std::string script;
        bool archive;
        std::string message;
    } cases[] = {
        // Progress lines on standard error never reach the message.
        {"import sys, os\nsys.stdout.write('x' * 5000)\nsys.stdout.flush()\n"
         "os.write(2, b'it \\x1eprogress archive 10 20\\nbro\\x1eprogress archive 20 20\\nke')\nsys.exit(3)\n",
         false, "Remote backup failed: it broke"},
        {"import sys\nsys.stderr.write('E' * 100000)\nsys.exit(1)\n", false,
         "Remote backup failed: " + std::string(32768, 'E')},
        {"import sys\n", true, "Archive verification failed: the archive is empty"},
        // A login script's greeting in front of the data: the transfer stops at
        // once rather than fetching the rest of an endless stream.
        {"import sys\nsys.stdout.write('Welcome!\\n')\nsys.stdout.flush()\n"
         "while True: sys.stdout.write('x' * 65536)\n",
         true, "A login script on the server printed text before the archive: \"Welcome!\u2026\"; make it print only "
               "in interactive shells"},
        {"import gzip, sys\nsys.stdout.buffer.write(b'\\x1b[1mHello\\x1b[0m\\r\\n' + gzip.compress(b'x' * 9999))\n",
         true, "A login script on the server printed text before the archive: \"\\x1b[1mHello\\x1b[0m\"; make"},
        // Binary data that is no archive is damage, not a greeting.
        {"import sys\nwhile True: sys.stdout.buffer.write(bytes(range(256)) * 256)\n", true,
         "Archive verification failed: the data is not gzip"},
        // An account that may not run commands answers on standard output.
        {"import sys\nprint('This service allows sftp connections only.')\nsys.exit(1)\n", true,
         "This account may not run commands (it is SFTP-only or has no shell); the server answered \"This service "
         "allows sftp connections only.\""},
        {"import sys\nsys.exit(5)\n", false, "Remote backup failed: exit status 5 without an error text"},
    };
    for (const auto& c : cases) {
        Program program = Raw(c.script);
        program.options.checkArchive = c.archive;
        const std::string failure = Run(program);
        EXPECT_EQ(failure.substr(0, c.message.size()), c.message);
    }
}

TEST_F(ArchiveStream, ProgramKilledMidStreamIsAFailure) {
    // Killed under a shell that reports it: a non-zero exit status.
    const std::string killed =
        "import os, sys\n"
        "sys.stdout.buffer.write(b'x' * 300000)\n"
        "sys.stdout.flush()\n"
        "os.kill(os.getpid(), 9)\n";
    const std::string failure = Run(Raw(killed));
    EXPECT_EQ(failure.rfind("Remote backup failed: ", 0), 0u) << failure;

    // Killed together with the shell that started it, as the out-of-memory
    // killer may do: no exit status at all, only the signal.
    const std::string killedWithShell =
        "import os, sys\n"
        "sys.stdout.buffer.write(b'x' * 300000)\n"
        "sys.stdout.flush()\n"
        "parent = os.getppid()\n"
        "if open('/proc/%d/comm' % parent).read().strip() in ('sh', 'dash', 'bash'):\n"
        "    os.kill(parent, 9)\n"
        "os.kill(os.getpid(), 9)\n";
    EXPECT_EQ(Run(Raw(killedWithShell)), "Remote backup failed: killed by signal KILL");
}

TEST_F(ArchiveStream, CancelStopsTheTransfer) {
    CancelToken cancel;
    const std::string endless = "import sys\nwhile True:\n    sys.stdout.write('x' * 65536)\n";
    EXPECT_EQ(Run(Raw(endless, {}, &cancel), [&](const TransferProgress&) { cancel.cancel(); }),
              "Cancelled; incomplete archive is not a backup");
}

TEST_F(ArchiveStream, LargeStreamLandsByteExactInFlatMemory) {
    const std::string mebibytes = testing::TestSetting("TESMORA_TEST_LARGE_STREAM_MIB");
    const int count = mebibytes.empty() ? 64 : std::atoi(mebibytes.c_str());
    // 64 KiB blocks, each the SHA-256 of its index repeated.
    const std::string generator =
        "import hashlib, sys\n"
        "out = sys.stdout.buffer\n"
        "for i in range(" + std::to_string(count * 16) + "):\n"
        "    out.write(hashlib.sha256(str(i).encode()).digest() * 2048)\n";
    os::Sha256 expected;
    for (int i = 0; i < count * 16; ++i) {
        const std::string block = Sha256Of(std::to_string(i));
        std::string chunk;
        chunk.reserve(65536);
        for (int k = 0; k < 2048; ++k) chunk += block;
        expected.update(chunk.data(), chunk.size());
    }
    const std::uint64_t peakBefore = os::PeakResidentBytes();
    ASSERT_EQ(Run(Raw(generator)), "");
    const std::string digest = expected.finish();
    EXPECT_EQ(result_.digest, digest);
    // What is on disk, read back in pieces, is what was hashed.
    std::ifstream file(os::FsPath(archive_), std::ios::binary);
    os::Sha256 onDisk;
    std::vector<char> piece(1 << 20);
    std::uint64_t size = 0;
    while (file.read(piece.data(), static_cast<std::streamsize>(piece.size())) || file.gcount() > 0) {
        onDisk.update(piece.data(), static_cast<std::size_t>(file.gcount()));
        size += static_cast<std::uint64_t>(file.gcount());
    }
    EXPECT_EQ(size, static_cast<std::uint64_t>(count) << 20);
    EXPECT_EQ(onDisk.finish(), digest);
    EXPECT_LT(os::PeakResidentBytes() - peakBefore, 64ULL * 1024 * 1024) << "memory grew with the stream";
}

}  // namespace
}  // namespace tesmora
