#include "repository/retention.h"

#include "repository/format.h"

#include "config/layout.h"
#include "os/error.h"
#include "os/os.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace tesmora {
namespace {

using testing::TempDir;
using testing::WriteBytes;

const std::wstring kId = L"0F8FAD5B-D9CB-469F-A165-70867728950E";

class Retention : public ::testing::Test {
protected:
    Retention() {
        folder_ = os::JoinPath(dir_.path(), layout::kBackupFolder);
        fs::create_directories(os::FsPath(folder_));
    }

    std::wstring Snapshot(int day, const std::wstring& owner = kId) {
        const std::wstring path =
            os::JoinPath(folder_, L"2026-01-0" + std::to_wstring(day) + L"_00-00-00_UTC-GUID" + std::to_wstring(day));
        fs::create_directories(os::FsPath(path));
        for (const wchar_t* name : {L"site.tar.gz", L"SHA256SUMS.txt", L"snapshot.ini"}) WriteBytes(os::JoinPath(path, name), "x");
        if (!owner.empty()) WriteBytes(os::JoinPath(path, L"COMPLETE"), ToUtf8(owner));
        return path;
    }

    RetentionContext Context(int keep, const std::wstring& protectedSnapshot = L"") {
        RetentionContext c;
        c.policy.keep = keep;
        c.now = 1800000000;
        c.calendar = [](std::uint64_t utc) { return os::LocalTimeAt(utc); };
        c.protectedSnapshot = protectedSnapshot;
        c.note = [&](const std::wstring& why) { notes_.push_back(why); };
        c.removed = [&](const std::wstring& name, std::optional<Tier> tier) { removed_.push_back({name, tier}); };
        return c;
    }

    void Apply(int keep, const std::wstring& protectedSnapshot = L"") {
        ApplyRetention(folder_, kId, Context(keep, protectedSnapshot));
    }

    static std::string ToUtf8(const std::wstring& text) { return std::string(text.begin(), text.end()); }

    TempDir dir_;
    std::vector<std::wstring> notes_;
    std::vector<std::pair<std::wstring, std::optional<Tier>>> removed_;
    std::wstring folder_;
};

TEST_F(Retention, KeepsTheNewestOwnSnapshotsAndNothingForeign) {
    const std::wstring foreign = Snapshot(1, L"ANOTHER-CONFIGURATION");
    std::vector<std::wstring> own;
    for (int day = 2; day <= 6; ++day) own.push_back(Snapshot(day));
    const std::wstring incomplete = Snapshot(7, L"");
    fs::create_directories(os::FsPath(os::JoinPath(folder_, L".partial-" + kId)));

    EXPECT_EQ(RetentionCandidates(folder_, kId), own);
    Apply(3, own[4]);
    EXPECT_FALSE(testing::Exists(own[0]));
    EXPECT_FALSE(testing::Exists(own[1]));
    for (int i = 2; i < 5; ++i) EXPECT_TRUE(testing::Exists(own[i]));
    EXPECT_TRUE(testing::Exists(foreign));
    EXPECT_TRUE(testing::Exists(incomplete));
    EXPECT_TRUE(RetentionCandidates(folder_, L"").empty());

    Apply(1, own[4]);
    EXPECT_EQ(RetentionCandidates(folder_, kId), std::vector<std::wstring>{own[4]});
}

TEST_F(Retention, NeverRemovesTheSnapshotJustMade) {
    // A clock set back: the new snapshot sorts first, and stays beside the newest by time.
    const std::wstring made = Snapshot(1);
    const std::wstring later = Snapshot(2);
    Snapshot(3);
    Apply(1, made);
    EXPECT_TRUE(testing::Exists(made));
    EXPECT_FALSE(testing::Exists(later));
    EXPECT_EQ(removed_, (std::vector<std::pair<std::wstring, std::optional<Tier>>>{
                            {L"2026-01-02_00-00-00_UTC-GUID2", std::nullopt}}));
}

TEST_F(Retention, ABeforeRunShortOfSpaceTakesWhatThePolicyDropsThenThinsButNeverTheOldest) {
    std::vector<std::wstring> made;
    for (int day = 1; day <= 6; ++day) {
        made.push_back(Snapshot(day));
        WriteBytes(os::JoinPath(made.back(), L"site.tar.gz"), std::string(1000, 'a'));
    }
    // Room enough: nothing goes, not even what keep = 4 drops after a success.
    EXPECT_EQ(MakeRoomForRun(folder_, kId, Context(4), 5000, 1500), 0u);
    EXPECT_EQ(RetentionCandidates(folder_, kId).size(), 6u);
    // Short by 1000: the oldest of what keep = 4 drops.
    EXPECT_EQ(MakeRoomForRun(folder_, kId, Context(4), 500, 1500), 0u);
    EXPECT_FALSE(testing::Exists(made[0]));
    EXPECT_TRUE(testing::Exists(made[1]));
    // Keeping all, short by 2000: the second and third oldest go, the oldest stays.
    removed_.clear();
    EXPECT_EQ(MakeRoomForRun(folder_, kId, Context(0), 0, 1500), 0u);
    EXPECT_EQ(removed_.size(), 2u);
    EXPECT_EQ(removed_[0].second, Tier::Last);
    EXPECT_EQ(RetentionCandidates(folder_, kId), (std::vector<std::wstring>{made[1], made[4], made[5]}));
    // More than the newest and the oldest can give: nothing goes, the lack is told.
    EXPECT_EQ(MakeRoomForRun(folder_, kId, Context(0), 0, 4500), 3500u);
    EXPECT_EQ(RetentionCandidates(folder_, kId).size(), 3u);
}

TEST_F(Retention, NewerSnapshotsWithoutADatabaseNeverPushOutTheLastWholeOne) {
    std::vector<std::wstring> made;
    for (int day = 1; day <= 5; ++day) {
        made.push_back(Snapshot(day));
        SnapshotIni ini{kId, 1767225600u + static_cast<std::uint64_t>(day) * 86400u, 10, 0, 1};
        if (day >= 3) ini.missed = {"Cannot dump the MySQL/MariaDB database shop (named in /w/config.php): denied"};
        WriteBytes(os::JoinPath(made.back(), L"snapshot.ini"), SnapshotIniText(ini));
    }
    Apply(2, made[4]);
    // Days 4 and 5 are the newest two; days 1 and 2 the newest whole ones, which they never push out.
    EXPECT_EQ(RetentionCandidates(folder_, kId), (std::vector<std::wstring>{made[0], made[1], made[3], made[4]}));
}

TEST_F(Retention, ForeignOrReadOnlyContentNeverStopsTheTrimmingOfTheRest) {
    const std::wstring mac = Snapshot(1), explorer = Snapshot(2), readOnly = Snapshot(3), next = Snapshot(4);
    Snapshot(5);
    WriteBytes(os::JoinPath(mac, L".DS_Store"), "Bud1");
    fs::create_directory(os::FsPath(os::JoinPath(explorer, L"desktop.ini")));
    // Copied back with Explorer from a read-only medium.
    for (const wchar_t* name : {L"site.tar.gz", L"SHA256SUMS.txt", L"COMPLETE"}) {
        fs::permissions(os::FsPath(os::JoinPath(readOnly, name)), fs::perms::owner_write, fs::perm_options::remove);
    }
    Apply(1);
    EXPECT_TRUE(testing::Exists(os::JoinPath(mac, L"site.tar.gz")));
    EXPECT_TRUE(testing::Exists(os::JoinPath(mac, L"SHA256SUMS.txt")));
    EXPECT_TRUE(testing::Exists(explorer));
    EXPECT_FALSE(testing::Exists(readOnly));
    EXPECT_FALSE(testing::Exists(next));
    EXPECT_EQ(notes_, (std::vector<std::wstring>{L"extra files in snapshot 2026-01-01_00-00-00_UTC-GUID1",
                                                 L"extra files in snapshot 2026-01-02_00-00-00_UTC-GUID2"}));
}

TEST_F(Retention, LinksStopItAndAreNeverCandidates) {
    TempDir outside;
    WriteBytes(outside.file(L"COMPLETE"), ToUtf8(kId));
    std::error_code ec;
    fs::create_directory_symlink(os::FsPath(outside.path()), os::FsPath(os::JoinPath(folder_, L"2000-01-01_00-00-00_UTC-LINK")), ec);
    if (ec) GTEST_SKIP() << "folder links cannot be made here: " << ec.message();
    const std::wstring oldest = Snapshot(1);
    Snapshot(2);
    EXPECT_EQ(RetentionCandidates(folder_, kId).size(), 2u);

    fs::create_directory_symlink(os::FsPath(outside.path()), os::FsPath(os::JoinPath(oldest, L"site.tar.gz.d")), ec);
    try {
        Apply(1);
        FAIL() << "retention walked past a link";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Retention stopped at a redirected directory");
    }
    EXPECT_TRUE(testing::Exists(oldest));
    EXPECT_TRUE(testing::Exists(outside.file(L"COMPLETE")));
}

}  // namespace
}  // namespace tesmora
