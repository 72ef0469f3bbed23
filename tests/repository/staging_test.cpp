#include "repository/staging.h"

#include "repository/format.h"

#include "os/error.h"
#include "os/os.h"
#include "os/text.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

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
            finished_ = PrepareStaging(staging(), dir_.path(), id);
        } catch (const Error& e) {
            return e.what();
        }
        return "";
    }
    size_t EntryCount() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(os::FsPath(staging())), fs::directory_iterator()));
    }
    // Leaves the staging folder as a commit cut off after COMPLETE.
    void CutCommit(const std::string& archive) {
        WriteBytes(inStaging(L"site.tar.gz"), archive);
        os::Sha256 hash;
        hash.update("archive", 7);
        WriteBytes(inStaging(L"SHA256SUMS.txt"), ChecksumLine(hash.finish()));
        WriteBytes(inStaging(L"snapshot.ini"), SnapshotIniText({kId, 1700000000, 7, 1}));
        WriteBytes(inStaging(L"COMPLETE"), ToUtf8Id());
        fs::remove(os::FsPath(inStaging(L"PARTIAL_OWNER")));
    }
    TempDir dir_;
    std::optional<std::wstring> finished_;
};

TEST_F(Staging, FirstRunCreatesItWithOnlyTheOwnerMarker) {
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
    const std::wstring snapshot =
        CommitSnapshot(staging(), dir_.path(), kId, SnapshotIniText({kId, 1700000000, 7, 1}), 1700000000);
    EXPECT_FALSE(testing::Exists(staging()));
    EXPECT_TRUE(IsOwnSnapshot(snapshot, kId));
    EXPECT_FALSE(testing::Exists(os::JoinPath(snapshot, L"PARTIAL_OWNER")));
    EXPECT_EQ(ReadBytes(os::JoinPath(snapshot, L"site.tar.gz")), "archive");
    const auto parsed = ParseSnapshotIni(ReadBytes(os::JoinPath(snapshot, L"snapshot.ini")));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->config, kId);
    EXPECT_EQ(parsed->createdUtc, 1700000000u);
    EXPECT_EQ(parsed->files, 7u);
    // Snapshots made before the counts were recorded parse too; damage does not.
    EXPECT_TRUE(ParseSnapshotIni(SnapshotIniText({kId, 1, {}, {}})) && !ParseSnapshotIni(SnapshotIniText({kId, 1, {}, {}}))->files);
    EXPECT_FALSE(ParseSnapshotIni("format=1\nconfig=x\ncreated_utc=12a\narchive=site.tar.gz\n"));
    EXPECT_FALSE(ParseSnapshotIni("garbage"));

    // An encrypted snapshot names its key and keeps its counts inside.
    SnapshotIni sealed{kId, 1700000000, 7, 1, 2, {"db: locked"}, "SHA256:abc"};
    const std::string text = SnapshotIniText(sealed);
    EXPECT_EQ(text.find("files="), std::string::npos);
    const auto back = ParseSnapshotIni(text);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->encrypted());
    EXPECT_EQ(back->recipientFingerprint, "SHA256:abc");
    EXPECT_EQ(back->missed, sealed.missed);
    const std::string head = "format=1\nconfig=x\ncreated_utc=1\n";
    EXPECT_FALSE(ParseSnapshotIni(head + "archive=site.tar.gz.age\n"));
    EXPECT_FALSE(ParseSnapshotIni(head + "archive=site.tar.gz.age\nencryption=age-x25519\n"));
    EXPECT_FALSE(ParseSnapshotIni(head + "archive=site.tar.gz\nencryption=age-x25519\nrecipient_fingerprint=SHA256:a\n"));
}

TEST_F(Staging, ACutOffCommitIsFinishedWhenItsArchiveProvesAndEmptiedWhenNot) {
    ASSERT_EQ(Failure(), "");
    CutCommit("archive");
    ASSERT_EQ(Failure(), "");
    ASSERT_TRUE(finished_);
    EXPECT_TRUE(IsOwnSnapshot(*finished_, kId));
    EXPECT_EQ(ReadBytes(os::JoinPath(*finished_, L"site.tar.gz")), "archive");
    EXPECT_EQ(os::FromFsPath(os::FsPath(*finished_).filename()).rfind(L"2023-11-14_22-13-20_UTC-", 0), 0u);
    EXPECT_EQ(ReadBytes(inStaging(L"PARTIAL_OWNER")), ToUtf8Id());
    EXPECT_EQ(EntryCount(), 1u);

    // Cut off before PARTIAL_OWNER went: COMPLETE was written after the proof.
    CutCommit("archive");
    WriteBytes(inStaging(L"PARTIAL_OWNER"), ToUtf8Id());
    ASSERT_EQ(Failure(), "");
    EXPECT_TRUE(finished_);

    // An archive that no longer matches its checksum proves nothing.
    CutCommit("archivf");
    ASSERT_EQ(Failure(), "");
    EXPECT_FALSE(finished_);
    EXPECT_EQ(EntryCount(), 1u);
    EXPECT_EQ(ReadBytes(inStaging(L"PARTIAL_OWNER")), ToUtf8Id());
}

TEST_F(Staging, ACreationCutShortIsTakenOver) {
    ASSERT_EQ(Failure(), "");
    // The folder with an empty marker, or none at all.
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
