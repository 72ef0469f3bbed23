#include "config/layout.h"
#include "crypto/age.h"
#include "os/error.h"
#include "os/text.h"
#include "repository/format.h"
#include "snapshot/snapshot_jobs.h"
#include "snapshot/snapshot_list.h"
#include "snapshot/verify.h"

#include "archive/archive_maker.h"
#include "repository/staging.h"
#include "os/os.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>

namespace fs = std::filesystem;

namespace tesmora {
namespace {

const std::wstring kId = L"0F8FAD5B-D9CB-469F-A165-70867728950E";

// Every file of the folder with its bytes and time, to prove nothing changed.
std::map<std::wstring, std::pair<std::string, fs::file_time_type>> State(const std::wstring& folder) {
    std::map<std::wstring, std::pair<std::string, fs::file_time_type>> state;
    for (const auto& entry : fs::directory_iterator(os::FsPath(folder))) {
        state[os::FromFsPath(entry.path())] = {testing::ReadBytes(os::FromFsPath(entry.path())),
                                               entry.last_write_time()};
    }
    return state;
}

TEST(VerifySnapshot, NamesWhatCannotBeTrustedAndWritesNothing) {
    testing::TempDir dir;
    const std::string good = testing::ArchiveOf({{"srv/a.txt", std::string(20000, 'a')}, {"srv/b.txt", "b"}});
    const std::string notLast = testing::Gzip(
        testing::Tar({{kManifestName, testing::Manifest(1)}, {"srv/a.txt", "a"}}));
    const auto write = [&](const std::wstring& path, const std::string& bytes) { testing::WriteBytes(path, bytes); };
    const struct {
        std::function<void(const std::wstring&)> damage;
        std::string reason;
    } cases[] = {
        {[](const std::wstring&) {}, ""},
        {[&](const std::wstring& s) { write(os::JoinPath(s, L"site.tar.gz"), good.substr(0, 40) + "X" + good.substr(41)); },
         "the archive's SHA-256 differs from SHA256SUMS.txt; "},
        {[&](const std::wstring& s) { write(os::JoinPath(s, L"site.tar.gz"), good.substr(0, good.size() / 2)); },
         "the archive's SHA-256 differs from SHA256SUMS.txt; the gzip data ends early"},
        {[](const std::wstring& s) { fs::remove(os::FsPath(os::JoinPath(s, L"SHA256SUMS.txt"))); },
         "SHA256SUMS.txt does not hold its one line"},
        {[](const std::wstring& s) { fs::remove(os::FsPath(os::JoinPath(s, L"COMPLETE"))); },
         "COMPLETE does not hold this configuration's id"},
        {[&](const std::wstring& s) { write(os::JoinPath(s, L"COMPLETE"), "ANOTHER-ID"); },
         "COMPLETE does not hold this configuration's id"},
        {[&](const std::wstring& s) { testing::WriteSnapshot(s, kId, notLast); }, "the manifest is not the last member"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::wstring snapshot = dir.file(L"snapshot-" + std::to_wstring(++n));
        testing::WriteSnapshot(snapshot, kId, good);
        c.damage(snapshot);
        const auto before = State(snapshot);
        std::uint64_t read = 0;
        const Verdict verdict = VerifySnapshot(snapshot, kId, [&](std::uint64_t done, std::uint64_t) { read = done; });
        EXPECT_EQ(verdict.ok, c.reason.empty()) << verdict.reason;
        EXPECT_EQ(verdict.reason.substr(0, c.reason.size()), c.reason);
        EXPECT_EQ(State(snapshot), before) << "verification changed the snapshot";
        if (c.reason.empty()) {
            EXPECT_EQ(read, good.size());
            EXPECT_EQ(verdict.summary.files, 2u);
            EXPECT_EQ(VerifyLogLine(L"S", verdict).message, L"VERIFY S OK");
        }
    }
}

TEST(VerifySnapshot, AnEncryptedSnapshotIsJudgedThroughItsKeyAndOnlyThere) {
    testing::TempDir dir;
    const std::string identity = age::GenerateIdentity(), other = age::GenerateIdentity();
    const age::Keys keys{{other, identity}, {}}, wrong{{other}, {}};
    std::string noise(200000, '\0');
    std::mt19937 random(7);
    for (char& c : noise) c = static_cast<char>(random());
    const std::string good = testing::ArchiveOf({{"srv/a.txt", noise}, {"srv/b.txt", "b"}});
    const std::wstring snapshot = dir.file(L"encrypted");
    testing::WriteSnapshot(snapshot, kId, good, age::RecipientOf(identity));

    const Verdict verdict = VerifySnapshot(snapshot, kId, {}, nullptr, &keys);
    ASSERT_TRUE(verdict.ok) << verdict.reason;
    EXPECT_EQ(verdict.summary.files, 2u);
    os::Sha256 plain;
    plain.update(good.data(), good.size());
    EXPECT_EQ(verdict.plainDigest, HexLower(plain.finish()));
    EXPECT_EQ(verdict.plainBytes, good.size());

    // Without the key nothing can be said, which is not damage.
    for (const age::Keys* none : {static_cast<const age::Keys*>(nullptr), &wrong}) {
        try {
            VerifySnapshot(snapshot, kId, {}, nullptr, none);
            ADD_FAILURE() << "judged without its key";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), ErrorCode::EncryptionKeyMissing);
        }
    }

    // Damage that SHA256SUMS.txt was made to agree with: the chunks catch it.
    const std::wstring file = os::JoinPath(snapshot, L"site.tar.gz.age");
    const std::string sealed = testing::ReadBytes(file);
    const auto reseal = [&](const std::string& bytes) {
        testing::WriteBytes(file, bytes);
        os::Sha256 hash;
        hash.update(bytes.data(), bytes.size());
        testing::WriteBytes(os::JoinPath(snapshot, L"SHA256SUMS.txt"), ChecksumLine(hash.finish(), {}, true));
    };
    std::string flipped = sealed;
    flipped[flipped.size() / 2] ^= 1;
    for (const std::string& damaged : {flipped, sealed.substr(0, 65536 + 400)}) {
        reseal(damaged);
        const Verdict bad = VerifySnapshot(snapshot, kId, {}, nullptr, &keys);
        EXPECT_FALSE(bad.ok);
        EXPECT_EQ(bad.reason.rfind("the encrypted archive does not open: ", 0), 0u) << bad.reason;
    }
    // The checksum file and snapshot.ini must agree on what the archive is.
    reseal(sealed);
    testing::WriteBytes(os::JoinPath(snapshot, L"SHA256SUMS.txt"), ChecksumLine(std::string(32, 'a')));
    EXPECT_EQ(VerifySnapshot(snapshot, kId, {}, nullptr, &keys).reason, "SHA256SUMS.txt does not hold its one line");
}

TEST(VerifySnapshots, OnlyTheDrivesOwnSnapshotsAreLogged) {
    testing::TempDir drive, elsewhere;
    BackupSettings settings;
    settings.id = kId;
    settings.drive_root = drive.path();
    const std::wstring name = L"2026-01-01_00-00-00_UTC-A";
    const std::wstring onDrive = os::JoinPath(os::JoinPath(drive.path(), layout::kBackupFolder), name);
    const std::string good = testing::ArchiveOf({{"srv/a.txt", "a"}});
    testing::WriteSnapshot(onDrive, kId, good.substr(0, good.size() / 2));  // damaged on the drive
    testing::WriteSnapshot(elsewhere.file(name), kId, good);                 // a sound copy elsewhere
    const auto log = [&] { return testing::ReadBytes(os::JoinPath(os::ParentPath(onDrive), L"backup.log")); };

    EXPECT_TRUE(VerifySnapshots(settings, {elsewhere.file(name)}, {}));
    EXPECT_EQ(log(), "") << "a copy elsewhere vouched for the drive's snapshot";
    EXPECT_FALSE(VerifySnapshots(settings, {onDrive + os::kPathSeparator}, {}));
    EXPECT_NE(log().find(ToUtf8(L"VERIFY " + name + L" FAILED")), std::string::npos);
}

TEST(ListSnapshots, ShowsOwnForeignAndUnfinishedWithTheLogsVerdict) {
    testing::TempDir dir;
    const auto make = [&](const std::wstring& name, const std::wstring& owner, const std::string& ini) {
        const std::wstring path = dir.file(name);
        fs::create_directories(os::FsPath(path));
        testing::WriteBytes(os::JoinPath(path, L"COMPLETE"), std::string(owner.begin(), owner.end()));
        testing::WriteBytes(os::JoinPath(path, L"snapshot.ini"), ini);
        testing::WriteBytes(os::JoinPath(path, L"site.tar.gz"), std::string(1234, 'x'));
    };
    const std::wstring older = L"2026-01-01_00-00-00_UTC-A", newer = L"2026-02-01_00-00-00_UTC-B",
                       proven = L"2026-03-01_00-00-00_UTC-C", foreign = L"2026-04-01_00-00-00_UTC-D";
    make(older, kId, SnapshotIniText({kId, 1, {}, {}}));               // made before counts were recorded
    make(newer, kId, SnapshotIniText({kId, 2, 10, 1}));
    make(proven, kId, SnapshotIniText({kId, 3, 20, 0}));
    make(foreign, L"ANOTHER", SnapshotIniText({L"ANOTHER", 4, 5, 0}));
    fs::create_directories(os::FsPath(dir.file(L".partial-" + kId)));
    using testing::Logged;
    const std::vector<LogLine> log = {
        Logged(100, L"SUCCESS " + older), Logged(200, L"SUCCESS " + newer), Logged(300, L"SUCCESS " + proven),
        Logged(400, L"VERIFY " + newer + L" FAILED the gzip data ends early"), Logged(500, L"VERIFY " + older + L" OK")};

    const auto list = ListSnapshots(dir.path(), kId, log);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].state, SnapshotState::Unfinished);
    EXPECT_TRUE(list[0].own);
    EXPECT_EQ(list[1].name, foreign);
    EXPECT_FALSE(list[1].own);
    EXPECT_EQ(list[2].name, proven);
    EXPECT_EQ(list[2].state, SnapshotState::Verified);
    EXPECT_EQ(list[2].stateTime, 300u);
    EXPECT_EQ(list[2].files, 20u);
    EXPECT_EQ(list[2].archiveBytes, 1234u);
    EXPECT_EQ(list[3].state, SnapshotState::Damaged);
    EXPECT_EQ(list[3].reason, L"the gzip data ends early");
    EXPECT_EQ(list[4].state, SnapshotState::Verified);  // by its VERIFY line, not by SUCCESS
    EXPECT_EQ(list[4].stateTime, 500u);
    EXPECT_EQ(list[4].created, 1767225600u);
}

}  // namespace
}  // namespace tesmora
