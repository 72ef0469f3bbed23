#include "job/retention.h"

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
        settings_.drive_root = dir_.path();
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

    std::string Log() const {
        return testing::ReadBytes(os::JoinPath(folder_, L"backup.log"));
    }

    static std::string ToUtf8(const std::wstring& text) { return std::string(text.begin(), text.end()); }

    TempDir dir_;
    BackupSettings settings_;
    std::wstring folder_;
};

TEST_F(Retention, KeepsTheNewestOwnSnapshotsAndNothingForeign) {
    const std::wstring foreign = Snapshot(1, L"ANOTHER-CONFIGURATION");
    std::vector<std::wstring> own;
    for (int day = 2; day <= 6; ++day) own.push_back(Snapshot(day));
    const std::wstring incomplete = Snapshot(7, L"");
    fs::create_directories(os::FsPath(os::JoinPath(folder_, L".partial-" + kId)));

    EXPECT_EQ(RetentionCandidates(folder_, kId), own);
    ApplyRetention(settings_, folder_, kId, 3, own[4]);
    EXPECT_FALSE(testing::Exists(own[0]));
    EXPECT_FALSE(testing::Exists(own[1]));
    for (int i = 2; i < 5; ++i) EXPECT_TRUE(testing::Exists(own[i]));
    EXPECT_TRUE(testing::Exists(foreign));
    EXPECT_TRUE(testing::Exists(incomplete));
    EXPECT_TRUE(RetentionCandidates(folder_, L"").empty());

    ApplyRetention(settings_, folder_, kId, 1, own[4]);
    EXPECT_EQ(RetentionCandidates(folder_, kId), std::vector<std::wstring>{own[4]});
}

TEST_F(Retention, NeverRemovesTheSnapshotJustMade) {
    // A clock set back: the new snapshot sorts first.
    const std::wstring newest = Snapshot(1);
    const std::wstring older = Snapshot(2);
    ApplyRetention(settings_, folder_, kId, 1, newest);
    EXPECT_TRUE(testing::Exists(newest));
    EXPECT_FALSE(testing::Exists(older));
}

TEST_F(Retention, ForeignContentStopsTrimmingWithoutFailure) {
    const std::wstring oldest = Snapshot(1);
    const std::wstring next = Snapshot(2);
    Snapshot(3);
    WriteBytes(os::JoinPath(oldest, L"readme.txt"), "user's note");
    ApplyRetention(settings_, folder_, kId, 1);
    EXPECT_TRUE(testing::Exists(oldest));
    EXPECT_TRUE(testing::Exists(next));
    EXPECT_NE(Log().find("Retention skipped: extra files in snapshot\r\n"), std::string::npos);

    fs::remove(os::FsPath(os::JoinPath(oldest, L"readme.txt")));
    fs::create_directory(os::FsPath(os::JoinPath(oldest, L"sub")));
    ApplyRetention(settings_, folder_, kId, 1);
    EXPECT_TRUE(testing::Exists(oldest));
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
        ApplyRetention(settings_, folder_, kId, 1);
        FAIL() << "retention walked past a link";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Retention stopped at a redirected directory");
    }
    EXPECT_TRUE(testing::Exists(oldest));
    EXPECT_TRUE(testing::Exists(outside.file(L"COMPLETE")));
}

}  // namespace
}  // namespace tesmora
