// The server program's output read by the client's own code: the program runs
// here, natively, as the client starts it on a server, and its archive must
// prove whole with the client's checker, so that the two cannot drift apart.
#include "archive/stream_check.h"
#include "os/text.h"
#include "remote/remote_command.h"
#include "remote/server_output.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace tesmora {
namespace {

// What tends to set the two apart: a root that is a symbolic link, names and a
// database path that are not UTF-8, a sparse file.
constexpr char kSite[] = R"py(import os, sqlite3, sys
site = os.fsencode(sys.argv[1])
os.makedirs(site + b"/releases/r1")
open(site + b"/releases/r1/index.html", "w").write("release")
os.symlink(b"releases/r1", site + b"/current")
open(site + b"/\xff-name.txt", "w").write("odd")
db = sqlite3.connect(site + b"/\xd0\xb1\xfe.db")
db.execute("CREATE TABLE t (x)")
db.commit()
with open(site + b"/sparse.img", "wb") as f:
    f.truncate(1 << 20)
    f.seek(1 << 19)
    f.write(b"data")
)py";

TEST(ServerProgram, ArchiveProvesWholeWithTheClientsChecker) {
#ifdef _WIN32
    GTEST_SKIP() << "the server program runs natively only";
#else
    if (std::system("command -v python3 >/dev/null") != 0) GTEST_SKIP() << "no python3";
    testing::TempDir dir;
    const std::string site = ToUtf8(dir.file(L"site"));
    testing::WriteBytes(dir.file(L"site.py"), kSite);
    BackupRequest request;
    request.paths = {FromUtf8(site), FromUtf8(site + "/current")};
    const ProgramLaunch launch = LaunchBackupProgram(EmbeddedBackupScript(), request);
    testing::WriteBytes(dir.file(L"backup.sh"), launch.command);
    testing::WriteBytes(dir.file(L"input"), launch.input);
    ASSERT_EQ(std::system(("python3 '" + ToUtf8(dir.file(L"site.py")) + "' '" + site + "'").c_str()), 0);
    // Standard output reaches the checker piece by piece, as the client hands it over.
    FILE* program = popen(("/bin/sh '" + ToUtf8(dir.file(L"backup.sh")) + "' <'" + ToUtf8(dir.file(L"input")) +
                           "' 2>/dev/null").c_str(), "r");
    ASSERT_NE(program, nullptr);
    StreamCheck check;
    char buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, program)) > 0;) check.feed({buffer, got});
    EXPECT_EQ(pclose(program), 0);
    const ArchiveSummary summary = check.finish();
    // index.html twice (under releases and under current), the odd name, the
    // database, the sparse file.
    EXPECT_EQ(summary.files, 5u);
    ASSERT_EQ(summary.databases.size(), 1u);
    EXPECT_EQ(summary.databases[0].path, site + "/\xd0\xb1\xfe.db");
#endif
}

TEST(HeartbeatWatch, OnlyMovingCountersAreWork) {
    constexpr std::uint64_t kMinute = 60ULL * 1000000000ULL;
    HeartbeatWatch watch(0, 5 * kMinute);
    for (const auto& [line, moved] : {std::pair{ServerProgress{"database", 0, 0}, true}, {{"database", 0, 0}, false},
                                      {{"database", 1, 0}, true}, {{"archive", 1, 0}, true},
                                      {{"archive", 1, 9}, true}}) {
        EXPECT_EQ(watch.moved(line), moved) << line.phase << " " << line.read << " " << line.total;
    }
    EXPECT_FALSE(watch.idle(5 * kMinute));
    EXPECT_TRUE(watch.idle(5 * kMinute + 1));
    watch.work(7 * kMinute);
    EXPECT_FALSE(watch.idle(12 * kMinute));
}

}  // namespace
}  // namespace tesmora
