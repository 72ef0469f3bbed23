#include "job/staging.h"

#include "os/error.h"
#include "os/os.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace tesmora {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

const std::wstring kId = L"0F8FAD5B-D9CB-469F-A165-70867728950E";

std::string ToUtf8Id() { return "0F8FAD5B-D9CB-469F-A165-70867728950E"; }

class Staging : public ::testing::Test {
protected:
    std::wstring staging() const { return dir_.file(L".partial-" + kId); }
    std::wstring inStaging(const wchar_t* name) const { return os::JoinPath(staging(), name); }
    std::string Failure(const std::wstring& id = kId) {
        try {
            PrepareStaging(staging(), id);
        } catch (const Error& e) {
            return e.what();
        }
        return "";
    }
    size_t EntryCount() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(os::FsPath(staging())), fs::directory_iterator()));
    }
    TempDir dir_;
};

TEST_F(Staging, FirstRunCreatesItWithOnlyTheOwnerMarker) {
    EXPECT_EQ(StagingDirectoryName(kId), L".partial-" + kId);
    ASSERT_EQ(Failure(), "");
    EXPECT_EQ(ReadBytes(inStaging(L"PARTIAL_OWNER")), "0F8FAD5B-D9CB-469F-A165-70867728950E");
    EXPECT_EQ(EntryCount(), 1u);
}

TEST_F(Staging, LeftoversOfAFailedRunAreEmptiedAndReused) {
    ASSERT_EQ(Failure(), "");
    WriteBytes(inStaging(L"site.tar.gz"), "partial");
    WriteBytes(inStaging(L"SHA256SUMS.txt"), "x");
    ASSERT_EQ(Failure(), "");
    EXPECT_EQ(EntryCount(), 1u);
}

TEST_F(Staging, DirectoriesThatAreNotProvablyOursStayUntouched) {
    fs::create_directory(os::FsPath(staging()));
    WriteBytes(inStaging(L"site.tar.gz"), "someone's");
    EXPECT_EQ(Failure(), "Unrecognized staging directory; not modified");  // no marker
    WriteBytes(inStaging(L"PARTIAL_OWNER"), "another-id");
    EXPECT_EQ(Failure(), "Unrecognized staging directory; not modified");
    WriteBytes(inStaging(L"PARTIAL_OWNER"), ToUtf8Id() + "\n");
    EXPECT_EQ(Failure(), "Unrecognized staging directory; not modified");
    EXPECT_EQ(Failure(L""), "Unrecognized staging directory; not modified");

    WriteBytes(inStaging(L"PARTIAL_OWNER"), ToUtf8Id());
    WriteBytes(inStaging(L"notes.txt"), "mine");
    EXPECT_EQ(Failure(), "Unknown file in staging directory; not modified");
    EXPECT_EQ(ReadBytes(inStaging(L"site.tar.gz")), "someone's");
    fs::remove(os::FsPath(inStaging(L"notes.txt")));

    fs::create_directory(os::FsPath(inStaging(L"COMPLETE")));
    EXPECT_EQ(Failure(), "Redirected staging entry");
    EXPECT_EQ(ReadBytes(inStaging(L"site.tar.gz")), "someone's");
}

TEST_F(Staging, LinksAreNeverFollowed) {
    TempDir elsewhere;
    WriteBytes(elsewhere.file(L"precious"), "keep me");
    std::error_code ec;
    fs::create_directory_symlink(os::FsPath(elsewhere.path()), os::FsPath(staging()), ec);
    if (ec) GTEST_SKIP() << "folder links cannot be made here: " << ec.message();
    WriteBytes(elsewhere.file(L"PARTIAL_OWNER"), ToUtf8Id());
    EXPECT_EQ(Failure(), "Staging directory is redirected");
    EXPECT_EQ(ReadBytes(elsewhere.file(L"precious")), "keep me");

    fs::remove(os::FsPath(staging()));
    ASSERT_EQ(Failure(), "");
    fs::create_symlink(os::FsPath(elsewhere.file(L"precious")), os::FsPath(inStaging(L"site.tar.gz")), ec);
    EXPECT_EQ(Failure(), "Redirected staging entry");
    EXPECT_EQ(ReadBytes(elsewhere.file(L"precious")), "keep me");
}

TEST_F(Staging, CommitMakesACompleteSnapshotByOneRename) {
    ASSERT_EQ(Failure(), "");
    WriteBytes(inStaging(L"site.tar.gz"), "archive");
    WriteBytes(inStaging(L"SHA256SUMS.txt"), "sums");
    const std::wstring snapshot = CommitSnapshot(staging(), dir_.path(), kId, SnapshotIniText(kId, 1700000000, 7, 1));
    EXPECT_FALSE(testing::Exists(staging()));
    const std::wstring name = os::FromFsPath(os::FsPath(snapshot).filename());
    EXPECT_TRUE(std::regex_match(name, std::wregex(L"\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d_UTC-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
    EXPECT_EQ(name.size(), 60u);
    EXPECT_EQ(ReadBytes(os::JoinPath(snapshot, L"COMPLETE")), ToUtf8Id());
    EXPECT_FALSE(testing::Exists(os::JoinPath(snapshot, L"PARTIAL_OWNER")));
    EXPECT_EQ(ReadBytes(os::JoinPath(snapshot, L"site.tar.gz")), "archive");
    const std::string ini = ReadBytes(os::JoinPath(snapshot, L"snapshot.ini"));
    EXPECT_EQ(ini, "format=1\nconfig=0F8FAD5B-D9CB-469F-A165-70867728950E\ncreated_utc=1700000000\n"
                   "archive=site.tar.gz\nfiles=7\ndatabases=1\n");
    const auto parsed = ParseSnapshotIni(ini);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->config, kId);
    EXPECT_EQ(parsed->createdUtc, 1700000000u);
    EXPECT_EQ(parsed->files, 7u);
    // Snapshots made before the counts were recorded parse too; damage does not.
    EXPECT_TRUE(ParseSnapshotIni(SnapshotIniText(kId, 1)) && !ParseSnapshotIni(SnapshotIniText(kId, 1))->files);
    EXPECT_FALSE(ParseSnapshotIni("format=1\nconfig=x\ncreated_utc=12a\narchive=site.tar.gz\n"));
    EXPECT_FALSE(ParseSnapshotIni("garbage"));
}

TEST_F(Staging, WhateverAKillLeftIsTakenOverAndPartialOwnerIsNeverRemoved) {
    // A commit cut short after PARTIAL_OWNER went: COMPLETE holds the id.
    ASSERT_EQ(Failure(), "");
    WriteBytes(inStaging(L"site.tar.gz"), "archive");
    WriteBytes(inStaging(L"COMPLETE"), ToUtf8Id());
    fs::remove(os::FsPath(inStaging(L"PARTIAL_OWNER")));
    ASSERT_EQ(Failure(), "");
    EXPECT_EQ(EntryCount(), 1u);
    EXPECT_EQ(ReadBytes(inStaging(L"PARTIAL_OWNER")), ToUtf8Id());

    // A creation cut short: the folder with an empty marker, or none at all.
    WriteBytes(inStaging(L"PARTIAL_OWNER"), "");
    ASSERT_EQ(Failure(), "");
    fs::remove(os::FsPath(inStaging(L"PARTIAL_OWNER")));
    ASSERT_EQ(Failure(), "");
    EXPECT_EQ(ReadBytes(inStaging(L"PARTIAL_OWNER")), ToUtf8Id());

    // An empty marker beside an archive proves nothing.
    WriteBytes(inStaging(L"PARTIAL_OWNER"), "");
    WriteBytes(inStaging(L"site.tar.gz"), "someone's");
    EXPECT_EQ(Failure(), "Unrecognized staging directory; not modified");
}

}  // namespace
}  // namespace tesmora
