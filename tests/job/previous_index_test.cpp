// The previous snapshot's index as a run proves it, and the frames that a
// run copies its unchanged segments by.
#include "job/previous_index.h"
#include "remote/segment_frames.h"

#include "crypto/age.h"
#include "os/os.h"
#include "os/text.h"
#include "repository/format.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <zlib.h>

#include <filesystem>

namespace tesmora {
namespace {

std::string Sha256Hex(const std::string& bytes) {
    os::Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return HexLower(hash.finish());
}

std::string Compressed(const std::string& text) {
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    std::string out(size, '\0');
    compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(text.data()),
             static_cast<uLong>(text.size()));
    out.resize(size);
    return out;
}

std::string Frame(char kind, std::string_view data) {
    const auto n = static_cast<std::uint32_t>(data.size());
    return std::string{kind, static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                       static_cast<char>(n)} + std::string(data);
}

std::string Reference(std::uint32_t number) {
    return std::string{'R', 0, 0, 0, static_cast<char>(number)};
}

// A snapshot folder whose "archive" is three segments, the middle one
// damaged after its index was written.
class PreviousSnapshot : public ::testing::Test {
protected:
    void SetUp() override {
        segments_ = {"first segment", "second segment", "third"};
        nlohmann::json index = {{"format", 1}, {"started_ns", 5}, {"segments", nlohmann::json::array()}};
        std::string archive;
        for (const std::string& s : segments_) {
            index["segments"].push_back({{"offset", archive.size()}, {"length", s.size()}, {"sha256", Sha256Hex(s)},
                                         {"members", {{"a\xc3\xa9", "f", 1}}}});
            archive += s;
        }
        archive[segments_[0].size() + 2] ^= 1;
        archive_ = os::JoinPath(dir_.path(), kArchiveFile);
        testing::WriteBytes(archive_, archive);
        compressedIndex_ = Compressed(index.dump());
        testing::WriteBytes(os::JoinPath(dir_.path(), kIndexFile), compressedIndex_);
        testing::WriteBytes(os::JoinPath(dir_.path(), kChecksumFile),
                            ChecksumLine(std::string(32, 'a'), Unhex(Sha256Hex(compressedIndex_))));
    }
    static std::string Unhex(const std::string& hex) {
        std::string raw;
        for (std::size_t i = 0; i < hex.size(); i += 2) raw += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        return raw;
    }
    testing::TempDir dir_;
    std::vector<std::string> segments_;
    std::wstring archive_;
    std::string compressedIndex_;
};

TEST_F(PreviousSnapshot, AProvenIndexKeepsItsGoodSegmentsAndLeavesTheDamagedOneToBeSent) {
    const auto previous = LoadPreviousIndex(dir_.path());
    ASSERT_TRUE(previous);
    EXPECT_EQ(previous->damaged, 1u);
    ASSERT_EQ(previous->archive.segments.size(), 3u);
    EXPECT_EQ(previous->archive.segments[0].sha256, Sha256Hex(segments_[0]));
    EXPECT_TRUE(previous->archive.segments[1].sha256.empty());
    const auto sent = nlohmann::json::parse(previous->requestJson);
    EXPECT_EQ(sent["segments"][1]["members"], nlohmann::json::array());
    EXPECT_EQ(sent["segments"][2]["members"][0][0], "a\xc3\xa9");
    EXPECT_EQ(sent["started_ns"], 5);

    // The frames copy the good segments; one that is not what was proven
    // (or not proven at all) never lands.
    std::string landed;
    FrameReader frames(previous->archive, [&](std::string_view bytes) {
        landed.append(bytes);
        return true;
    });
    const std::string head = Frame('H', Compressed(R"({"format":1,"started_ns":9})")) + Frame('D', "head:") +
                             Reference(0);
    const std::string stream = head + Frame('D', "new") + Frame('S', Compressed(R"({"offset":18})")) + Reference(2) +
                               Frame('E', "");
    const auto offsets = [&] {
        std::vector<std::uint64_t> found;
        const auto index = nlohmann::json::parse(frames.index());
        for (const auto& entry : index["segments"]) found.push_back(entry["offset"]);
        return found;
    };
    for (std::size_t i = 0; i < stream.size(); ++i) {
        ASSERT_TRUE(frames.feed(stream.substr(i, 1)));  // any split
        // A copied segment counts once its bytes are proven, a sent one once its entry is in.
        if (i + 1 == head.size() || i + 1 == head.size() + 8) {
            EXPECT_EQ(offsets(), std::vector<std::uint64_t>{5});
        }
    }
    EXPECT_TRUE(frames.ended());
    EXPECT_EQ(landed, "head:first segmentnewthird");
    // A copied segment's entry is the one sent, at its new offset.
    const auto index = nlohmann::json::parse(frames.index());
    EXPECT_EQ(offsets(), (std::vector<std::uint64_t>{5, 18, 21}));
    EXPECT_EQ(index["started_ns"], 9);
    EXPECT_EQ(index["segments"][0]["sha256"], Sha256Hex(segments_[0]));
    EXPECT_EQ(index["segments"][2]["members"][0][0], "a\xc3\xa9");
    EXPECT_EQ(frames.reusedBytes(), segments_[0].size() + segments_[2].size());
    EXPECT_THROW(frames.feed("D"), ArchiveDamage);  // nothing after the end

    FrameReader damaged(previous->archive, [](std::string_view) { return true; });
    EXPECT_THROW(damaged.feed(Reference(1)), ArchiveDamage);
    PreviousArchive changed = previous->archive;
    changed.segments[2].sha256 = Sha256Hex("other");
    FrameReader moved(changed, [](std::string_view) { return true; });
    EXPECT_THROW(moved.feed(Reference(2)), ArchiveDamage);
    FrameReader text(previous->archive, [](std::string_view) { return true; });
    EXPECT_FALSE(text.feed("Welcome!\n"));
    EXPECT_TRUE(text.notFrames());
}

TEST_F(PreviousSnapshot, ACutRunIsResumedFromWhatWhollyLandedAndNumberedAfterTheSnapshot) {
    const std::wstring staging = os::JoinPath(dir_.path(), L"staging");
    os::CreateDirectories(staging);
    const std::string arrived = "gzip-headersegment A" + std::string("segment B cut sh");
    testing::WriteBytes(os::JoinPath(staging, kArchiveFile), arrived);
    const nlohmann::json landed = {
        {"started_ns", 7}, {"full_ns", 6},
        {"segments", {{{"offset", 11}, {"length", 9}, {"sha256", Sha256Hex("segment A")}, {"members", {{"x", "f"}}}}}}};
    KeepCutRun(staging, landed.dump());
    EXPECT_FALSE(os::IsRegularFile(os::JoinPath(staging, kArchiveFile)));
    KeepCutRun(staging, R"({"started_ns":8,"segments":[]})");  // a later cut before anything landed keeps it

    const auto previous = LoadPreviousIndex(dir_.path(), staging);
    ASSERT_TRUE(previous);
    ASSERT_EQ(previous->archive.paths.size(), 2u);
    ASSERT_EQ(previous->archive.segments.size(), 4u);
    EXPECT_EQ(previous->archive.segments[3].source, 1u);
    EXPECT_EQ(previous->resumedBytes, 9u);
    const auto sent = nlohmann::json::parse(previous->requestJson);
    EXPECT_EQ(sent["started_ns"], 5);
    EXPECT_EQ(sent["resumed"]["started_ns"], 7);
    {
        // Closed before the removal below: Windows refuses to remove an open file.
        std::string copied;
        FrameReader frames(previous->archive, [&](std::string_view bytes) {
            copied.append(bytes);
            return true;
        });
        ASSERT_TRUE(frames.feed(Frame('H', Compressed("{}")) + Reference(3) + Reference(0)));
        EXPECT_EQ(copied, "segment Afirst segment");
    }

    // Without a snapshot to build on, the cut run alone; once done, nothing.
    const auto alone = LoadPreviousIndex(L"", staging);
    ASSERT_TRUE(alone);
    EXPECT_EQ(alone->archive.segments.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(alone->requestJson).count("started_ns"), 0u);
    ForgetCutRun(staging);
    EXPECT_FALSE(LoadPreviousIndex(L"", staging));
}

TEST_F(PreviousSnapshot, AnEncryptedSnapshotIsBuiltOnThroughItsKeyAndOnlyThen) {
    const std::string identity = age::GenerateIdentity();
    const std::vector<std::string> recipients{age::RecipientOf(identity)};
    const std::string sealedArchive = age::Encrypt(testing::ReadBytes(archive_), recipients);
    const std::string sealedIndex = age::Encrypt(compressedIndex_, recipients);
    std::filesystem::remove(os::FsPath(archive_));
    std::filesystem::remove(os::FsPath(os::JoinPath(dir_.path(), kIndexFile)));
    testing::WriteBytes(os::JoinPath(dir_.path(), kEncryptedArchiveFile), sealedArchive);
    testing::WriteBytes(os::JoinPath(dir_.path(), kEncryptedIndexFile), sealedIndex);
    testing::WriteBytes(os::JoinPath(dir_.path(), kChecksumFile),
                        ChecksumLine(std::string(32, 'a'), Unhex(Sha256Hex(sealedIndex)), true));

    EXPECT_FALSE(LoadPreviousIndex(dir_.path())) << "built on without its key";
    const age::Keys keys{{identity}, {}};
    const auto previous = LoadPreviousIndex(dir_.path(), {}, {}, &keys);
    ASSERT_TRUE(previous);
    EXPECT_EQ(previous->damaged, 1u);
    EXPECT_EQ(previous->archive.segments[2].sha256, Sha256Hex(segments_[2]));
    std::string landed;
    FrameReader frames(previous->archive, [&](std::string_view bytes) {
        landed.append(bytes);
        return true;
    });
    frames.feed(Frame('H', Compressed(R"({"format":1,"started_ns":9})")) + Reference(2) + Frame('E', ""));
    EXPECT_EQ(landed, segments_[2]);
}

TEST_F(PreviousSnapshot, AnIndexThatIsNotTheListedOneIsNone) {
    testing::WriteBytes(os::JoinPath(dir_.path(), kIndexFile), compressedIndex_ + "x");
    EXPECT_FALSE(LoadPreviousIndex(dir_.path()));
    testing::WriteBytes(os::JoinPath(dir_.path(), kChecksumFile), ChecksumLine(std::string(32, 'a')));
    EXPECT_FALSE(LoadPreviousIndex(dir_.path()));  // an older snapshot: one line, no index
    const std::string two = ChecksumLine(std::string(32, 'a'), std::string(32, 'b'));
    EXPECT_EQ(ParseChecksumLine(two), HexLower(std::string(32, 'a')));
    EXPECT_EQ(ParseIndexChecksum(two), HexLower(std::string(32, 'b')));
    EXPECT_FALSE(ParseChecksumLine(two + "x"));
    EXPECT_FALSE(ParseIndexChecksum(ChecksumLine(std::string(32, 'a'))));
}

}  // namespace
}  // namespace tesmora
