// The one exec loop against the loopback OpenSSH server the test runner
// starts, with small stand-in programs behind the real loader. Skipped when
// no server runs.
#include "remote/channel_pump.h"

#include "job/stored_login.h"
#include "os/error.h"
#include "os/text.h"
#include "remote/remote_command.h"
#include "remote/remote_restore.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <libssh2.h>

#include <random>

namespace tesmora {
namespace {

class ChannelPump : public ::testing::Test {
protected:
    void SetUp() override {
        const auto server = testing::FindTestSshServer("ECDSA");
        if (!server) GTEST_SKIP() << "no loopback SSH server for this run";
        settings_ = testing::SettingsWithPassword(*server);
        const SshLogin login = StoredLogin(settings_);
        connection_ = SshConnection::connect(EndpointOf(settings_), &login);
    }

    // Each reading of the clock moves it on by 30 s: the idle limit of five
    // minutes passes within a few quiet iterations.
    PumpOptions FastClock() {
        PumpOptions options;
        options.clock = [this] { return fake_ += 30 * kSecondNs; };
        return options;
    }

    BackupSettings settings_;
    SshConnection connection_;
    std::uint64_t fake_ = 0;
};

TEST_F(ChannelPump, InputInPiecesOfAnySizeReachesTheProgramWhole) {
    const ProgramLaunch launch = LaunchProgram(
        "import hashlib, sys\n"
        "IN.readline()\n"  // the request frame's length line
        "h = hashlib.sha256()\n"
        "while True:\n"
        "    piece = IN.read1(70000)\n"
        "    if not piece: break\n"
        "    h.update(piece)\n"
        "sys.stdout.write(h.hexdigest())\n",
        "x");
    std::mt19937 random(3);
    std::vector<std::string> pieces{launch.input};
    std::string all;
    for (const std::size_t size : {1, 0x7FFF, 0x8000, 0x8001, 3 << 20, 17}) {
        std::string piece(size, '\0');
        for (char& c : piece) c = static_cast<char>(random());
        all += piece;
        pieces.push_back(std::move(piece));
    }
    std::size_t next = 0;
    std::uint64_t sent = 0;
    std::string output;
    PumpIo io;
    io.input = [&]() -> std::string_view { return next < pieces.size() ? std::string_view(pieces[next++]) : ""; };
    io.output = [&](std::string_view bytes) { output += bytes; };
    io.sent = [&](std::uint64_t total) { sent = total; };
    // The request frame is "1\nx": the program reads its length line and
    // the "x" goes into the hash.
    os::Sha256 withRequest;
    const std::string request = "x" + all;
    withRequest.update(request.data(), request.size());
    const PumpResult end = PumpChannel(connection_, launch.command, io, {});
    EXPECT_EQ(end.exitStatus, 0) << end.errors;
    EXPECT_EQ(output, HexLower(withRequest.finish()));
    EXPECT_EQ(sent, launch.input.size() + all.size());
    EXPECT_EQ(libssh2_session_get_blocking(connection_.session()), 1);
}

TEST_F(ChannelPump, AProgramGoneBeforeItsInputEndsTheRunWithItsOwnWords) {
    const std::string big(8 << 20, 'x');
    bool given = false;
    PumpIo io;
    const ProgramLaunch launch = LaunchProgram("import sys\nsys.stderr.write('no thanks')\nsys.exit(4)\n", "{}");
    io.input = [&]() -> std::string_view {
        if (!given) {
            given = true;
            return launch.input;
        }
        return big;  // endless: only the program's end stops it
    };
    const PumpResult end = PumpChannel(connection_, launch.command, io, {});
    EXPECT_EQ(end.exitStatus, 4);
    EXPECT_EQ(end.errors, "no thanks");
}

TEST_F(ChannelPump, AServerHeldUpTimesOutWhateverItSends) {
    // The server programs report each second whether or not they move: a
    // backup held up by a lock, or a restore whose server stopped taking the
    // archive, is idle however many lines it sends. (The restore's loop once
    // counted any line as work and never timed out.)
    const std::string stuck =
        "import os, time\n"
        "for n in range(40):\n"
        "    os.write(2, b'\\x1eprogress unpack 7 9\\n')\n"
        "    time.sleep(0.25)\n";
    testing::TempDir dir;
    testing::WriteBytes(dir.file(L"site.tar.gz"), std::string(1 << 20, 'a'));
    try {
        RunRemoteRestore(connection_, LaunchProgram(stuck, "[]"), dir.file(L"site.tar.gz"), {}, FastClock());
        ADD_FAILURE() << "no time-out";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::TransferTimeout);
        EXPECT_STREQ(e.what(), "Restore transfer timeout");
    }
    // Counters that move keep it going, and the total limit still ends it.
    const std::string moving =
        "import os, sys, time\n"
        "for n in range(12):\n"
        "    os.write(2, b'\\x1eprogress unpack %d 9\\n' % n)\n"
        "    time.sleep(0.25)\n"
        "sys.stdout.write('{\"report\": \"\"}')\n";
    EXPECT_NO_THROW(RunRemoteRestore(connection_, LaunchProgram(moving, "[]"), dir.file(L"site.tar.gz"), {},
                                     FastClock()));
    PumpOptions shortTotal = FastClock();
    shortTotal.totalLimitNs = 120 * kSecondNs;
    EXPECT_THROW(RunRemoteRestore(connection_, LaunchProgram(moving, "[]"), dir.file(L"site.tar.gz"), {}, shortTotal),
                 Error);
}

TEST_F(ChannelPump, ShortCommandsKeepTheirOutputBoundedAndSeeTheirInput) {
    const ShortCommandResult echo = RunShortCommand(connection_, "cat; echo; head -c 100000 /dev/zero", "given");
    EXPECT_EQ(echo.end.exitStatus, 0);
    EXPECT_EQ(echo.output.substr(0, 6), "given\n");
    EXPECT_EQ(echo.output.size(), 65536u);
    // A cancel shuts the connection's socket down: the run ends at once.
    CancelToken cancel;
    connection_.publishIn(&cancel);
    cancel.cancel();
    PumpOptions options;
    options.cancel = &cancel;
    EXPECT_THROW(RunShortCommand(connection_, "sleep 30", {}, options), CancelledError);
    connection_.publishIn(nullptr);  // the token goes before the connection
}

}  // namespace
}  // namespace tesmora
